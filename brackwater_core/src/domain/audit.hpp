// One audit event and its line in the log.
//
// A line is the compact JSON text of one object with exactly sixteen keys in
// byte order, followed by "\n". Absent optional values are written as null,
// never left out. A line longer than kAuditLineCap bytes is shrunk in stages
// (see serialize_with_cap); nothing else is ever shortened, so a line may
// still exceed the cap.
//
// Everything here is pure: no files, clock, environment or process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "domain/timestamp.hpp"

namespace brackwater::domain {

inline constexpr std::string_view kAuditSchemaVersion = "v2";

// The vocabulary published to callers; nothing here checks events against it.
inline constexpr std::array<const char*, 2> kAuditKinds{"worktree_remove", "branch_delete"};
inline constexpr std::array<const char*, 6> kAuditInvokers{"canonical_wrapper",    "raw_git",       "cleanup_merged",
                                                           "pending_cleanup_hook", "orphan_reaper", "unknown"};
inline constexpr std::array<const char*, 4> kAuditOutcomes{"success", "failed", "refused", "attempted"};
inline constexpr size_t kAuditLineCap = 4096;
// The longest line the reader takes, its ending ("\n" or "\r\n") not
// counted. Only texts the cap never shortens can take a line past
// kAuditLineCap, so a longer line is damage or another program's: reading it
// whole would let one line cost memory without bound (the parser needs about
// fourteen times its length again). The writer refuses a longer line, so
// that an event reported written can always be read back.
inline constexpr size_t kAuditMaxLineBytes = size_t{1} << 20;

// What happened, as the caller states it. Nothing here is validated; every
// text is recorded unchanged.
struct AuditEvent {
  std::string kind;
  std::string branch;
  std::string worktree;
  std::string invoker;
  std::string outcome;
  std::optional<std::string> session_id;
  std::optional<int64_t> elapsed_ms;
  std::optional<std::string> correlation_id;
  std::optional<nlohmann::json> extra;
};

// The writing process's context for one line.
struct AuditContext {
  std::string timestamp;  // format_timestamp of the capture time
  int64_t pid = 0;
  std::optional<int64_t> parent_pid;
  std::string cwd;   // "" when unreadable
  std::string host;  // "" when unreadable
};

// The sixteen fields of one event as read back, over a text type: owned
// texts in a record, views while a line is being read.
template <class Text>
struct AuditFields {
  Text schema_version;
  Text timestamp;
  Text kind;
  std::optional<Text> session_id;
  int64_t pid = 0;
  std::optional<int64_t> parent_pid;
  Text cwd;
  Text host;
  Text invoker;
  Text branch;
  Text worktree;
  Text outcome;
  std::optional<int64_t> elapsed_ms;
  std::optional<Text> correlation_id;
  bool truncated = false;
  std::optional<Text> extra_json;
};

// One event as read back from the log. Its "extra" is kept as compact JSON
// text with keys in byte order, the form the line has it in: the reader
// never builds a value tree it would only render again. An absent `extra`
// (no key) and one holding null (the text "null") are different states.
struct AuditRecord : AuditFields<std::string> {
  // The sixteen keys with the fields' values as a JSON object (absent gives
  // null; an `extra_json` that does not parse gives null too).
  [[nodiscard]] nlohmann::json serialize() const;
};

// A record's fields as views into texts another owns: a parsed line on the
// way to becoming a record.
using AuditRecordView = AuditFields<std::string_view>;

// A record that owns copies of the view's texts.
[[nodiscard]] AuditRecord to_record(const AuditRecordView& view);

// The record of one event, texts copied unchanged, schema "v2", not
// truncated, `extra` as compact JSON text (absent when the event has none or
// its extra is JSON null, both of which the line writes as null).
[[nodiscard]] AuditRecord assemble_record(const AuditEvent& event, const AuditContext& context);

// The line to append (ending in "\n"): the sixteen keys in byte order,
// compact. When it is longer than the cap: mark it truncated and drop
// "extra"; then drop "elapsed_ms"; then shorten a "cwd" of 257 bytes or more
// to "..." and its tail. The last rendering is returned whatever its length.
// Changes `record` as it goes.
[[nodiscard]] std::string serialize_with_cap(AuditRecord& record);

// The end of `text`, at most 253 bytes, starting on a character boundary.
std::string_view tail_on_char_boundary(std::string_view text) noexcept;

// Whether `text`, lower-cased with the full Unicode mapping, contains
// "token", "key", "secret" or "password".
[[nodiscard]] bool is_secret_pattern(std::string_view text);

// The record a parsed line holds, or nullopt for a value that is not an
// object or lacks a required field of the right type.
[[nodiscard]] std::optional<AuditRecord> parse_record(const nlohmann::json& value);

// Compact JSON text, keys in byte order, invalid UTF-8 replaced.
std::string compact_json(const nlohmann::json& value);

}  // namespace brackwater::domain
