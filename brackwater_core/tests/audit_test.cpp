#include "domain/audit.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "domain/audit_line.hpp"
#include "domain/packed_audit_record.hpp"

namespace {

using namespace brackwater::domain;
using nlohmann::json;

AuditContext context(std::string cwd = "/w") { return {"2026-01-02T03:04:05Z", 10, 9, std::move(cwd), "host"}; }

AuditEvent event() { return {"worktree_remove", "main", "/wt", "raw_git", "success", {}, 5, {}, json{{"b", 1}}}; }

// A line rendered from the event with its branch padded until the first
// rendering is exactly `size` bytes.
std::string line_of_size(size_t size) {
  AuditEvent e = event();
  AuditRecord probe = assemble_record(e, context());
  const size_t base = serialize_with_cap(probe).size();
  e.branch += std::string(size - base, 'x');
  AuditRecord record = assemble_record(e, context());
  return serialize_with_cap(record);
}

TEST(AuditLine, KeysSortedNullsWrittenEscapesOnOneLine) {
  AuditEvent e = event();
  e.branch = "a\nb\"\x01/é";
  e.extra = json::parse(R"({"z":{"b":1,"a":2},"a":null})");
  AuditRecord record = assemble_record(e, context());
  EXPECT_EQ(serialize_with_cap(record),
            R"({"branch":"a\nb\"\u0001/é","correlation_id":null,"cwd":"/w","elapsed_ms":5,)"
            R"("extra":{"a":null,"z":{"a":2,"b":1}},"host":"host","invoker":"raw_git","kind":"worktree_remove",)"
            R"("outcome":"success","parent_pid":9,"pid":10,"schema_version":"v2","session_id":null,)"
            R"("timestamp":"2026-01-02T03:04:05Z","truncated":false,"worktree":"/wt"})"
            "\n");
  e.extra = json(nullptr);
  AuditRecord with_null = assemble_record(e, context());
  e.extra.reset();
  AuditRecord without = assemble_record(e, context());
  EXPECT_EQ(serialize_with_cap(with_null), serialize_with_cap(without));
  // The hand-written line is the JSON library's compact rendering of the
  // record's object form.
  e.extra = json::parse(R"({"f":[1.5,-0.0,1e300,"\u007f\u001f\u00e9"],"n":18446744073709551615})");
  AuditRecord full = assemble_record(e, context("/d\\"));
  EXPECT_EQ(serialize_with_cap(full), full.serialize().dump() + "\n");
}

TEST(AuditLine, CapStepsInOrder) {
  EXPECT_EQ(line_of_size(4096).size(), 4096u);
  EXPECT_NE(line_of_size(4096).find("\"truncated\":false"), std::string::npos);
  const std::string over = line_of_size(4097);
  EXPECT_NE(over.find("\"truncated\":true"), std::string::npos);
  EXPECT_NE(over.find("\"extra\":null"), std::string::npos);
  EXPECT_NE(over.find("\"elapsed_ms\":5"), std::string::npos);  // dropping extra was enough

  struct Case {
    size_t cwd_bytes;
    std::string cwd_char;
    size_t branch_bytes;
    std::string expect_cwd_prefix;
    size_t expect_cwd_size;
  };
  const Case cases[] = {
      {300, "a", 3900, "...", 256},                 // shortened to "..." and the last 253 bytes
      {256, "a", 3900, "", 256},                    // 256 bytes are never shortened
      {300, "a", 5000, "...", 256},                 // still too long: returned anyway
      {300, "\xE2\x82\xAC", 3900, "...", 3 + 252},  // a 3-byte character straddles the cut
  };
  for (const auto& c : cases) {
    std::string cwd;
    while (cwd.size() < c.cwd_bytes) cwd += c.cwd_char;
    AuditEvent e = event();
    e.branch = std::string(c.branch_bytes, 'b');
    AuditRecord record = assemble_record(e, context(cwd));
    const std::string line = serialize_with_cap(record);
    EXPECT_EQ(record.cwd.size(), c.expect_cwd_size) << c.cwd_bytes;
    EXPECT_TRUE(record.cwd.starts_with(c.expect_cwd_prefix));
    EXPECT_FALSE(record.elapsed_ms);
    EXPECT_TRUE(record.truncated);
    EXPECT_EQ(line.find(std::string(c.branch_bytes, 'b')) != std::string::npos, true);  // never shortened
    EXPECT_EQ(line.find('\n'), line.size() - 1);
  }
}

