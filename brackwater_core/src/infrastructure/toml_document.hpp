// TOML text from outside (pyproject.toml) parsed into a table tree.
//
// The parser bounds the nesting of arrays and inline tables itself, but not
// the number of parts of a dotted key or a table header: each part is one
// more level of tables, and the parser recurses once per level while it
// builds and frees the tree. The text is therefore scanned for how deep its
// keys reach before the parser sees it.
#pragma once

#include <toml++/toml.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace brackwater::infrastructure {

// Tables nested deeper than this (header parts, dotted key parts and the
// inline tables and arrays a key sits in, added up) are refused. Real files
// nest a handful of levels; the parser's own limit for arrays and inline
// tables is of the same order.
inline constexpr size_t kMaxTomlDepth = 256;

// The document in `text`, or the parser's description of what is wrong
// with it followed by " at line L, column C". `source` names the text in
// the parser's own records.
[[nodiscard]] std::expected<toml::table, std::string> parse_toml_document(std::string_view text,
                                                                          std::string_view source);

// parse_toml_document for `source`, in the shape support/config_file.hpp
// takes a parser.
inline auto toml_parser(std::string_view source) {
  return [source](std::string_view text) { return parse_toml_document(text, source); };
}

}  // namespace brackwater::infrastructure
