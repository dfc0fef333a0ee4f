// The command line of the replay command:
//   replay --map map.mvz --log walk.log [--truth walk.truth.csv]
//          [--target floor,x,y ...] [--png-dir DIR] [--ticks-csv FILE] [--quiet]
// --ticks-csv writes one line per positioned message (output, truth, error).
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "replay/replay_run.h"

namespace replay {

// The replay parser, its options bound to `*into`.
cli::Parser ReplayParser(ReplayOptions* into);

// 0 and the options; 1 for --help or --version; 2 with a message naming what
// is wrong. `*options` changes only on 0.
int ParseReplayArgs(const std::vector<std::string>& args, ReplayOptions* options, std::string* error);

// Where the replay will write, checked before any work: the folder of the
// pictures must exist and take new files, the tick table must be writable.
// Empty when both are, else what is wrong with which option.
std::string CheckOutputFolders(const ReplayOptions& options);

}  // namespace replay
