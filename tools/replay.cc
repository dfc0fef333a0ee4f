// marvisto-replay: positions a recorded or simulated measurement log over a map
// archive and reports its accuracy against the ground truth.
#include <cstdio>
#include <string>

#include "replay/command_args.h"
#include "replay/replay_run.h"

int main(int argc, char** argv) {
  replay::ReplayOptions options;
  cli::Parser parser = replay::ReplayParser(&options);
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  // An output that cannot be written is found before the replay, not after it.
  if (const std::string bad = replay::CheckOutputFolders(options); !bad.empty()) {
    std::fprintf(stderr, "marvisto-replay: %s\n", bad.c_str());
    return 2;
  }
  replay::ReplayReport report;
  std::string error;
  const int rc = replay::RunReplay(options, &report, &error);
  // A failure after the replay (a picture that cannot be written) keeps the table.
  if (rc == 0 || !report.ticks.empty()) std::printf("%s", replay::FormatReplayReport(report).c_str());
  if (rc != 0) {
    std::fprintf(stderr, "marvisto-replay: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& p : report.pictures) {
    std::printf("picture: %s (green true path, red estimate, blue route)\n", p.c_str());
  }
  return 0;
}
