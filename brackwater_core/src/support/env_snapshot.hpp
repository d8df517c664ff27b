// A copy of an environment taken for the length of one call, held as one
// block of text with an index beside it: the process environment, or the
// mapping a caller passes in its place.
//
// Callers that snapshot the environment on every call would otherwise pay,
// for each of a few dozen variables, a tree node, up to two string
// allocations and a string comparison per tree level, only for the handful
// of names they then look up. Here the copy costs two allocations whatever
// the number of variables, and a look-up scans the index, which is cheaper
// than a tree walk at this size.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brackwater::support {

class EnvSnapshot {
 public:
  EnvSnapshot() = default;
  // The pairs in order, as add() takes them.
  EnvSnapshot(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs);

  // The process environment; a variable whose name or value is not valid
  // UTF-8 is left out, so it counts as unset.
  [[nodiscard]] static EnvSnapshot of_process();

  // Room for `variables` variables whose names and values add up to `bytes`.
  void reserve(size_t variables, size_t bytes);

  // Copies the pair in; a later pair with the same name replaces an earlier.
  void add(std::string_view name, std::string_view value);

  // True when the snapshot holds no variable at all.
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }

  // The value of `name` when the snapshot holds it (possibly empty). The view
  // lives as long as the snapshot, unchanged.
  [[nodiscard]] std::optional<std::string_view> find(std::string_view name) const noexcept;

  // The value of `name` when the snapshot holds it with at least one
  // character (blanks included).
  [[nodiscard]] std::optional<std::string_view> find_set(std::string_view name) const noexcept {
    auto value = find(name);
    return value && !value->empty() ? value : std::nullopt;
  }

 private:
  // The name starts at `at` in text_, the value follows it directly.
  struct Entry {
    size_t at;
    size_t name_size;
    size_t value_size;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

}  // namespace brackwater::support
