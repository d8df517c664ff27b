#include "infrastructure/store_document.hpp"

#include <simdjson.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "domain/json_members.hpp"
#include "domain/json_writer.hpp"
#include "infrastructure/json_text.hpp"
#include "support/fork_safe.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

namespace dom = simdjson::dom;
using domain::FieldValue;

static_assert(StoreDocument::kPadding >= simdjson::SIMDJSON_PADDING);

constexpr std::string_view kEmptyDocument = R"({"bindings":[],"schema_version":2})";

// Parsers and read buffers kept for reuse, for documents up to this size.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;
constexpr std::size_t kKeptEach = 2;

// A forked child may find the pool empty (support/fork_safe.hpp).
template <class T>
class Spares {
 public:
  std::optional<T> take() {
    return items_.with([](std::vector<T>& items) -> std::optional<T> {
      if (items.empty()) return std::nullopt;
      T item = std::move(items.back());
      items.pop_back();
      return item;
    });
  }
  void give(T item) {
    items_.with([&](std::vector<T>& items) {
      if (items.size() < kKeptEach) items.push_back(std::move(item));
    });
  }

 private:
  support::ForkSafeShared<std::vector<T>> items_;
};

// Never destroyed: a thread may still be reading when the process exits.
Spares<std::unique_ptr<dom::parser>>& spare_parsers() {
  static auto* spares = new Spares<std::unique_ptr<dom::parser>>;
  return *spares;
}

Spares<std::string>& spare_buffers() {
  static auto* spares = new Spares<std::string>;
  return *spares;
}

// A parser that refuses what nests deeper than the value-tree reader takes.
std::unique_ptr<dom::parser> take_parser() {
  if (auto parser = spare_parsers().take()) return *std::move(parser);
  auto parser = std::make_unique<dom::parser>();
  if (parser->allocate(simdjson::SIMDJSON_PADDING, kMaxJsonDepth) != simdjson::SUCCESS) throw std::bad_alloc();
  return parser;
}

// The member of `object` under `key` that nlohmann-json keeps: the last.
std::optional<dom::element> last_member(dom::object object, std::string_view key) {
  std::optional<dom::element> found;
  for (dom::key_value_pair member : object) {
    if (member.key == key) found = member.value;
  }
  return found;
}

FieldValue field_of(dom::element value) {
  FieldValue field;
  field.kind = FieldValue::Kind::kOther;
  switch (value.type()) {
    case dom::element_type::STRING:
      field.kind = FieldValue::Kind::kString;
      field.text = value.get_string().value_unsafe();
      break;
    case dom::element_type::INT64:
      field.kind = FieldValue::Kind::kInt64;
      field.int64 = value.get_int64().value_unsafe();
      break;
    case dom::element_type::UINT64:
      if (value.get_uint64().value_unsafe() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        field.kind = FieldValue::Kind::kInt64;
        field.int64 = static_cast<int64_t>(value.get_uint64().value_unsafe());
      }
      break;
    default: break;
  }
  return field;
}

