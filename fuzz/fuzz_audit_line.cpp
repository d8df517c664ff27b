// One audit line -> record, through the reader's simdjson parser and packed
// record, which must agree with the field rules applied to nlohmann-json's
// parse of the same line (its extra written byte for byte as that library
// writes it); a record's own line must read back as the same record.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "domain/audit.hpp"
#include "domain/audit_line.hpp"
#include "domain/packed_audit_record.hpp"
#include "support/text.hpp"

namespace {

using namespace brackwater::domain;

std::optional<AuditRecord> parse_fast(AuditLineParser& parser, std::string_view line) {
  auto padded = std::make_unique<char[]>(line.size() + kAuditLinePadding);
  std::memcpy(padded.get(), line.data(), line.size());
  const std::optional<std::string> none;
  const auto view = parser.parse(std::string_view(padded.get(), line.size()), none, none);
  if (!view) return std::nullopt;
  return to_record(PackedAuditRecord::pack(*view)->view());  // the form the reader returns
}

// Whether brackets nest deeper than the reader admits (strings not skipped:
// an overestimate, which only skips the comparison).
bool maybe_too_deep(std::string_view text) {
  int depth = 0;
  for (const char c : text) {
    if (c == '[' || c == '{') {
      if (++depth > 1000) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AuditLineParser parser;
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (!brackwater::support::is_utf8(raw)) return 0;  // the reader skips such lines
  const std::string_view line = brackwater::support::trim(raw);
  if (line.empty()) return 0;
  const auto fast = parse_fast(parser, line);
  // nlohmann-json skips a leading byte-order mark and stops at a NUL byte.
  if (!maybe_too_deep(line) && !line.starts_with("\xEF\xBB\xBF") && line.find('\0') == std::string_view::npos) {
    const auto value = nlohmann::json::parse(line, nullptr, false);
    const auto slow = value.is_discarded() ? std::nullopt : parse_record(value);
    if (fast.has_value() != slow.has_value()) std::abort();
    if (fast && (fast->serialize() != slow->serialize() || fast->extra_json != slow->extra_json)) std::abort();
  }
  if (fast) {
    const std::string again = compact_json(fast->serialize());
    const auto reread = parse_fast(parser, again);
    if (!reread || reread->serialize() != fast->serialize()) std::abort();
    (void)parse_rfc3339(fast->timestamp);
  }
  return 0;
}
