#include "domain/audit_line.hpp"

#include <simdjson.h>

#include <algorithm>
#include <new>
#include <utility>

#include "domain/audit_record_fields.hpp"
#include "domain/json_members.hpp"
#include "domain/json_writer.hpp"
#include "support/json_depth.hpp"

namespace brackwater::domain {
namespace {

using nlohmann::json;
using simdjson::dom::element;
using simdjson::dom::element_type;

static_assert(kAuditLinePadding >= simdjson::SIMDJSON_PADDING);

// Deeper values than simdjson admits are refused by the fallback parse too.
constexpr size_t kMaxDepth = simdjson::DEFAULT_MAX_DEPTH;

// The compact JSON text of a value as nlohmann-json would write it after
// parsing it: object keys in byte order, a key given twice with its last
// value, no white space. simdjson has checked every string as UTF-8.
// Recursion is bounded: simdjson admits no deeper nesting than kMaxDepth.
void write_compact(element v, std::string& out) {  // NOLINT(misc-no-recursion)
  switch (v.type()) {
    case element_type::OBJECT: {
      out += '{';
      bool first = true;
      const auto member = [&](std::string_view key, element value) {  // NOLINT(misc-no-recursion)
        if (!first) out += ',';
        first = false;
        append_json_string_of_utf8(out, key);
        out += ':';
        write_compact(value, out);
      };
      for_each_member_in_key_order(v.get_object().value_unsafe(), member);
      out += '}';
      return;
    }
    case element_type::ARRAY: {
      out += '[';
      bool first = true;
      const simdjson::dom::array array = v.get_array().value_unsafe();
      for (auto item : array) {
        if (!first) out += ',';
        first = false;
        write_compact(item, out);
      }
      out += ']';
      return;
    }
    case element_type::STRING: append_json_string_of_utf8(out, v.get_string().value_unsafe()); return;
    case element_type::INT64: append_json_number(out, v.get_int64().value_unsafe()); return;
    case element_type::UINT64: append_json_number(out, v.get_uint64().value_unsafe()); return;
    case element_type::DOUBLE: append_json_number(out, v.get_double().value_unsafe()); return;
    case element_type::BOOL: out += v.get_bool().value_unsafe() ? "true" : "false"; return;
    case element_type::NULL_VALUE: out += "null"; return;
  }
}

struct SimdAccess {
  using Value = element;
  static std::optional<std::string_view> string(Value v) {
    std::string_view s;
    if (v.get_string().get(s)) return std::nullopt;
    return s;
  }
  static std::optional<int64_t> int64(Value v) {
    if (v.type() != element_type::INT64) return std::nullopt;
    return v.get_int64().value_unsafe();
  }
  static std::optional<bool> boolean(Value v) {
    bool b;
    if (v.get_bool().get(b)) return std::nullopt;
    return b;
  }
  static void extra_text(Value v, std::string& out) {
    out.clear();
    write_compact(v, out);
  }
};

// Room for any line the writer makes; a longer one makes the parser grow.
constexpr size_t kInitialCapacity = size_t{64} << 10;

}  // namespace

// The simdjson parser is given its capacity and depth before any parse, and
// grown here rather than inside parse, so that every allocation it makes is
// seen to succeed or fail. A parser whose allocation failed is never used
// again (simdjson leaves it in a state the next parse cannot survive): the
// next line starts from a new one.
struct AuditLineParser::Impl {
  std::unique_ptr<simdjson::dom::parser> parser;
  json fallback;      // the last line parsed by nlohmann-json
  std::string extra;  // the text of the last record's "extra"

  // Whether a parser with room for `size` bytes is at hand.
  bool ready(size_t size) noexcept {
    const size_t now = parser ? parser->capacity() : 0;
    if (parser && size <= now && size <= parser->doc.capacity()) return true;
    if (!parser) parser.reset(new (std::nothrow) simdjson::dom::parser);
    const size_t capacity = std::max({size, kInitialCapacity, now * 2});
    if (parser && parser->allocate(capacity, kMaxDepth) == simdjson::SUCCESS &&
        parser->doc.allocate(capacity) == simdjson::SUCCESS) {
      return true;
    }
    parser.reset();
    return false;
  }
};

AuditLineParser::AuditLineParser() : impl_(std::make_unique<Impl>()) {}
AuditLineParser::~AuditLineParser() = default;

std::optional<AuditRecordView> AuditLineParser::parse(std::string_view line, const std::optional<std::string>& branch,
                                                      const std::optional<std::string>& worktree) {
  const audit_fields::Filter filter{&branch, &worktree};
  if (!impl_->ready(line.size())) return std::nullopt;
  element root;
  const auto error = impl_->parser->parse(line.data(), line.size(), false).get(root);
  if (error == simdjson::MEMALLOC) impl_->parser.reset();
  if (!error) {
    simdjson::dom::object object;
    if (root.get_object().get(object)) return std::nullopt;
    audit_fields::Members<SimdAccess> members;
    for (auto field : object) members.take(field.key, field.value);
    return audit_fields::build(members, filter, impl_->extra);
  }
  if (error != simdjson::NUMBER_ERROR) return std::nullopt;
  // nlohmann-json stops reading at a NUL byte and skips a leading byte-order
  // mark; simdjson refuses both, and so must this path.
  if (support::json_too_deep_at(line, kMaxDepth) || line.find('\0') != std::string_view::npos ||
      line.starts_with("\xEF\xBB\xBF")) {
    return std::nullopt;
  }
  // nlohmann-json reads integers beyond 64 bits as floating point, and
  // writers that use it accept such lines: so must we.
  impl_->fallback = json::parse(line, nullptr, false);
  if (impl_->fallback.is_discarded()) return std::nullopt;
  return audit_fields::build_from_json(impl_->fallback, filter, impl_->extra);
}

}  // namespace brackwater::domain
