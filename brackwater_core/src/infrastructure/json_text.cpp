#include "infrastructure/json_text.hpp"

#include <optional>

#include "support/concat.hpp"
#include "support/json_depth.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using nlohmann::json;

// Keeps where, and why, the parser stopped. Parse errors carry a byte
// offset; a number too large for a double is reported as out_of_range, which
// does not, and which `json::parse` would throw rather than report.
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

// The parser's description without the library's "[json.exception...] " tag
// and its own "parse error at line ..., column ...: " lead, at the offset
// where it stopped.
JsonTextError locate_error(std::string_view text) {
  ErrorLocator locator;
  json::sax_parse(text.begin(), text.end(), &locator);
  std::string_view description = locator.what_;
  if (description.starts_with('[')) {
    if (auto end = description.find("] "); end != std::string_view::npos) description.remove_prefix(end + 2);
  }
  if (description.starts_with("parse error")) {
    if (auto colon = description.find(": "); colon != std::string_view::npos) description.remove_prefix(colon + 2);
  }
  const size_t offset = locator.byte_ == 0 ? 0 : locator.byte_ - 1;
  return {support::lossy_utf8(description), support::position_at(text, offset)};
}

}  // namespace

std::string JsonTextError::detail() const { return support::concat(description, " at ", support::describe(where)); }

std::expected<nlohmann::json, JsonTextError> parse_json_text(std::string_view text, size_t max_depth) {
  if (auto deep = support::json_too_deep_at(text, max_depth)) {
    return std::unexpected(JsonTextError{support::concat("nesting deeper than ", max_depth, " levels"),
                                         support::position_at(text, *deep)});
  }
  // The parser takes a NUL byte outside a string for the end of its input.
  const size_t nul = text.find('\0');
  const std::string_view value_text = text.substr(0, nul);
  json value = json::parse(value_text.begin(), value_text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::unexpected(locate_error(value_text));
  if (nul != std::string_view::npos) {
    return std::unexpected(JsonTextError{"unexpected NUL byte after the value", support::position_at(text, nul)});
  }
  return value;
}

}  // namespace brackwater::infrastructure
