#include "support/simdjson_kernels.hpp"

#include <simdjson.h>

#include <new>
#include <string_view>

namespace brackwater::support {
namespace {

// A fresh instance of the implementation called `name`, for each one this
// build of simdjson has; nullptr for any other.
const simdjson::implementation* never_destroyed(std::string_view name) noexcept {
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
}

}  // namespace

void keep_simdjson_kernels_alive() noexcept {
  static const bool kept = [] {
    const simdjson::implementation* best = simdjson::get_available_implementations().detect_best_supported();
    const simdjson::implementation* copy = best != nullptr ? never_destroyed(best->name()) : nullptr;
    if (copy != nullptr) simdjson::get_active_implementation() = copy;
    return copy != nullptr;
  }();
  (void)kept;
}

}  // namespace brackwater::support
