// The field rules of a parsed audit line, written once for any JSON value
// type. An adapter `A` gives, for its value type `A::Value`:
//   A::string(v) -> std::optional<std::string_view>
//   A::int64(v)  -> std::optional<int64_t>  (integers within 64 signed bits only)
//   A::boolean(v) -> std::optional<bool>
//   A::extra_text(v, out)  (writes compact JSON into `out`, keys in byte
//                           order, a key given twice with its last value)
// Members::take is called for every member in document order, so that a key
// given twice keeps its last value.
// Internal to the audit line parsers.
#pragma once

#include <cstring>
#include <optional>
#include <string_view>

#include "domain/audit.hpp"

namespace brackwater::domain::audit_fields {

// Byte-exact filters applied before the record is built.
struct Filter {
  const std::optional<std::string>* branch = nullptr;
  const std::optional<std::string>* worktree = nullptr;
};

// The adapter over nlohmann-json values.
struct NlohmannAccess {
  using Value = const nlohmann::json*;
  static std::optional<std::string_view> string(Value v) {
    if (!v->is_string()) return std::nullopt;
    return std::string_view(v->get_ref<const std::string&>());
  }
  static std::optional<int64_t> int64(Value v) {
    if (v->is_number_unsigned()) {
      const auto u = v->get<uint64_t>();
      if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<int64_t>(u);
    }
    if (v->is_number_integer()) return v->get<int64_t>();
    return std::nullopt;
  }
  static std::optional<bool> boolean(Value v) {
    if (!v->is_boolean()) return std::nullopt;
    return v->get<bool>();
  }
  static void extra_text(Value v, std::string& out) { out = compact_json(*v); }
};

template <class A>
struct Members {
  using V = typename A::Value;
  std::optional<V> schema_version, timestamp, kind, session_id, pid, parent_pid, cwd, host, invoker, branch, worktree,
      worktree_path, outcome, elapsed_ms, correlation_id, truncated, extra;

  void take(std::string_view key, const V& value) {
    // One candidate per (length, first byte), then one comparison of a
    // length known here, which the compiler does inline.
    switch (key.size() << 8 | (key.empty() ? 0 : static_cast<unsigned char>(key[0]))) {
      case 3 << 8 | 'p': return put(key, "pid", pid, value);
      case 3 << 8 | 'c': return put(key, "cwd", cwd, value);
      case 4 << 8 | 'k': return put(key, "kind", kind, value);
      case 4 << 8 | 'h': return put(key, "host", host, value);
      case 5 << 8 | 'e': return put(key, "extra", extra, value);
      case 6 << 8 | 'b': return put(key, "branch", branch, value);
      case 7 << 8 | 'i': return put(key, "invoker", invoker, value);
      case 7 << 8 | 'o': return put(key, "outcome", outcome, value);
      case 8 << 8 | 'w': return put(key, "worktree", worktree, value);
      case 9 << 8 | 't':
        return key[1] == 'i' ? put(key, "timestamp", timestamp, value) : put(key, "truncated", truncated, value);
      case 10 << 8 | 's': return put(key, "session_id", session_id, value);
      case 10 << 8 | 'p': return put(key, "parent_pid", parent_pid, value);
      case 10 << 8 | 'e': return put(key, "elapsed_ms", elapsed_ms, value);
      case 13 << 8 | 'w': return put(key, "worktree_path", worktree_path, value);
      case 14 << 8 | 's': return put(key, "schema_version", schema_version, value);
      case 14 << 8 | 'c': return put(key, "correlation_id", correlation_id, value);
      default: return;
    }
  }

 private:
  // `key` is as long as `name` (the switch saw to it), so N - 1 bytes of it are there to compare.
  template <size_t N>
  static void put(std::string_view key, const char (&name)[N], std::optional<V>& slot, const V& value) {
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
    if (std::memcmp(key.data(), name, N - 1) == 0) slot.emplace(value);
  }
};

template <class A>
std::optional<std::string_view> string_field(const std::optional<typename A::Value>& v) {
  if (!v) return std::nullopt;
  return A::string(*v);
}

template <class A>
std::optional<int64_t> optional_int(const std::optional<typename A::Value>& v) {
  if (!v) return std::nullopt;
  return A::int64(*v);
}

// The record an object's members hold, as views into the parsed values and
// into `extra` (which receives the text of "extra"); nullopt when a required
// field is missing or mistyped, or when a filter does not match.
template <class A>
std::optional<AuditRecordView> build(const Members<A>& m, const Filter& filter, std::string& extra) {
  const auto branch = string_field<A>(m.branch);
  if (!branch) return std::nullopt;
  if (filter.branch != nullptr && *filter.branch && **filter.branch != *branch) return std::nullopt;
  // "worktree_path" stands in only when "worktree" is missing altogether.
  const auto worktree = string_field<A>(m.worktree ? m.worktree : m.worktree_path);
  if (!worktree) return std::nullopt;
  if (filter.worktree != nullptr && *filter.worktree && **filter.worktree != *worktree) return std::nullopt;
  const auto timestamp = string_field<A>(m.timestamp);
  const auto kind = string_field<A>(m.kind);
  const auto invoker = string_field<A>(m.invoker);
  const auto outcome = string_field<A>(m.outcome);
  const auto pid = optional_int<A>(m.pid);
  if (!timestamp || !kind || !invoker || !outcome || !pid) return std::nullopt;

  AuditRecordView r;
  r.schema_version = string_field<A>(m.schema_version).value_or("");
  r.timestamp = *timestamp;
  r.kind = *kind;
  r.session_id = string_field<A>(m.session_id);
  r.pid = *pid;
  r.parent_pid = optional_int<A>(m.parent_pid);
  r.cwd = string_field<A>(m.cwd).value_or("");
  r.host = string_field<A>(m.host).value_or("");
  r.invoker = *invoker;
  r.branch = *branch;
  r.worktree = *worktree;
  r.outcome = *outcome;
  r.elapsed_ms = optional_int<A>(m.elapsed_ms);
  r.correlation_id = string_field<A>(m.correlation_id);
  r.truncated = m.truncated ? A::boolean(*m.truncated).value_or(false) : false;
  if (m.extra) {
    A::extra_text(*m.extra, extra);
    r.extra_json = extra;
  }
  return r;
}

// `build` over a nlohmann-json value (nullopt for a non-object).
inline std::optional<AuditRecordView> build_from_json(const nlohmann::json& value, const Filter& filter,
                                                      std::string& extra) {
  if (!value.is_object()) return std::nullopt;
  Members<NlohmannAccess> members;
  for (auto it = value.begin(); it != value.end(); ++it) members.take(it.key(), &it.value());
  return build(members, filter, extra);
}

}  // namespace brackwater::domain::audit_fields
