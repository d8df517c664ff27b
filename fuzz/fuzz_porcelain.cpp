// `git worktree list --porcelain` text -> entries. Whatever the bytes, the
// parser answers with entries or its one error text; the answer does not
// change when line feeds become carriage return + line feed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "domain/porcelain.hpp"
#include "support/text.hpp"

namespace {

bool same(const brackwater::domain::WorktreeListEntry& a, const brackwater::domain::WorktreeListEntry& b) {
  return a.worktree == b.worktree && a.head == b.head && a.branch == b.branch && a.lock_reason == b.lock_reason &&
         a.bare == b.bare && a.detached == b.detached && a.locked == b.locked && a.prunable == b.prunable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace domain = brackwater::domain;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = domain::parse_porcelain(text);
  if (parsed) {
    for (const auto& e : *parsed) {
      if (e.bare && e.branch) std::abort();
      if (e.lock_reason &&
          (!e.locked || e.lock_reason->empty() || brackwater::support::trim(*e.lock_reason) != *e.lock_reason)) {
        std::abort();
      }
    }
  } else if (parsed.error() != "worktree record missing required 'worktree' line") {
    std::abort();
  }

  std::string crlf;
  crlf.reserve(size + size / 8);
  for (char c : text) c == '\n' ? crlf += "\r\n" : crlf += c;
  auto again = domain::parse_porcelain(crlf);
  if (parsed.has_value() != again.has_value()) std::abort();
  if (parsed) {
    if (parsed->size() != again->size()) std::abort();
    for (size_t i = 0; i < parsed->size(); ++i) {
      if (!same((*parsed)[i], (*again)[i])) std::abort();
    }
  }
  return 0;
}
