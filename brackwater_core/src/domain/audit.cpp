#include "domain/audit.hpp"

#include <algorithm>
#include <type_traits>

#include "domain/audit_record_fields.hpp"
#include "domain/json_writer.hpp"
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

template <class T>
void append_or_null(std::string& out, const std::optional<T>& value) {
  if (!value) {
    out += "null";
  } else if constexpr (std::is_same_v<T, std::string>) {
    append_json_string(out, *value);
  } else {
    append_json_number(out, *value);
  }
}

// The line of a record: its keys written in byte order by hand (this is the
// writer's hot path), then "\n".
std::string render(const AuditRecord& r) {
  std::string out;
  out.reserve(512 + r.cwd.size() + r.branch.size() + r.worktree.size() + (r.extra_json ? r.extra_json->size() : 0));
  out += "{\"branch\":";
  append_json_string(out, r.branch);
  out += ",\"correlation_id\":";
  append_or_null(out, r.correlation_id);
  out += ",\"cwd\":";
  append_json_string(out, r.cwd);
  out += ",\"elapsed_ms\":";
  append_or_null(out, r.elapsed_ms);
  out += ",\"extra\":";
  out += r.extra_json ? std::string_view(*r.extra_json) : std::string_view("null");
  out += ",\"host\":";
  append_json_string(out, r.host);
  out += ",\"invoker\":";
  append_json_string(out, r.invoker);
  out += ",\"kind\":";
  append_json_string(out, r.kind);
  out += ",\"outcome\":";
  append_json_string(out, r.outcome);
  out += ",\"parent_pid\":";
  append_or_null(out, r.parent_pid);
  out += ",\"pid\":";
  append_json_number(out, r.pid);
  out += ",\"schema_version\":";
  append_json_string(out, r.schema_version);
  out += ",\"session_id\":";
  append_or_null(out, r.session_id);
  out += ",\"timestamp\":";
  append_json_string(out, r.timestamp);
  out += ",\"truncated\":";
  out += r.truncated ? "true" : "false";
  out += ",\"worktree\":";
  append_json_string(out, r.worktree);
  out += "}\n";
  return out;
}

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

AuditRecord assemble_record(const AuditEvent& event, const AuditContext& context) {
  AuditRecord r;
  r.schema_version = kAuditSchemaVersion;
  r.timestamp = context.timestamp;
  r.kind = event.kind;
  r.session_id = event.session_id;
  r.pid = context.pid;
  r.parent_pid = context.parent_pid;
  r.cwd = context.cwd;
  r.host = context.host;
  r.invoker = event.invoker;
  r.branch = event.branch;
  r.worktree = event.worktree;
  r.outcome = event.outcome;
  r.elapsed_ms = event.elapsed_ms;
  r.correlation_id = event.correlation_id;
  r.truncated = false;
  if (event.extra && !event.extra->is_null()) r.extra_json = compact_json(*event.extra);
  return r;
}

std::string serialize_with_cap(AuditRecord& record) {
  std::string line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  record.truncated = true;
  record.extra_json.reset();
  line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  record.elapsed_ms.reset();
  line = render(record);
  if (line.size() <= kAuditLineCap) return line;

  if (record.cwd.size() >= kCwdShortenFrom) record.cwd = "..." + std::string(tail_on_char_boundary(record.cwd));
  return render(record);
}

std::string_view tail_on_char_boundary(std::string_view text) noexcept {
  size_t start = text.size() > kCwdTail ? text.size() - kCwdTail : 0;
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return text.substr(start);
}

bool is_secret_pattern(std::string_view text) {
  const std::string lower = support::lower_case(text);
  static constexpr std::string_view kWords[] = {"token", "key", "secret", "password"};
  return std::ranges::any_of(kWords, [&](std::string_view word) { return lower.contains(word); });
}

AuditRecord to_record(const AuditRecordView& v) {
  const auto copy = [](std::optional<std::string_view> text) -> std::optional<std::string> {
    if (!text) return std::nullopt;
    return std::string(*text);
  };
  return AuditRecord{{std::string(v.schema_version), std::string(v.timestamp), std::string(v.kind), copy(v.session_id),
                      v.pid, v.parent_pid, std::string(v.cwd), std::string(v.host), std::string(v.invoker),
                      std::string(v.branch), std::string(v.worktree), std::string(v.outcome), v.elapsed_ms,
                      copy(v.correlation_id), v.truncated, copy(v.extra_json)}};
}

std::optional<AuditRecord> parse_record(const json& value) {
  std::string extra;
  const auto view = audit_fields::build_from_json(value, {}, extra);
  if (!view) return std::nullopt;
  return to_record(*view);
}

}  // namespace brackwater::domain
