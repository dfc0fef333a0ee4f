// The SDK layer's one way into the engine's process-wide log: every text goes
// out as "MarvistoLog: %s" under the calling source file's name, so the
// per-file thresholds of the engine's logger apply to SDK files too.
#pragma once

#include <string>

#include "server/utils.h"

#define MC_LOG(level, text) \
  _Logger.print((level), __FILE__, __LINE__, "MarvistoLog: %s", std::string(text).c_str())
