#include "domain/json_writer.hpp"

#include <simdjson.h>

#include <charconv>

#include <nlohmann/json.hpp>

#include "support/text.hpp"

namespace brackwater::domain {
namespace {

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t plain = 0;  // start of the run of bytes that need no escape
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text.substr(plain));
}

template <class Number>
void append_chars(std::string& out, Number n) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
  out.append(buf, end);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  if (simdjson::validate_utf8(text.data(), text.size())) {
    append_json_string_of_utf8(out, text);
  } else {
    append_json_string_of_utf8(out, support::lossy_utf8(text));
  }
}

void append_json_string_of_utf8(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

void append_json_number(std::string& out, int64_t n) { append_chars(out, n); }
void append_json_number(std::string& out, uint64_t n) { append_chars(out, n); }

void append_json_number(std::string& out, double n) { out += nlohmann::json(n).dump(); }

}  // namespace brackwater::domain
