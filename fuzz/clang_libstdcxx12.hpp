// Included first in every file a clang build compiles (CMakeLists.txt).
//
// libstdc++ 12's std::stable_sort takes its scratch buffer through
// std::get_temporary_buffer, which that same library marks deprecated (since
// C++17) without silencing its own call; clang 19 then reports the call in
// the library's header once per sort our code instantiates. Reading that one
// header under a silenced warning keeps the report out and leaves the warning
// on for everything else (the g++ builds compile the same sources with it on).
#pragma once

#include <version>

#if defined(__clang__) && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE <= 12
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
#include <bits/stl_tempbuf.h>
#pragma clang diagnostic pop
#endif
