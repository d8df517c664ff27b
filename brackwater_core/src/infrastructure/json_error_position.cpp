#include "infrastructure/json_error_position.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "support/concat.hpp"

namespace brackwater::infrastructure {
namespace {

using nlohmann::json;

// Walks a document that failed to parse and keeps where, and why, the
// parser stopped. Parse errors carry a byte offset; a number too large for a
// double is reported as out_of_range, which does not, and which `json::parse`
// would throw rather than raise as a parse error.
class ErrorLocator : public json::json_sax_t {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t byte, const std::string& /*last_token*/, const json::exception& error) override {
    byte_ = byte;
    what_ = error.what();
    return false;
  }

  std::size_t byte_ = 0;
  std::string what_;
};

}  // namespace

// The description drops the library's "[json.exception...] " tag and its
// own "parse error at line ..., column ...: " lead.
std::string json_error_position(std::string_view text) {
  ErrorLocator locator;
  json::sax_parse(text, &locator);
  std::string_view description = locator.what_;
  const size_t byte = locator.byte_;
  if (description.starts_with('[')) {
    if (auto end = description.find("] "); end != std::string_view::npos) description.remove_prefix(end + 2);
  }
  if (description.starts_with("parse error")) {
    if (auto colon = description.find(": "); colon != std::string_view::npos) description.remove_prefix(colon + 2);
  }
  const size_t offset = std::min<size_t>(byte == 0 ? 0 : byte - 1, text.size());
  const auto before = text.substr(0, offset);
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  const size_t column = offset - line_start + 1;
  return support::concat(description, " at line ", line, " column ", column);
}

}  // namespace brackwater::infrastructure
