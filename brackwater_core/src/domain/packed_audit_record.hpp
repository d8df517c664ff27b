// One event as read back from the log, kept in a single block of memory: a
// small header and then its texts side by side. A read hands out a hundred
// thousand records, and each is freed on its own when its Python object
// goes; one block apiece makes building and freeing one call of the
// allocator each, where a record of separate strings costs one per text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "domain/audit.hpp"

namespace brackwater::domain {

class PackedAuditRecord {
 public:
  // The texts in the order they are stored: the timestamp, which sorting
  // reads most, first.
  enum class Text : uint8_t {
    timestamp,
    schema_version,
    kind,
    session_id,
    cwd,
    host,
    invoker,
    branch,
    worktree,
    outcome,
    correlation_id,
    extra_json,
  };

  // A copy of `view`'s fields in one new block. Throws std::bad_alloc when
  // memory fails or the texts together exceed 4 GiB.
  [[nodiscard]] static std::unique_ptr<PackedAuditRecord> pack(const AuditRecordView& view);

  PackedAuditRecord(const PackedAuditRecord&) = delete;
  PackedAuditRecord& operator=(const PackedAuditRecord&) = delete;
  ~PackedAuditRecord() = default;

  // Gives the block back whole. pack makes the record with the global
  // operator new and room for its texts; there is no other way to make one.
  // NOLINTNEXTLINE(misc-new-delete-overloads)
  static void operator delete(void* block) noexcept { ::operator delete(block); }

  // A text; "" for an optional one that is absent.
  [[nodiscard]] std::string_view text(Text which) const noexcept {
    const auto i = static_cast<size_t>(which);
    const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return {chars() + begin, ends_[i] - begin};
  }
  [[nodiscard]] std::optional<std::string_view> optional_text(Text which) const noexcept;
  [[nodiscard]] int64_t pid() const noexcept { return pid_; }
  [[nodiscard]] std::optional<int64_t> parent_pid() const noexcept;
  [[nodiscard]] std::optional<int64_t> elapsed_ms() const noexcept;
  [[nodiscard]] bool truncated() const noexcept { return (flags_ & kTruncated) != 0; }

  // The fields as views into this record.
  [[nodiscard]] AuditRecordView view() const noexcept;

 private:
  static constexpr size_t kTexts = 12;
  static constexpr uint16_t kHasParentPid = 1 << kTexts;
  static constexpr uint16_t kHasElapsed = 1 << (kTexts + 1);
  static constexpr uint16_t kTruncated = 1 << (kTexts + 2);

  PackedAuditRecord() = default;
  const char* chars() const noexcept { return reinterpret_cast<const char*>(this + 1); }

  int64_t pid_ = 0;
  int64_t parent_pid_ = 0;
  int64_t elapsed_ms_ = 0;
  uint32_t ends_[kTexts] = {};  // where each text ends, counted from chars()
  uint16_t flags_ = 0;          // bit i: text i present; then the flags above
};

}  // namespace brackwater::domain
