// The binding store's document, as read from `bindings.json` and written
// back.
//
// Reading goes through simdjson, several times faster than building a
// nlohmann value tree. A document simdjson refuses goes to the value-tree
// reader (json_text.hpp), which gives the exact error position, and which
// also accepts a few documents simdjson does not (integers beyond 64 bits,
// a byte-order mark): those are then read back through its own compact
// rendering, so every document reads as the value-tree reader reads it.
// Both refuse nesting beyond the same depth.
//
// Parsing allocates buffers several times the size of the document, and
// first touching their pages costs more than parsing a store of a few
// hundred entries; so the parser and the buffer the bytes were read into
// are kept for the next read (a few of each, for documents up to 1 MiB).
// They hold no state of the store: every read parses the file anew.
//
// Writing copies the entries that a change leaves alone straight from the
// parsed document into the written form (keys in byte order, the later of
// two equal keys winning, two-space indent), without making bindings or a
// value tree of them; only an appended binding goes through `to_dict`.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "domain/binding.hpp"

namespace brackwater::infrastructure {

// Why the store's bytes are not a store document.
struct StoreDocumentError {
  enum class Kind : std::uint8_t { kNotUtf8, kCorrupt };
  Kind kind;
  std::string detail;  // kNotUtf8: where; kCorrupt: the parser's description
};

class StoreDocument {
 public:
  // Blank text (Unicode White_Space) is the empty document; "bindings"
  // missing or not an array reads as an empty array. `owned` is parsed in
  // place when its capacity leaves `kPadding` bytes after its end, and is
  // kept for a later `reusable_buffer`.
  [[nodiscard]] static std::expected<StoreDocument, StoreDocumentError> parse(std::string owned);
  // An empty buffer to read the next document into, with the capacity of
  // one read before when there is one.
  static std::string reusable_buffer();
  // {"bindings": [], "schema_version": 2}
  static StoreDocument empty();

  StoreDocument(StoreDocument&&) noexcept;
  StoreDocument& operator=(StoreDocument&&) noexcept;
  ~StoreDocument();

  // Number of entries in "bindings".
  std::size_t size() const noexcept;
  // True when entry `i` is an object whose "session_id" is this string.
  bool has_session_id(std::size_t i, std::string_view session_id) const;
  // The members of entry `i` that the dictionary form of a binding reads.
  domain::BindingFields fields(std::size_t i) const;

  // The written form: this document with "bindings" holding the entries
  // for which `keep` is true, in order, then `appended` when given, and
  // "schema_version" 2; every other member as it was read.
  std::string render(const std::function<bool(std::size_t)>& keep, const nlohmann::json* appended) const;

  // Spare capacity after the bytes that lets `parse` work without a copy.
  static constexpr std::size_t kPadding = 64;

 private:
  struct Impl;
  explicit StoreDocument(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace brackwater::infrastructure
