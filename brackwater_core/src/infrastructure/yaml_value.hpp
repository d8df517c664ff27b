// One YAML document as a generic tree, read through libyaml's event API so
// that each scalar's tag and quoting style are seen.
//
// A plain scalar is resolved by the YAML 1.2 core schema (null, booleans,
// integers, floats, else string); a quoted or block scalar, or one tagged
// !!str, is a string; any other tag wraps its value. An alias shares the
// anchored value instead of copying it, so a document of nested aliases
// costs time and memory linear in its length. The height of the tree
// (aliases followed, tags counted) is bounded, which also bounds the
// recursion of its destructor.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace brackwater::infrastructure {

class YamlValue {
 public:
  using Ptr = std::shared_ptr<const YamlValue>;
  struct Null {};
  struct Tagged {
    std::string tag;  // as libyaml reports it, handles resolved ("tag:yaml.org,2002:...", "!local")
    Ptr inner;
  };
  using Sequence = std::vector<Ptr>;
  using Mapping = std::vector<std::pair<Ptr, Ptr>>;
  using Data = std::variant<Null, bool, int64_t, double, std::string, Sequence, Mapping, Tagged>;

  // Longest chain of nested values a document may hold.
  static constexpr uint32_t kMaxHeight = 256;

  YamlValue(Data data, uint32_t height) : data_(std::move(data)), height_(height) {}

  const Data& data() const noexcept { return data_; }
  // 1 for a scalar; 1 + the highest child for a collection or tag.
  uint32_t height() const noexcept { return height_; }

  // This value with every tag looked through.
  const YamlValue& untagged() const noexcept;

  // Each with tags looked through; nullptr when the value is of another kind.
  bool is_null() const noexcept;
  const std::string* as_string() const noexcept;
  const Sequence* as_sequence() const noexcept;
  const Mapping* as_mapping() const noexcept;

  // In a mapping (tags looked through), the value whose key is the string
  // `key`; the last such entry wins. nullptr when there is none.
  const YamlValue* find(std::string_view key) const noexcept;

 private:
  Data data_;
  uint32_t height_;
};

// A plain scalar's value under the YAML 1.2 core schema.
YamlValue::Data resolve_plain_scalar(std::string_view text);

// Parses `text` (UTF-8) as a stream of at most one document. An empty
// stream gives a null value. On failure: a description of the problem
// ending in " at line L column C".
std::expected<YamlValue::Ptr, std::string> parse_yaml_document(std::string_view text);

}  // namespace brackwater::infrastructure
