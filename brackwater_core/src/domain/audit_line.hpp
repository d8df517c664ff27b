// Reading one audit line into a record, at the speed of reading the file.
//
// Lines are parsed with simdjson in place inside the file's buffer; the
// field rules are those of parse_record (audit.hpp), and a key given twice
// counts with its last value. A line whose only fault for simdjson is an
// integer beyond 64 bits is parsed again with nlohmann-json, which reads such
// numbers as floating point, so both libraries accept the same lines.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "domain/audit.hpp"

namespace brackwater::domain {

// Bytes that must be readable (any content) after every line handed to
// AuditLineParser::parse: the file buffer carries them once at its end.
inline constexpr size_t kAuditLinePadding = 64;

class AuditLineParser {
 public:
  AuditLineParser();
  ~AuditLineParser();
  AuditLineParser(const AuditLineParser&) = delete;
  AuditLineParser& operator=(const AuditLineParser&) = delete;

  // The record of one trimmed, non-empty line, as views into this parser
  // (valid until its next parse); nullopt when the line is not one JSON
  // object with the required fields, when there is no memory to parse it
  // with, or when `branch` or `worktree` is given and differs byte for byte
  // from the record's. `line` must be followed by kAuditLinePadding readable
  // bytes. Throws std::bad_alloc when memory fails outside simdjson's own
  // buffers (the text of "extra", the second parse).
  [[nodiscard]] std::optional<AuditRecordView> parse(std::string_view line, const std::optional<std::string>& branch,
                                                     const std::optional<std::string>& worktree);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brackwater::domain
