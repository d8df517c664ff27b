#include "domain/audit.hpp"

#include "domain/audit_record_fields.hpp"
#include "support/text.hpp"

namespace brackwater::domain {
namespace {

using nlohmann::json;

constexpr size_t kCwdTail = 253;
constexpr size_t kCwdShortenFrom = 257;

template <class T>
json or_null(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

// The caps' rendering: the compact text and its newline.
std::string render(const json& record) { return compact_json(record) + "\n"; }


}  // namespace

std::string compact_json(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json AuditRecord::serialize() const {
  json out = json::object();
  out["schema_version"] = schema_version;
  out["timestamp"] = timestamp;
  out["kind"] = kind;
  out["session_id"] = or_null(session_id);
  out["pid"] = pid;
  out["parent_pid"] = or_null(parent_pid);
  out["cwd"] = cwd;
  out["host"] = host;
  out["invoker"] = invoker;
  out["branch"] = branch;
  out["worktree"] = worktree;
  out["outcome"] = outcome;
  out["elapsed_ms"] = or_null(elapsed_ms);
  out["correlation_id"] = or_null(correlation_id);
  out["truncated"] = truncated;
  out["extra"] = nullptr;
  if (extra_json) {
    json extra = json::parse(*extra_json, nullptr, false);
    if (!extra.is_discarded()) out["extra"] = std::move(extra);
  }
  return out;
}

json assemble_record(const AuditEvent& event, const AuditContext& context) {
  json out = json::object();
  out["schema_version"] = kAuditSchemaVersion;
  out["timestamp"] = context.timestamp;
  out["kind"] = event.kind;
  out["session_id"] = or_null(event.session_id);
  out["pid"] = context.pid;
  out["parent_pid"] = or_null(context.parent_pid);
  out["cwd"] = context.cwd;
  out["host"] = context.host;
  out["invoker"] = event.invoker;
  out["branch"] = event.branch;
  out["worktree"] = event.worktree;
  out["outcome"] = event.outcome;
  out["elapsed_ms"] = or_null(event.elapsed_ms);
  out["correlation_id"] = or_null(event.correlation_id);
  out["truncated"] = false;
  out["extra"] = event.extra ? *event.extra : json(nullptr);
  return out;
}

std::string serialize_with_cap(json& record) {
  std::string line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  record["truncated"] = true;
  record["extra"] = nullptr;
  line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  record["elapsed_ms"] = nullptr;
  line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  json& cwd = record["cwd"];
  if (cwd.is_string() && cwd.get_ref<const std::string&>().size() >= kCwdShortenFrom) {
    cwd = "..." + std::string(tail_on_char_boundary(cwd.get_ref<const std::string&>()));
  }
  return render(record);
}

std::string_view tail_on_char_boundary(std::string_view text) noexcept {
  size_t start = text.size() > kCwdTail ? text.size() - kCwdTail : 0;
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return text.substr(start);
}

bool is_secret_pattern(std::string_view text) {
  const std::string lower = support::lower_case(text);
  for (std::string_view word : {"token", "key", "secret", "password"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

std::optional<AuditRecord> parse_record(const json& value) {
  AuditRecord record;
  if (!audit_fields::build_from_json(value, {}, record)) return std::nullopt;
  return record;
}

std::optional<UtcInstant> parse_ts(std::string_view timestamp) {
  // Reading "Z" as "+00:00" wherever it stands can only succeed for the one
  // at the offset's place, which the RFC 3339 reader takes as UTC itself.
  return parse_rfc3339(timestamp);
}

}  // namespace brackwater::domain
