// The UTF-8 and Unicode helpers on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/paths.hpp"
#include "support/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace support = brackwater::support;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = support::lossy_utf8(bytes);
  if (!support::is_utf8(text)) std::abort();
  if (support::is_utf8(bytes) != (text == bytes)) std::abort();
  const auto trimmed = support::trim(text);
  if (trimmed.size() > text.size() || support::trim(trimmed) != trimmed) std::abort();
  const std::string quoted = support::quote_literal(text);
  if (!support::is_utf8(quoted) || quoted.front() != '"' || quoted.back() != '"') std::abort();
  (void)brackwater::domain::validate_project_id(text);
  return 0;
}
