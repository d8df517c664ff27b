#include "infrastructure/yaml_value.hpp"

#include <yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <ranges>
#include <unordered_map>

#include "support/concat.hpp"
#include "support/text_position.hpp"

namespace brackwater::infrastructure {
namespace {

// ---- core schema ------------------------------------------------------------

bool all_of(std::string_view s, bool (*pred)(char)) { return !s.empty() && std::ranges::all_of(s, pred); }
bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_oct(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Digits in `base` as an int64, or as a double when they do not fit.
YamlValue::Data integer(std::string_view digits, int base, bool negative) {
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec == std::errc() && end == digits.data() + digits.size()) {
    if (!negative && magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(magnitude);
    }
    if (negative && magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) {
      return static_cast<int64_t>(0 - magnitude);
    }
  }
  double value = 0;
  if (base == 10) {
    auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) value = std::numeric_limits<double>::infinity();
  } else {
    for (char c : digits) value = value * base + (is_dec(c) ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return negative ? -value : value;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool is_decimal_float(std::string_view s) {
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < s.size() && is_dec(s[i])) ++i;
    return i > start;
  };
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  } else {
    if (!digits()) return false;
    if (i < s.size() && s[i] == '.') {
      ++i;
      digits();
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

std::optional<YamlValue::Data> number(std::string_view s) {
  if (s.starts_with("0o") && all_of(s.substr(2), is_oct)) return integer(s.substr(2), 8, false);
  if (s.starts_with("0x") && all_of(s.substr(2), is_hex)) return integer(s.substr(2), 16, false);
  const bool negative = s.starts_with('-');
  const std::string_view unsigned_part = s.starts_with('-') || s.starts_with('+') ? s.substr(1) : s;
  if (all_of(unsigned_part, is_dec)) return integer(unsigned_part, 10, negative);
  if (unsigned_part == ".inf" || unsigned_part == ".Inf" || unsigned_part == ".INF") {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
  if (!is_decimal_float(s)) return std::nullopt;
  double value = 0;
  // from_chars takes no leading "+"; out-of-range values come back as
  // result_out_of_range with `value` untouched, so map them by hand.
  auto [end, ec] = std::from_chars(unsigned_part.data(), unsigned_part.data() + unsigned_part.size(), value);
  if (ec == std::errc::result_out_of_range) {
    const auto e = unsigned_part.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && unsigned_part.substr(e + 1).starts_with('-');
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -value : value;
}

// ---- the tree builder -------------------------------------------------------

// " at line L column C" of byte `offset` of `text`.
std::string at_offset(std::string_view text, size_t offset) {
  return " at " + support::describe(support::position_at(text, offset));
}

const char* c_str(const yaml_char_t* s) { return reinterpret_cast<const char*>(s); }

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  std::expected<YamlValue::Ptr, std::string> run();

 private:
  // One parsed event, released by libyaml when it goes out of scope.
  struct Event {
    Event() { std::memset(&e, 0, sizeof e); }
    ~Event() { yaml_event_delete(&e); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    yaml_event_t e;
  };
  struct Frame {
    bool mapping = false;
    std::optional<std::string> tag;
    std::optional<std::string> anchor;
    uint64_t anchor_generation = 0;
    YamlValue::Sequence items;
    YamlValue::Mapping entries;
    YamlValue::Ptr key;  // a mapping's key still waiting for its value
    uint32_t child_height = 0;
  };
  struct Anchor {
    YamlValue::Ptr value;  // nullptr while the anchored node is still open
    uint64_t generation;
  };

  std::string library_error() const;
  // " at line L column C" of a mark (libyaml counts characters; the
  // position is given in bytes, as for every other file).
  std::string at(const yaml_mark_t& mark) const;
  std::expected<void, std::string> handle(const yaml_event_t& e);
  std::expected<void, std::string> open(const yaml_event_t& e, bool mapping);
  std::expected<void, std::string> close(const yaml_mark_t& mark);
  std::expected<void, std::string> add(YamlValue::Ptr value, const yaml_mark_t& mark);
  // `data` of height `height`, wrapped in its tag when it has one other than !!str.
  static YamlValue::Ptr make(YamlValue::Data data, uint32_t height, const char* tag);
  void define_anchor(const yaml_char_t* anchor, YamlValue::Ptr value);

  yaml_parser_t parser_{};
  std::string_view text_;
  std::vector<Frame> frames_;
  std::unordered_map<std::string, Anchor> anchors_;
  uint64_t generation_ = 0;
  int documents_ = 0;
  YamlValue::Ptr root_;
};

std::string Parser::at(const yaml_mark_t& mark) const {
  size_t offset = 0;
  for (size_t chars = 0; offset < text_.size() && chars < mark.index; ++chars) {
    ++offset;  // past the character's first byte, then its continuation bytes
    while (offset < text_.size() && (static_cast<unsigned char>(text_[offset]) & 0xC0) == 0x80) ++offset;
  }
  return at_offset(text_, offset);
}

std::string Parser::library_error() const {
  if (parser_.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
  const std::string problem = parser_.problem != nullptr ? parser_.problem : "unknown error";
  if (parser_.error == YAML_READER_ERROR) return problem + at_offset(text_, parser_.problem_offset);
  std::string out = problem + at(parser_.problem_mark);
  if (parser_.context != nullptr) out += support::concat(", ", parser_.context, at(parser_.context_mark));
  return out;
}

YamlValue::Ptr Parser::make(YamlValue::Data data, uint32_t height, const char* tag) {
  auto value = std::make_shared<const YamlValue>(std::move(data), height);
  if (tag == nullptr || std::strcmp(tag, YAML_STR_TAG) == 0) return value;
  return std::make_shared<const YamlValue>(YamlValue::Tagged{tag, std::move(value)}, height + 1);
}

void Parser::define_anchor(const yaml_char_t* anchor, YamlValue::Ptr value) {
  if (anchor != nullptr) anchors_[c_str(anchor)] = Anchor{std::move(value), ++generation_};
}

std::expected<void, std::string> Parser::add(YamlValue::Ptr value, const yaml_mark_t& mark) {
  if (value->height() > YamlValue::kMaxHeight) {
    return std::unexpected(support::concat("nesting deeper than ", YamlValue::kMaxHeight, " levels", at(mark)));
  }
  if (frames_.empty()) {
    root_ = std::move(value);
    return {};
  }
  Frame& top = frames_.back();
  top.child_height = std::max(top.child_height, value->height());
  if (!top.mapping) {
    top.items.push_back(std::move(value));
  } else if (!top.key) {
    top.key = std::move(value);
  } else {
    top.entries.emplace_back(std::move(top.key), std::move(value));
  }
  return {};
}

std::expected<void, std::string> Parser::open(const yaml_event_t& e, bool mapping) {
  if (frames_.size() >= YamlValue::kMaxHeight) {
    return std::unexpected(support::concat("nesting deeper than ", YamlValue::kMaxHeight, " levels", at(e.start_mark)));
  }
  const yaml_char_t* anchor = mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
  const yaml_char_t* tag = mapping ? e.data.mapping_start.tag : e.data.sequence_start.tag;
  Frame frame;
  frame.mapping = mapping;
  if (tag != nullptr) frame.tag = c_str(tag);
  if (anchor != nullptr) {
    define_anchor(anchor, nullptr);
    frame.anchor = c_str(anchor);
    frame.anchor_generation = generation_;
  }
  frames_.push_back(std::move(frame));
  return {};
}

std::expected<void, std::string> Parser::close(const yaml_mark_t& mark) {
  Frame frame = std::move(frames_.back());
  frames_.pop_back();
  YamlValue::Data data =
      frame.mapping ? YamlValue::Data(std::move(frame.entries)) : YamlValue::Data(std::move(frame.items));
  YamlValue::Ptr value = make(std::move(data), frame.child_height + 1, frame.tag ? frame.tag->c_str() : nullptr);
  if (frame.anchor) {
    // A later definition of the same name, inside this node, stays in force.
    Anchor& anchor = anchors_[*frame.anchor];
    if (anchor.generation == frame.anchor_generation) anchor.value = value;
  }
  return add(std::move(value), mark);
}

std::expected<void, std::string> Parser::handle(const yaml_event_t& e) {
  switch (e.type) {
    case YAML_DOCUMENT_START_EVENT:
      if (++documents_ > 1) {
        return std::unexpected("expected a single document in the stream, but found another document" +
                               at(e.start_mark));
      }
      return {};
    case YAML_SCALAR_EVENT: {
      const auto& s = e.data.scalar;
      const std::string_view text(c_str(s.value), s.length);
      const bool plain =
          s.style == YAML_PLAIN_SCALAR_STYLE && (s.tag == nullptr || std::strcmp(c_str(s.tag), YAML_STR_TAG) != 0);
      YamlValue::Ptr value =
          make(plain ? resolve_plain_scalar(text) : YamlValue::Data(std::string(text)), 1, c_str(s.tag));
      define_anchor(s.anchor, value);
      return add(std::move(value), e.start_mark);
    }
    case YAML_ALIAS_EVENT: {
      const auto found = anchors_.find(c_str(e.data.alias.anchor));
      if (found == anchors_.end()) {
        return std::unexpected(
            support::concat("found undefined alias *", c_str(e.data.alias.anchor), at(e.start_mark)));
      }
      if (!found->second.value) {
        return std::unexpected(support::concat("alias *", c_str(e.data.alias.anchor),
                                               " refers to a node that contains it", at(e.start_mark)));
      }
      return add(found->second.value, e.start_mark);
    }
    case YAML_SEQUENCE_START_EVENT: return open(e, false);
    case YAML_MAPPING_START_EVENT: return open(e, true);
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT: return close(e.start_mark);
    default: return {};
  }
}

std::expected<YamlValue::Ptr, std::string> Parser::run() {
  for (;;) {
    Event event;
    if (!yaml_parser_parse(&parser_, &event.e)) return std::unexpected(library_error());
    const bool end = event.e.type == YAML_STREAM_END_EVENT;
    if (auto handled = handle(event.e); !handled) return std::unexpected(handled.error());
    if (end) break;
  }
  if (!root_) root_ = std::make_shared<const YamlValue>(YamlValue::Null{}, 1);
  return root_;
}

}  // namespace

const YamlValue& YamlValue::untagged() const noexcept {
  const YamlValue* v = this;
  while (const auto* tagged = std::get_if<Tagged>(&v->data_)) v = tagged->inner.get();
  return *v;
}

bool YamlValue::is_null() const noexcept { return std::holds_alternative<Null>(untagged().data_); }

const std::string* YamlValue::as_string() const noexcept { return std::get_if<std::string>(&untagged().data_); }

const YamlValue::Sequence* YamlValue::as_sequence() const noexcept { return std::get_if<Sequence>(&untagged().data_); }

const YamlValue::Mapping* YamlValue::as_mapping() const noexcept { return std::get_if<Mapping>(&untagged().data_); }

const YamlValue* YamlValue::find(std::string_view key) const noexcept {
  const Mapping* mapping = as_mapping();
  if (mapping == nullptr) return nullptr;
  for (const auto& [k, v] : std::views::reverse(*mapping)) {
    const auto* text = std::get_if<std::string>(&k->data_);
    if (text != nullptr && *text == key) return v.get();
  }
  return nullptr;
}

YamlValue::Data resolve_plain_scalar(std::string_view text) {
  if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL") return YamlValue::Null{};
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  if (auto n = number(text)) return *std::move(n);
  return std::string(text);
}

std::expected<YamlValue::Ptr, std::string> parse_yaml_document(std::string_view text) {
  Parser parser(text);
  return parser.run();
}

}  // namespace brackwater::infrastructure
