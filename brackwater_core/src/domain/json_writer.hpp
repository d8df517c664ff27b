// Pieces of compact JSON text written the way nlohmann-json's compact
// writer writes them, for the hot paths that render or re-render JSON
// without building a value tree: the audit line, and the `extra` value the
// reader copies out of a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brackwater::domain {

// `text` as a JSON string: quotation mark and backslash escaped, \b \t \n
// \f \r for those controls, \u00xx for the other characters below U+0020,
// everything else (non-ASCII included) unchanged. Invalid UTF-8 sequences
// become U+FFFD.
void append_json_string(std::string& out, std::string_view text);
// The same for a text known to be valid UTF-8, which is not checked again.
void append_json_string_of_utf8(std::string& out, std::string_view text);

// A JSON number: an integer in decimal; a double as nlohmann-json writes it
// (the shortest form that reads back exactly, "100.0" for a whole number).
void append_json_number(std::string& out, int64_t n);
void append_json_number(std::string& out, uint64_t n);
void append_json_number(std::string& out, double n);

}  // namespace brackwater::domain
