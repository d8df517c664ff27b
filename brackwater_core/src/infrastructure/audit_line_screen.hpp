// Passing over the lines a byte-exact filter would refuse without parsing
// them. A line with no backslash writes every string as its own bytes, so a
// record whose field equals `want` holds `"want"` literally; a line lacking
// both that text and any backslash cannot match and is not worth parsing.
#pragma once

#include <optional>
#include <string>

namespace brackwater::infrastructure {

class AuditLineScreen {
 public:
  explicit AuditLineScreen(const std::optional<std::string>& want);

  // Starts over on bytes ending at `end`, whose lines are asked about next.
  void reset(const char* end) noexcept;

  // Whether the line [begin, end) (ending by the end given to reset, lines
  // asked about in order) may hold the wanted text as a string value.
  [[nodiscard]] bool may_match(const char* begin, const char* end) noexcept;

 private:
  std::string needle_;  // empty: every line may match
  const char* end_ = nullptr;
  const char* next_needle_ = nullptr;     // next occurrence at or after the line asked about, or end_
  const char* next_backslash_ = nullptr;  // likewise
};

}  // namespace brackwater::infrastructure
