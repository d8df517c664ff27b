// Path joining, one rule everywhere: one "/" between the parts, none after an
// empty left side or one that already ends in "/"; an absolute right side
// replaces the left.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace brackwater::support {

std::string join_path(std::string_view left, std::string_view right);

// Joins each part onto the result in turn.
std::string join_path(std::string_view left, std::initializer_list<std::string_view> parts);

}  // namespace brackwater::support
