// Levelled diagnostics with no sink: records are described at their call
// sites (target = the module path) but nothing is ever emitted. The message is
// built lazily, so a disabled record costs nothing.
#pragma once

#include <string_view>

namespace brackwater::support::log {

template <class MakeMessage>
inline void debug(std::string_view /*target*/, MakeMessage&& /*make*/) noexcept {}

template <class MakeMessage>
inline void warn(std::string_view /*target*/, MakeMessage&& /*make*/) noexcept {}

}  // namespace brackwater::support::log
