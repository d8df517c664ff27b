#include "domain/audit_line.hpp"

#include <simdjson.h>

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
// value, no white space.
// Recursion is bounded: simdjson admits no deeper nesting than kMaxDepth.
void write_compact(element v, std::string& out) {  // NOLINT(misc-no-recursion)
  switch (v.type()) {
    case element_type::OBJECT: {
      out += '{';
      bool first = true;
      const auto member = [&](std::string_view key, element value) {  // NOLINT(misc-no-recursion)
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
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
    case element_type::STRING: append_json_string(out, v.get_string().value_unsafe()); return;
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
  static std::string extra_text(Value v) {
    std::string out;
    write_compact(v, out);
    return out;
  }
};

}  // namespace

struct AuditLineParser::Impl {
  simdjson::dom::parser parser;
};

AuditLineParser::AuditLineParser() : impl_(std::make_unique<Impl>()) {}
AuditLineParser::~AuditLineParser() = default;

bool AuditLineParser::parse(std::string_view line, const std::optional<std::string>& branch,
                            const std::optional<std::string>& worktree, AuditRecord& out) {
  const audit_fields::Filter filter{&branch, &worktree};
  element root;
  const auto error = impl_->parser.parse(line.data(), line.size(), false).get(root);
  if (!error) {
    simdjson::dom::object object;
    if (root.get_object().get(object)) return false;
    audit_fields::Members<SimdAccess> members;
    for (auto field : object) members.take(field.key, field.value);
    return audit_fields::build(members, filter, out);
  }
  if (error != simdjson::NUMBER_ERROR) return false;
  // nlohmann-json stops reading at a NUL byte and skips a leading byte-order
  // mark; simdjson refuses both, and so must this path.
  if (support::json_too_deep_at(line, kMaxDepth) || line.find('\0') != std::string_view::npos ||
      line.starts_with("\xEF\xBB\xBF")) {
    return false;
  }
  // nlohmann-json reads integers beyond 64 bits as floating point, and
  // writers that use it accept such lines: so must we.
  json value = json::parse(line, nullptr, false);
  return !value.is_discarded() && audit_fields::build_from_json(value, filter, out);
}

}  // namespace brackwater::domain
