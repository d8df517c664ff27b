// JSON text from outside (the binding store, session metadata) parsed into
// a value tree, with the limits that keep hostile text harmless.
//
// The text is parsed by its length: a NUL byte is never the end of it, so
// a document followed by a NUL and more text is refused like any other
// trailing text. Nesting is bounded before the parser sees the text,
// because writing a value back (and copying it) recurses once per level.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "support/text_position.hpp"

namespace brackwater::infrastructure {

// Arrays and objects nested deeper than this are refused. The store's own
// entries nest three levels; this is far above anything real and far below
// what the recursive writer can take on a small thread stack.
inline constexpr size_t kMaxJsonDepth = 512;

struct JsonTextError {
  std::string description;  // valid UTF-8 (bytes the parser quotes may be cut)
  support::TextPosition where;

  // "<description> at line L column C"
  std::string detail() const;
};

// The one JSON value of `text`, or why `text` is not exactly one value.
[[nodiscard]] std::expected<nlohmann::json, JsonTextError> parse_json_text(std::string_view text,
                                                                           size_t max_depth = kMaxJsonDepth);

}  // namespace brackwater::infrastructure
