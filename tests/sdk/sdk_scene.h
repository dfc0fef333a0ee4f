// A generated two-floor venue and a walk through it, written once per test
// program to a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tools/venuesim/venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"

namespace sdk_test {

struct Scene {
  venuesim_test::TempDir dir;
  venuesim::Venue venue;
  venuesim::Walk walk;
  std::string map, log;
};

inline const Scene& SharedScene() {
  // Held, not leaked: its destructor removes the scratch directory at exit.
  static const std::unique_ptr<Scene> s([] {
    auto* x = new Scene;
    std::string error;
    venuesim::WalkSpec ws;
    ws.seed = 5, ws.standSeconds = 3.0;
    x->map = x->dir.file("venue.mvz"), x->log = x->dir.file("walk.log");
    EXPECT_EQ(venuesim::GenerateVenue(venuesim_test::SmallSpec(31), &x->venue, &error), 0) << error;
    EXPECT_EQ(venuesim::WriteVenueArchive(x->venue, x->map, &error), 0) << error;
    EXPECT_EQ(venuesim::GenerateWalk(x->venue, venuesim::PropagationModel(x->venue), ws, &x->walk, &error), 0);
    EXPECT_EQ(venuesim::WriteWalkFiles(x->walk, x->log, x->dir.file("walk.csv"), &error), 0) << error;
    return x;
  }());
  return *s;
}

}  // namespace sdk_test
