#include "infrastructure/audit_line_screen.hpp"

#include <algorithm>
#include <cstring>

namespace brackwater::infrastructure {
namespace {

// A text that JSON can write without escapes only; any other is never screened.
bool writes_plain(const std::string& text) {
  return std::ranges::none_of(text,
                              [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace

AuditLineScreen::AuditLineScreen(const std::optional<std::string>& want) {
  if (want && writes_plain(*want)) needle_ = '"' + *want + '"';
}

void AuditLineScreen::reset(const char* end) noexcept {
  end_ = end;
  next_needle_ = next_backslash_ = nullptr;
}

bool AuditLineScreen::may_match(const char* begin, const char* end) noexcept {
  if (needle_.empty()) return true;
  if (next_backslash_ == nullptr || next_backslash_ < begin) {
    const void* found = std::memchr(begin, '\\', static_cast<size_t>(end_ - begin));
    next_backslash_ = found != nullptr ? static_cast<const char*>(found) : end_;
  }
  if (next_backslash_ < end) return true;
  if (next_needle_ == nullptr || next_needle_ < begin) {
    const void* found = ::memmem(begin, static_cast<size_t>(end_ - begin), needle_.data(), needle_.size());
    next_needle_ = found != nullptr ? static_cast<const char*>(found) : end_;
  }
  return next_needle_ < end && static_cast<size_t>(end - next_needle_) >= needle_.size();
}

}  // namespace brackwater::infrastructure
