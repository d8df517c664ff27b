// The one shape of every error that has several kinds: a value of exactly
// one kind struct, each holding the fields that kind needs. An error class
// lists its kinds in a base struct, derives from `ErrorKinds` over them and
// adds its display text:
//
//   struct FooErrorKinds { struct Missing {}; struct Io { std::string text; }; };
//   class FooError : public FooErrorKinds, public support::ErrorKinds<FooErrorKinds::Missing, FooErrorKinds::Io> {
//    public:
//     using ErrorKinds::ErrorKinds;
//     std::string display() const;
//   };
//
// Callers tell kinds apart by type (`is<K>()`, `get<K>()`, `std::visit` on
// `value()`), never by comparing texts.
#pragma once

#include <concepts>
#include <utility>
#include <variant>

namespace brackwater::support {

template <class... Kinds>
class ErrorKinds {
 public:
  using Variant = std::variant<Kinds...>;

  template <class Kind>
    requires std::constructible_from<Variant, Kind&&>
  ErrorKinds(Kind&& kind) : value_(std::forward<Kind>(kind)) {}  // NOLINT: implicit by design

  const Variant& value() const noexcept { return value_; }
  template <class Kind>
  bool is() const noexcept {
    return std::holds_alternative<Kind>(value_);
  }
  // The kind's fields, or nullptr when the error is of another kind.
  template <class Kind>
  const Kind* get() const noexcept {
    return std::get_if<Kind>(&value_);
  }

 private:
  Variant value_;
};

}  // namespace brackwater::support
