// A debug-build check for calls that must run on the main thread: such a call
// made on another thread, once a main thread is marked, stops the process at
// the call instead of racing the main thread's work. Compiled away with NDEBUG.
#pragma once

#include <cassert>

#include "platform/run_loop.h"

#define PLATFORM_MAIN_THREAD_ONLY() \
  assert(::platform::RunLoop::isMainThreadOrUnmarked() && "main thread only")
