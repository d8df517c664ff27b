#include "domain/porcelain.hpp"

#include <gtest/gtest.h>

namespace {

using brackwater::domain::parse_porcelain;
using brackwater::domain::PorcelainFraming;
using brackwater::domain::WorktreeListEntry;

// An entry written compactly: "worktree|head|branch|lock_reason|flags",
// "~" for an absent optional, flags as letters b(are) d(etached) l(ocked)
// p(runable).
std::string show(const WorktreeListEntry& e) {
  std::string flags;
  if (e.bare) flags += 'b';
  if (e.detached) flags += 'd';
  if (e.locked) flags += 'l';
  if (e.prunable) flags += 'p';
  return e.worktree + "|" + e.head + "|" + e.branch.value_or("~") + "|" + e.lock_reason.value_or("~") + "|" + flags;
}

std::string show(std::string_view text, PorcelainFraming framing = PorcelainFraming::kLines) {
  auto parsed = parse_porcelain(text, framing);
  if (!parsed) return "error: " + parsed.error();
  std::string out;
  for (const auto& e : *parsed) out += show(e) + ";";
  return out;
}

const std::string kMissing = "error: worktree record missing required 'worktree' line";

TEST(ParsePorcelain, Table) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"", ""},
      {"\n\n\n", ""},
      {"worktree /r\nHEAD abc\nbranch refs/heads/main\n\nworktree /w\nHEAD def\ndetached\n\n",
       "/r|abc|main|~|;/w|def|~|~|d;"},
      // CRLF line ends, and carriage returns piled up before one line feed
      {"worktree /r\r\nHEAD abc\r\r\nbranch refs/heads/main\r\n\r\n", "/r|abc|main|~|;"},
      // no final line feed
      {"worktree /r\nHEAD abc", "/r|abc|~|~|;"},
      // bare record: no HEAD, a branch line is dropped
      {"worktree /b.git\nbare\nbranch refs/heads/x\n\n", "/b.git||~|~|b;"},
      {"worktree /w\nlocked\n", "/w||~|~|l;"},
      {"worktree /w\nlocked   two words \t\n", "/w||~|two words|l;"},
      {"worktree /w\nlocked    \n", "/w||~|~|l;"},
      {"worktree /w\nlocked first\nlocked\nlocked  \n", "/w||~|first|l;"},
      {"worktree /w\nprunable gitdir file points to non-existent location\n", "/w||~|~|p;"},
      {"worktree /w\nprunable\n", "/w||~|~|p;"},
      // branch of exactly refs/heads/; only one prefix is removed; other refs stay
      {"worktree /w\nbranch refs/heads/\n", "/w|||~|;"},
      {"worktree /w\nbranch refs/heads/refs/heads/x\n", "/w||refs/heads/x|~|;"},
      {"worktree /w\nbranch refs/remotes/o/x\n", "/w||refs/remotes/o/x|~|;"},
      // unknown keys, blank-only lines and near misses are ignored inside a record
      {"worktree /w\nfuture key\n   \n\t\nbareish\nDetached\nHEAD\n", "/w||~|~|;"},
      // a later worktree line replaces an earlier one; blanks in values are kept
      {"worktree /a\nworktree  /b c \nHEAD  h \n", " /b c | h |~|~|;"},
      {"worktree \n", "||~|~|;"},
      // records without a worktree line
      {"HEAD abc\n\n", kMissing},
      {"branch refs/heads/main\n", kMissing},
      {"detached\n", kMissing},
      {"locked reason\n", kMissing},
      {"worktree /r\n\nbare\n", kMissing},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(show(text), expected) << testing::PrintToString(text);
}

TEST(ParsePorcelain, NulFraming) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, std::string> cases[] = {
      {""sv, ""},
      // a path that would forge a record in the line form is one value here
      {"worktree /a\nworktree /etc\nbranch refs/heads/main\0HEAD h\0branch refs/heads/x\0\0worktree /b\0detached\0\0"sv,
       "/a\nworktree /etc\nbranch refs/heads/main|h|x|~|;/b||~|~|d;"},
      // carriage returns belong to the value; the last record needs no end
      {"worktree /r\r\r\0locked  why\nnot \0"sv, "/r\r\r||~|why\nnot|l;"},
      {"worktree /r\0\0HEAD h\0"sv, kMissing},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(show(text, PorcelainFraming::kNul), expected) << testing::PrintToString(text);
  }
}

}  // namespace
