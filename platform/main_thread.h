// Checks for calls that must run on one thread or queue: such a call made elsewhere stops
// the process at the call (with a message on stderr), so that a test shows where it was made.
// The main-thread check holds once a main thread is marked. Both are live whenever
// MARVISTO_THREAD_CHECKS is defined: the CMake option of that name, on in the builds with
// the tests (the optimised ones too, despite NDEBUG) and off in the packaged kit, which must
// not end its host's process for a call it can serve where it was made.
#pragma once

#include "platform/dispatch.h"
#include "platform/run_loop.h"

namespace platform::detail {
[[noreturn]] void threadCheckFailed(const char* what, const char* file, int line);
}  // namespace platform::detail

#if defined(MARVISTO_THREAD_CHECKS)
#define PLATFORM_MAIN_THREAD_ONLY()                                                     \
  ((::platform::RunLoop::isMainThreadOrUnmarked())                                      \
       ? void(0)                                                                        \
       : ::platform::detail::threadCheckFailed("main thread only", __FILE__, __LINE__))
#define PLATFORM_ON_QUEUE(queue)                                                        \
  (((queue).isCurrent())                                                                \
       ? void(0)                                                                        \
       : ::platform::detail::threadCheckFailed("not on queue " #queue, __FILE__, __LINE__))
#else
#define PLATFORM_MAIN_THREAD_ONLY() void(0)
#define PLATFORM_ON_QUEUE(queue) void(0)
#endif