// The written form of a value, exactly as nlohmann-json's dump with a
// two-space indent, UTF-8 left unescaped, gives it.
// NOLINTBEGIN(misc-no-recursion): as deep as the parsed document, which the parser bounds
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void value(dom::element e, int level) {
    switch (e.type()) {
      case dom::element_type::OBJECT: object(e.get_object().value_unsafe(), level); return;
      case dom::element_type::ARRAY: array(e.get_array().value_unsafe(), level); return;
      case dom::element_type::STRING: string(e.get_string().value_unsafe()); return;
      case dom::element_type::INT64: domain::append_json_number(out_, e.get_int64().value_unsafe()); return;
      case dom::element_type::UINT64: domain::append_json_number(out_, e.get_uint64().value_unsafe()); return;
      case dom::element_type::DOUBLE: domain::append_json_number(out_, e.get_double().value_unsafe()); return;
      case dom::element_type::BOOL: out_ += e.get_bool().value_unsafe() ? "true" : "false"; return;
      case dom::element_type::NULL_VALUE: out_ += "null"; return;
    }
  }

  // A member line's lead: indent, quoted key, ": ".
  void key(std::string_view name, int level) {
    indent(level);
    string(name);
    out_ += ": ";
  }

  void indent(int level) { out_.append(static_cast<size_t>(level) * 2, ' '); }

  // A value rendered by nlohmann-json at indent 0, placed at `level`.
  void nlohmann_value(const nlohmann::json& value, int level) {
    const std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
      out_.append(text, start, nl + 1 - start);
      indent(level);
      start = nl + 1;
    }
    out_.append(text, start);
  }

  void string(std::string_view s) { domain::append_json_string(out_, s); }

 private:
  // Keys in byte order, the later of two equal keys winning.
  void object(dom::object o, int level) {
    if (o.begin() == o.end()) {
      out_ += "{}";
      return;
    }
    out_ += "{\n";
    bool more = false;
    domain::for_each_member_in_key_order(o, [&](std::string_view name, dom::element value) {
      if (more) out_ += ",\n";
      member_line(name, value, level + 1);
      more = true;
    });
    out_ += '\n';
    indent(level);
    out_ += '}';
  }

  void member_line(std::string_view name, dom::element value, int level) {
    key(name, level);
    this->value(value, level);
  }

  void array(dom::array a, int level) {
    if (a.begin() == a.end()) {
      out_ += "[]";
      return;
    }
    out_ += "[\n";
    bool more = false;
    for (dom::element item : a) {
      if (more) out_ += ",\n";
      indent(level + 1);
      value(item, level + 1);
      more = true;
    }
    out_ += '\n';
    indent(level);
    out_ += ']';
  }

  std::string& out_;
};
// NOLINTEND(misc-no-recursion)

}  // namespace

