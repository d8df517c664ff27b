#include "domain/packed_audit_record.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <new>

namespace brackwater::domain {
namespace {

using Text = PackedAuditRecord::Text;

// The view's texts in stored order; an absent optional text is nullopt.
std::array<std::optional<std::string_view>, 12> texts_of(const AuditRecordView& v) {
  return {v.timestamp, v.schema_version, v.kind,    v.session_id,     v.cwd,       v.host, v.invoker,
          v.branch,    v.worktree,       v.outcome, v.correlation_id, v.extra_json};
}

}  // namespace

std::unique_ptr<PackedAuditRecord> PackedAuditRecord::pack(const AuditRecordView& view) {
  const auto texts = texts_of(view);
  static_assert(texts.size() == kTexts);
  size_t total = 0;
  for (const auto& text : texts) total += text ? text->size() : 0;
  if (total > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();

  void* block = ::operator new(sizeof(PackedAuditRecord) + total);
  std::unique_ptr<PackedAuditRecord> record(::new (block) PackedAuditRecord);
  char* out = reinterpret_cast<char*>(record.get() + 1);
  uint32_t end = 0;
  for (size_t i = 0; i < kTexts; ++i) {
    if (texts[i]) {
      if (!texts[i]->empty()) std::memcpy(out + end, texts[i]->data(), texts[i]->size());
      end += static_cast<uint32_t>(texts[i]->size());
      record->flags_ |= static_cast<uint16_t>(1U << i);
    }
    record->ends_[i] = end;
  }
  record->pid_ = view.pid;
  if (view.parent_pid) {
    record->parent_pid_ = *view.parent_pid;
    record->flags_ |= kHasParentPid;
  }
  if (view.elapsed_ms) {
    record->elapsed_ms_ = *view.elapsed_ms;
    record->flags_ |= kHasElapsed;
  }
  if (view.truncated) record->flags_ |= kTruncated;
  return record;
}

std::optional<std::string_view> PackedAuditRecord::optional_text(Text which) const noexcept {
  if ((flags_ & (1U << static_cast<size_t>(which))) == 0) return std::nullopt;
  return text(which);
}

std::optional<int64_t> PackedAuditRecord::parent_pid() const noexcept {
  if ((flags_ & kHasParentPid) == 0) return std::nullopt;
  return parent_pid_;
}

std::optional<int64_t> PackedAuditRecord::elapsed_ms() const noexcept {
  if ((flags_ & kHasElapsed) == 0) return std::nullopt;
  return elapsed_ms_;
}

AuditRecordView PackedAuditRecord::view() const noexcept {
  return {text(Text::schema_version),
          text(Text::timestamp),
          text(Text::kind),
          optional_text(Text::session_id),
          pid_,
          parent_pid(),
          text(Text::cwd),
          text(Text::host),
          text(Text::invoker),
          text(Text::branch),
          text(Text::worktree),
          text(Text::outcome),
          elapsed_ms(),
          optional_text(Text::correlation_id),
          truncated(),
          optional_text(Text::extra_json)};
}

}  // namespace brackwater::domain
