// The command line of the replay command:
//   replay --map map.mvz --log walk.log [--truth walk.truth.csv]
//          [--target floor,x,y ...] [--png-dir DIR] [--ticks-csv FILE] [--quiet]
// --ticks-csv writes one line per positioned message (output, truth, error).
#pragma once

#include <string>
#include <vector>

#include "replay/replay_run.h"

namespace replay {

// 0 and the options, or 2 with a message naming what is wrong. --quiet
// turns the progress lines off; "--help" gives 2 with the usage text.
int ParseReplayArgs(const std::vector<std::string>& args, ReplayOptions* options, std::string* error);

std::string ReplayUsage();

}  // namespace replay
