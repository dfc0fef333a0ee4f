// A generated venue and a walk through it, written once per test program to a
// scratch directory, for the tests of the SDK's engine wrappers.
#pragma once

#include <string>

#include "tools/venuesim/venue_test_util.h"
#include "venuesim/venue.h"
#include "venuesim/walk.h"

namespace sdk_test {

struct Scene {
  venuesim_test::TempDir dir;
  venuesim::Venue venue;
  venuesim::Walk walk;
  std::string map, log;
};

// Two floors, one beacon status per floor as given.
const Scene& SharedScene();

// Writes the venue with its first beacon's status on `floor` replaced; the path.
std::string ArchiveWithStatus(const Scene& scene, int floor, const std::string& status,
                              const std::string& name);

}  // namespace sdk_test