struct StoreDocument::Impl {
  Impl() : parser(take_parser()) {}
  ~Impl() {
    if (parser->capacity() <= kKeptCapacity) {
      spare_parsers().give(std::move(parser));
    }
    if (bytes.capacity() <= kKeptCapacity + kPadding && bytes.capacity() > 0) {
      bytes.clear();
      spare_buffers().give(std::move(bytes));
    }
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  std::unique_ptr<dom::parser> parser;
  std::string bytes;  // what was read, kept only to be reused
  dom::object root;
  std::vector<dom::element> entries;
  std::size_t source_size = 0;

  // Takes the parsed root; false when it is not an object.
  bool adopt(dom::element parsed, std::size_t size) {
    if (!parsed.is_object()) return false;
    root = parsed.get_object().value_unsafe();
    source_size = size;
    if (auto bindings = last_member(root, "bindings"); bindings && bindings->is_array()) {
      const dom::array items = bindings->get_array().value_unsafe();
      entries.reserve(items.size());
      for (dom::element item : items) entries.push_back(item);
    }
    return true;
  }
};

StoreDocument::StoreDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
StoreDocument::StoreDocument(StoreDocument&&) noexcept = default;
StoreDocument& StoreDocument::operator=(StoreDocument&&) noexcept = default;
StoreDocument::~StoreDocument() = default;

std::string StoreDocument::reusable_buffer() { return spare_buffers().take().value_or(std::string()); }

std::expected<StoreDocument, StoreDocumentError> StoreDocument::parse(std::string owned) {
  auto impl = std::make_unique<Impl>();
  impl->bytes = std::move(owned);
  const std::string& bytes = impl->bytes;
  const bool padded = bytes.capacity() - bytes.size() >= simdjson::SIMDJSON_PADDING;
  dom::element parsed;
  if (impl->parser->parse(bytes.data(), bytes.size(), !padded).get(parsed) == simdjson::SUCCESS) {
    if (!impl->adopt(parsed, bytes.size())) {
      return std::unexpected(
          StoreDocumentError{StoreDocumentError::Kind::kCorrupt, "top-level value is not an object"});
    }
    return StoreDocument(std::move(impl));
  }

  // Refused: say why as nlohmann-json would, or read what it accepts.
  if (auto bad = support::utf8_error(bytes)) {
    return std::unexpected(StoreDocumentError{StoreDocumentError::Kind::kNotUtf8, *std::move(bad)});
  }
  if (support::is_blank(bytes)) return empty();
  auto tree = parse_json_text(bytes);
  if (!tree) return std::unexpected(StoreDocumentError{StoreDocumentError::Kind::kCorrupt, tree.error().detail()});
  if (!tree->is_object()) {
    return std::unexpected(StoreDocumentError{StoreDocumentError::Kind::kCorrupt, "top-level value is not an object"});
  }
  // Its compact rendering is plain JSON within the depth bound, which the
  // parser cannot refuse.
  const std::string compact = tree->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (impl->parser->parse(compact).get(parsed) != simdjson::SUCCESS) throw std::bad_alloc();
  impl->adopt(parsed, bytes.size());
  return StoreDocument(std::move(impl));
}

StoreDocument StoreDocument::empty() {
  auto impl = std::make_unique<Impl>();
  dom::element parsed;
  if (impl->parser->parse(kEmptyDocument.data(), kEmptyDocument.size()).get(parsed) != simdjson::SUCCESS ||
      !impl->adopt(parsed, kEmptyDocument.size())) {
    throw std::bad_alloc();  // a constant document; only a failed allocation refuses it
  }
  return StoreDocument(std::move(impl));
}

std::size_t StoreDocument::size() const noexcept { return impl_->entries.size(); }

bool StoreDocument::has_session_id(std::size_t i, std::string_view session_id) const {
  const dom::element entry = impl_->entries[i];
  if (!entry.is_object()) return false;
  const auto value = last_member(entry.get_object().value_unsafe(), "session_id");
  return value && value->is_string() && value->get_string().value_unsafe() == session_id;
}

domain::BindingFields StoreDocument::fields(std::size_t i) const {
  domain::BindingFields fields;
  const dom::element entry = impl_->entries[i];
  if (!entry.is_object()) return fields;
  fields.is_object = true;
  const dom::object object = entry.get_object().value_unsafe();
  for (dom::key_value_pair member : object) {
    if (FieldValue* slot = fields.slot(member.key)) *slot = field_of(member.value);
  }
  return fields;
}

std::string StoreDocument::render(const std::function<bool(std::size_t)>& keep, const nlohmann::json* appended) const {
  // The top-level members in written order; "bindings" and
  // "schema_version" are always written, with their new values.
  struct Member {
    std::string_view key;
    std::optional<dom::element> value;  // nullopt: one of the two replaced
  };
  std::vector<Member> members;
  for (dom::key_value_pair member : impl_->root) {
    if (member.key != "bindings" && member.key != "schema_version") members.push_back({member.key, member.value});
  }
  members.push_back({"bindings", std::nullopt});
  members.push_back({"schema_version", std::nullopt});
  std::ranges::stable_sort(members, [](const Member& a, const Member& b) { return a.key < b.key; });

  std::string out;
  out.reserve(impl_->source_size + impl_->source_size / 8 + 1024);
  Writer writer(out);
  out += "{\n";
  bool more = false;
  for (size_t m = 0; m < members.size(); ++m) {
    if (m + 1 < members.size() && members[m + 1].key == members[m].key) continue;  // the later one wins
    if (more) out += ",\n";
    more = true;
    writer.key(members[m].key, 1);
    if (members[m].value) {
      writer.value(*members[m].value, 1);
    } else if (members[m].key == "schema_version") {
      out += std::to_string(domain::kCurrentSchemaVersion);
    } else {
      bool any = false;
      for (size_t i = 0; i < impl_->entries.size(); ++i) {
        if (!keep(i)) continue;
        out += any ? ",\n" : "[\n";
        writer.indent(2);
        writer.value(impl_->entries[i], 2);
        any = true;
      }
      if (appended != nullptr) {
        out += any ? ",\n" : "[\n";
        writer.indent(2);
        writer.nlohmann_value(*appended, 2);
        any = true;
      }
      out += any ? "\n  ]" : "[]";
    }
  }
  out += "\n}\n";
  return out;
}

}  // namespace brackwater::infrastructure
