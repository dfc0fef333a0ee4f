// marvisto-venue-gen: writes a synthetic venue's map archive.
//   marvisto-venue-gen --out map.mvz --seed 7 --floors 3 --method 108
// Prints a short summary; exits 0 on success, 1 when writing fails, 2 on a bad
// command line or setup. The output path is required: a bare command prints
// the usage rather than leaving an archive in the working directory.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "cli/outputs.h"
#include "venuesim/command_line.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

int main(int argc, char** argv) {
  venuesim::CommandLine cl;
  cli::Parser parser = venuesim::VenueGenParser(&cl);
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  const venuesim::VenueSpec& setup = cl.setup;
  // A large venue takes a while to survey: a path that cannot be written is found first.
  if (const std::string why = cli::FileWritable(cl.out); !why.empty()) {
    std::fprintf(stderr, "marvisto-venue-gen: cannot write %s: %s\n", cl.out.c_str(), why.c_str());
    return 1;
  }
  std::string error;
  venuesim::Venue venue;
  if (venuesim::GenerateVenue(setup, &venue, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-venue-gen: %s\n", error.c_str());
    return 2;
  }
  if (venuesim::WriteVenueArchive(venue, cl.out, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-venue-gen: %s\n", error.c_str());
    return 1;
  }
  struct stat st {};
  const long long size = stat(cl.out.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  std::printf("wrote %s (%lld bytes): location %d \"%s\", seed %llu, method %s\n", cl.out.c_str(), size,
              setup.locationId, setup.locationName.c_str(), static_cast<unsigned long long>(setup.seed),
              venuesim::MethodWord(setup.method).c_str());
  for (const venuesim::VenueFloor& f : venue.floors) {
    size_t readings = 0;
    for (const auto& p : f.points) readings += p.entries.size();
    std::printf("  floor %d: %g x %g m, %zu rooms, %zu walls, %zu beacons, %zu reference points, %zu readings\n",
                f.id, setup.width, setup.height, f.rooms.size(), f.walls.size(), f.beacons.size(), f.points.size(),
                readings);
  }
  return 0;
}
