#include "infrastructure/toml_document.hpp"

#include <optional>
#include <vector>

#include "support/concat.hpp"
#include "support/text.hpp"
#include "support/text_position.hpp"

namespace brackwater::infrastructure {
namespace {

bool is_bare_key_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Skips the string that starts at `i` (a quote), returning the offset just
// past it, or the end of the text when it is not closed. Basic strings
// honour backslash escapes; literal strings have none; a single-line string
// ends at a newline at the latest.
size_t skip_string(std::string_view text, size_t i) noexcept {
  const char quote = text[i];
  const bool multiline = text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''");
  i += multiline ? 3 : 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\' && quote == '"') {
      i += 2;
    } else if (c == quote && (!multiline || text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''"))) {
      i += multiline ? 3 : 1;
      // A closing delimiter may be followed by up to two more quotes that
      // belong to the content.
      while (multiline && i < text.size() && text[i] == quote) ++i;
      return i;
    } else if (c == '\n' && !multiline) {
      return i;
    } else {
      ++i;
    }
  }
  return text.size();
}

// Offset of the key part that takes the table tree deeper than `max_depth`;
// nullopt when none does. Text that is not TOML may be miscounted; the
// parser refuses it either way.
std::optional<size_t> too_deep_at(std::string_view text, size_t max_depth) {
  size_t table_depth = 0;    // parts of the last table header
  std::vector<size_t> open;  // depth added by each open inline table or array
  size_t open_depth = 0;     // sum of `open`
  size_t chain = 0;          // parts of the dotted key being read
  bool after_dot = false;    // a "." follows the last part
  size_t key_depth = 0;      // parts of the key whose value comes next
  bool in_header = false;

  auto part = [&]() -> bool {
    chain = after_dot ? chain + 1 : 1;
    after_dot = false;
    return (in_header ? 0 : table_depth) + open_depth + chain > max_depth;
  };
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const size_t start = i;
      i = skip_string(text, i);
      if (part()) return start;
      continue;
    }
    if (is_bare_key_char(c)) {
      const size_t start = i;
      while (i < text.size() && is_bare_key_char(text[i])) ++i;
      if (part()) return start;
      continue;
    }
    switch (c) {
      case ' ':
      case '\t':
      case '\r': ++i; continue;  // blanks keep a dotted key together
      case '.': after_dot = chain > 0; break;
      case '#':
        while (i < text.size() && text[i] != '\n') ++i;
        continue;
      case '=':
        key_depth = chain;
        chain = 0;
        break;
      case '[':
      case '{':
        if (c == '[' && open.empty() && key_depth == 0) {
          in_header = true;  // a table header, [a.b] or [[a.b]]
        } else {
          open.push_back(key_depth + 1);
          open_depth += key_depth + 1;
          if (table_depth + open_depth > max_depth) return i;
        }
        key_depth = 0;
        chain = 0;
        break;
      case ']':
      case '}':
        if (in_header && open.empty()) {
          if (chain > 0) table_depth = chain;
          if (i + 1 >= text.size() || text[i + 1] != ']') in_header = false;
        } else if (!open.empty()) {
          open_depth -= open.back();
          open.pop_back();
        }
        chain = 0;
        break;
      case '\n':
        if (open.empty()) key_depth = 0;
        chain = 0;
        break;
      default:  // ",", and anything that is not TOML structure
        key_depth = 0;
        chain = 0;
        break;
    }
    if (c != '.') after_dot = false;
    ++i;
  }
  return std::nullopt;
}

}  // namespace

std::expected<toml::table, std::string> parse_toml_document(std::string_view text, std::string_view source) {
  if (auto deep = too_deep_at(text, kMaxTomlDepth)) {
    const auto where = support::position_at(text, *deep);
    return std::unexpected(support::concat("tables nested deeper than ", kMaxTomlDepth, " levels at line ", where.line,
                                           ", column ", where.column));
  }
  try {
    return toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    return std::unexpected(
        support::concat(support::lossy_utf8(e.description()), " at line ", where.line, ", column ", where.column));
  }
}

}  // namespace brackwater::infrastructure
