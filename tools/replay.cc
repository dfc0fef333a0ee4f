// replay: positions a recorded or simulated measurement log over a map
// archive and reports its accuracy against the ground truth.
#include <cstdio>
#include <string>
#include <vector>

#include "replay/command_args.h"
#include "replay/replay_run.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  replay::ReplayOptions options;
  std::string error;
  if (replay::ParseReplayArgs(args, &options, &error) != 0) {
    std::fprintf(stderr, "replay: %s\n%s", error.c_str(), replay::ReplayUsage().c_str());
    return 2;
  }
  replay::ReplayReport report;
  if (replay::RunReplay(options, &report, &error) != 0) {
    std::fprintf(stderr, "replay: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s", replay::FormatReplayReport(report).c_str());
  for (const std::string& p : report.pictures) {
    std::printf("picture: %s (green true path, red estimate, blue route)\n", p.c_str());
  }
  return 0;
}
