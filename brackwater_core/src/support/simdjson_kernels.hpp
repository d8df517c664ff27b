// simdjson before 3.9 keeps the implementation it dispatches to (its
// kernels for this CPU) in a function-local static object, which the process
// destroys at exit, while a daemon thread of the embedding program may still
// be writing or parsing JSON in the core: that thread would then call a pure
// virtual function and abort the process.
#pragma once

namespace brackwater::support {

// Points simdjson at its best implementation for this CPU, one that is never
// destroyed (simdjson's own from 3.9 on, else a copy made here). Call once at
// start-up, before threads use simdjson; further calls do nothing.
void keep_simdjson_kernels_alive() noexcept;

}  // namespace brackwater::support