TEST(AuditLine, SecretWords) {
  const std::pair<const char*, bool> cases[] = {
      {"KEY", true},
      {"monkey", true},
      {"tokens", true},
      {"Pass\xC3\x9Bword", false},
      {"PASSWORD", true},
      {"passwd", false},
      {"", false},
      {"\xC3\x9C"
       "ber KEY",
       true},  // non-ASCII text goes through the Unicode mapping
      {"SECR\xC3\x89T", false},
      {"SeCrEt", true},
      {"\u212AEY", true},             // KELVIN SIGN lower-cases to an ASCII k
      {"\u0130KEY", true},            // the one character whose full lower case is two
      {"TO\u0130KEN", false},         // ...and neither of them is in a word
      {"\uFF2B\uFF25\uFF39", false},  // full-width letters stay full-width
      {"K\xFF"
       "EY",
       false},  // an invalid byte is a character of its own
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(is_secret_pattern(text), expected) << text;
}

TEST(AuditRecordParse, FieldRules) {
  const json base = json::parse(R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w",
                                   "outcome":"o","pid":1})");
  auto with = [&](const json& patch, std::initializer_list<const char*> drop = {}) {
    json v = base;
    for (const auto& [k, val] : patch.items()) v[k] = val;
    for (const char* k : drop) v.erase(k);
    return v;
  };
  EXPECT_FALSE(parse_record(json::array()));
  EXPECT_FALSE(parse_record(with({{"worktree", 5}, {"worktree_path", "p"}})));
  EXPECT_EQ(parse_record(with({{"worktree_path", "p"}}, {"worktree"}))->worktree, "p");
  EXPECT_FALSE(parse_record(with({{"pid", 12.0}})));
  EXPECT_FALSE(parse_record(with({{"pid", "12"}})));
  EXPECT_FALSE(parse_record(with({{"pid", 9223372036854775808ull}})));
  EXPECT_FALSE(parse_record(with({}, {"outcome"})));
  auto r = parse_record(with({{"parent_pid", "12"}, {"truncated", "yes"}, {"extra", nullptr}}));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->parent_pid);
  EXPECT_FALSE(r->truncated);
  EXPECT_EQ(r->extra_json, "null");
  EXPECT_EQ(r->schema_version, "");
  EXPECT_FALSE(parse_record(base)->extra_json);
  EXPECT_EQ(parse_record(base)->serialize().dump().find("\"extra\":null") != std::string::npos, true);
}

// The simdjson parser, through the packed record the reader returns, agrees
// with parse_record over nlohmann-json line by line, including keys given
// twice and integers beyond 64 bits.
TEST(AuditRecordParse, LineParserAgreesWithTheJsonLibrary) {
  const char* lines[] = {
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1,"pid":"x"})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":"x","pid":2})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1,
          "extra":{"n":18446744073709551616,"a":[1.5,-2,true,null],"k":1,"k":2}})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1,
          "extra":{"z":{"b":""\/é","a":[]},"k":1,"k":{"y":2.5e-7,"x":100.0,"w":1E2,"v":-0.0},"a":{}}})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1,"x":1e400})",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1} x)",
      R"({"timestamp":"t","kind":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":1,"s":"\udc00"})",
      R"({"timestamp":"t","k\u0069nd":"k","invoker":"i","branch":"b","worktree":"w","outcome":"o","pid":-1})",
      R"([1])",
      R"(12)",
  };
  AuditLineParser parser;
  const std::optional<std::string> none;
  for (const char* text : lines) {
    const size_t n = std::strlen(text);
    auto padded = std::make_unique<char[]>(n + kAuditLinePadding);
    std::memcpy(padded.get(), text, n);
    const auto view = parser.parse(std::string_view(padded.get(), n), none, none);
    const auto fast =
        view ? std::optional<AuditRecord>(to_record(PackedAuditRecord::pack(*view)->view())) : std::nullopt;
    const json value = json::parse(text, nullptr, false);
    const auto slow = value.is_discarded() ? std::nullopt : parse_record(value);
    ASSERT_EQ(fast.has_value(), slow.has_value()) << text;
    if (fast) {
      EXPECT_EQ(fast->serialize(), slow->serialize()) << text;
      EXPECT_EQ(fast->extra_json, slow->extra_json) << text;
    }
  }
}

TEST(AuditTimestamp, FormAndParse) {
  using namespace std::chrono;
  const sys_time<nanoseconds> at = sys_days(2026y / 1 / 2) + 3h + 4min + 5s;
  EXPECT_EQ(format_timestamp(at), "2026-01-02T03:04:05Z");
  EXPECT_EQ(format_timestamp(at + 500ms), "2026-01-02T03:04:05.500Z");
  EXPECT_EQ(format_timestamp(at + 1500us), "2026-01-02T03:04:05.001500Z");
  EXPECT_EQ(format_timestamp(at + 7ns), "2026-01-02T03:04:05.000000007Z");

  const auto z = parse_rfc3339("2026-01-02T03:04:05Z");
  ASSERT_TRUE(z);
  EXPECT_EQ(z, parse_rfc3339("2026-01-02T03:04:05+00:00"));
  EXPECT_EQ(parse_rfc3339("2026-01-02T05:04:05+02:00"), z);
  EXPECT_EQ(parse_rfc3339("2026-01-02T03:04:05.25Z")->nanos, 250000000);
  EXPECT_EQ(parse_rfc3339("0001-01-01T00:00:00Z")->seconds, -62135596800);
  for (const char* bad : {"2026-01-02T03:04:05", "2026-02-30T00:00:00Z", "2026-01-02 03:04:05Z", "yesterday",
                          "2026-01-02T03:04:05ZZ", "2026-01-02T24:00:00Z", "2026-01-02T03:04:05.Z", ""}) {
    EXPECT_FALSE(parse_rfc3339(bad)) << bad;
  }
}

}  // namespace
