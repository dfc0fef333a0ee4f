// The options of the venue-gen command, parsed into a setup and an output path.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "venuesim/venue_spec.h"

namespace venuesim {

enum CommandLineResult { kArgsOk = 0, kArgsHelp = 1, kArgsBad = 2 };

struct CommandLine {
  VenueSpec setup;
  std::string out = "map.mvz";
};

// Parses the arguments after the program name. Every option takes one value;
// numbers must be complete and finite. kArgsBad comes with a message.
int ParseCommandLine(const std::vector<std::string>& args, CommandLine* result, std::string* error);

void PrintUsage(FILE* out);

}  // namespace venuesim
