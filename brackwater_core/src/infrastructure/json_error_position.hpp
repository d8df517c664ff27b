// Where, and why, nlohmann-json refuses a JSON text.
#pragma once

#include <string>
#include <string_view>

namespace brackwater::infrastructure {

// "<description> at line L column C" for a text that does not parse; the
// description is the parser's own, without its tag and position lead.
std::string json_error_position(std::string_view text);

}  // namespace brackwater::infrastructure
