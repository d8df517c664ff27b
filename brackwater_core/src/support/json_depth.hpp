// A cheap look at how deeply JSON text nests, made before a recursive parser
// or writer sees it, so that outside input cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace brackwater::support {

// Offset of the first bracket that opens a level beyond `max_depth`, outside
// strings; nullopt when the text stays within it. Text that is not JSON may
// be miscounted; the parser refuses it either way.
[[nodiscard]] std::optional<size_t> json_too_deep_at(std::string_view text, size_t max_depth) noexcept;

}  // namespace brackwater::support
