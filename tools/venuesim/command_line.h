// The options of the marvisto-venue-gen command, parsed into a setup and an output path.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "venuesim/venue_spec.h"

namespace venuesim {

enum CommandLineResult { kArgsOk = 0, kArgsHelp = 1, kArgsBad = 2 };

struct CommandLine {
  VenueSpec setup;
  std::string out;  // required: a bare command writes nothing
};

// The marvisto-venue-gen parser, its options bound to `*into`.
cli::Parser VenueGenParser(CommandLine* into);

// Parses the arguments after the program name: kArgsHelp for --help or
// --version, kArgsBad with a message. `*result` changes only on kArgsOk.
int ParseCommandLine(const std::vector<std::string>& args, CommandLine* result, std::string* error);

}  // namespace venuesim
