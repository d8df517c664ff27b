#include "support/simdjson_kernels.hpp"

#include <simdjson.h>

#include <new>
#include <string_view>
#include <type_traits>

namespace brackwater::support {
namespace {

// Asks only whether simdjson's implementation objects have a destructor that
// does anything (abstract, so never made). From simdjson 3.9 on they are
// trivially destructible, so the static ones it dispatches to are never
// destroyed and outlive every thread; before, each holds strings and a
// virtual destructor that runs at exit.
struct DestructionProbe : simdjson::implementation {
  using simdjson::implementation::implementation;
};
constexpr bool kDestroyedAtExit = !std::is_trivially_destructible_v<DestructionProbe>;

// A never destroyed copy of the implementation called `name`, for a simdjson
// that destroys its own; nullptr when none can be made. Copying needs the
// kernel's class: headers before simdjson 3.3 declare every kernel the library
// has, later ones only the one it is built for by default, which then stands
// in for the best (slower, perhaps, but alive).
template <bool kDestroyed>
const simdjson::implementation* lasting(const simdjson::implementation* best) noexcept {
  if constexpr (!kDestroyed) {
    return best;
  } else {
#ifdef SIMDJSON_BUILTIN_IMPLEMENTATION_IS
    return new (std::nothrow) simdjson::SIMDJSON_BUILTIN_IMPLEMENTATION::implementation();
#else
    const std::string_view name = best->name();
#if SIMDJSON_IMPLEMENTATION_ICELAKE
    if (name == "icelake") return new (std::nothrow) simdjson::icelake::implementation();
#endif
#if SIMDJSON_IMPLEMENTATION_HASWELL
    if (name == "haswell") return new (std::nothrow) simdjson::haswell::implementation();
#endif
#if SIMDJSON_IMPLEMENTATION_WESTMERE
    if (name == "westmere") return new (std::nothrow) simdjson::westmere::implementation();
#endif
#if SIMDJSON_IMPLEMENTATION_ARM64
    if (name == "arm64") return new (std::nothrow) simdjson::arm64::implementation();
#endif
#if SIMDJSON_IMPLEMENTATION_FALLBACK
    if (name == "fallback") return new (std::nothrow) simdjson::fallback::implementation();
#endif
    return nullptr;
#endif
  }
}

}  // namespace

void keep_simdjson_kernels_alive() noexcept {
  static const bool kept = [] {
    const simdjson::implementation* best = simdjson::get_available_implementations().detect_best_supported();
    const simdjson::implementation* chosen = best != nullptr ? lasting<kDestroyedAtExit>(best) : nullptr;
    if (chosen != nullptr) simdjson::get_active_implementation() = chosen;
    return chosen != nullptr;
  }();
  (void)kept;
}

}  // namespace brackwater::support
