// `git worktree list --porcelain` text -> entries. Whatever the bytes, the
// parser answers with entries or its one error text; the answer does not
// change when line feeds become carriage return + line feed, nor, for text
// without NUL or carriage return, when line feeds become NULs read in the
// -z form.
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

using Answer = decltype(brackwater::domain::parse_porcelain(""));

void expect_same(const Answer& a, const Answer& b) {
  if (a.has_value() != b.has_value()) std::abort();
  if (!a) return;
  if (a->size() != b->size()) std::abort();
  for (size_t i = 0; i < a->size(); ++i) {
    if (!same((*a)[i], (*b)[i])) std::abort();
  }
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
  expect_same(parsed, domain::parse_porcelain(crlf));

  if (text.find_first_of(std::string_view("\0\r", 2)) == std::string_view::npos) {
    std::string nul(text);
    for (char& c : nul) c = c == '\n' ? '\0' : c;
    expect_same(parsed, domain::parse_porcelain(nul, domain::PorcelainFraming::kNul));
  }
  return 0;
}
