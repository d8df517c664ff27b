#include "domain/audit_line.hpp"

#include <simdjson.h>

#include "domain/audit_record_fields.hpp"

namespace brackwater::domain {
namespace {

using nlohmann::json;
using simdjson::dom::element;
using simdjson::dom::element_type;

static_assert(kAuditLinePadding >= simdjson::SIMDJSON_PADDING);

// Deeper values than simdjson admits are refused by the fallback parse too.
constexpr size_t kMaxDepth = simdjson::DEFAULT_MAX_DEPTH;

json to_json(element v) {
  switch (v.type()) {
    case element_type::OBJECT: {
      json out = json::object();
      const simdjson::dom::object object = v.get_object().value_unsafe();
      for (auto field : object) out[std::string(field.key)] = to_json(field.value);
      return out;
    }
    case element_type::ARRAY: {
      json out = json::array();
      const simdjson::dom::array array = v.get_array().value_unsafe();
      for (auto item : array) out.push_back(to_json(item));
      return out;
    }
    case element_type::STRING: return json(std::string(v.get_string().value_unsafe()));
    case element_type::INT64: return json(v.get_int64().value_unsafe());
    case element_type::UINT64: return json(v.get_uint64().value_unsafe());
    case element_type::DOUBLE: return json(v.get_double().value_unsafe());
    case element_type::BOOL: return json(v.get_bool().value_unsafe());
    case element_type::NULL_VALUE: break;
  }
  return json(nullptr);
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
  static json to_json(Value v) { return domain::to_json(v); }
};

// Whether brackets nest deeper than simdjson admits, strings skipped.
bool too_deep(std::string_view text) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxDepth) return true;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

struct AuditLineParser::Impl {
  simdjson::dom::parser parser;
};

AuditLineParser::AuditLineParser() : impl_(std::make_unique<Impl>()) {}
AuditLineParser::~AuditLineParser() = default;

std::optional<AuditRecord> AuditLineParser::parse(std::string_view line, const std::optional<std::string>& branch,
                                                  const std::optional<std::string>& worktree) {
  const audit_fields::Filter filter{&branch, &worktree};
  element root;
  const auto error = impl_->parser.parse(line.data(), line.size(), false).get(root);
  if (!error) {
    simdjson::dom::object object;
    if (root.get_object().get(object)) return std::nullopt;
    audit_fields::Members<SimdAccess> members;
    for (auto field : object) members.take(field.key, field.value);
    return audit_fields::build(members, filter);
  }
  if (error != simdjson::NUMBER_ERROR) return std::nullopt;
  // nlohmann-json stops reading at a NUL byte and skips a leading byte-order
  // mark; simdjson refuses both, and so must this path.
  if (too_deep(line) || line.find('\0') != std::string_view::npos || line.starts_with("\xEF\xBB\xBF")) {
    return std::nullopt;
  }
  // nlohmann-json reads integers beyond 64 bits as floating point, and
  // writers that use it accept such lines: so must we.
  json value = json::parse(line, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return audit_fields::build_from_json(value, filter);
}

}  // namespace brackwater::domain
