#include "sdk/sdk_scene.h"

#include <gtest/gtest.h>

#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace sdk_test {

const Scene& SharedScene() {
  static Scene* s = [] {
    auto* x = new Scene;
    std::string error;
    if (venuesim::GenerateVenue(venuesim_test::SmallSpec(31), &x->venue, &error) != 0) {
      ADD_FAILURE() << error;
    }
    x->map = x->dir.file("venue.mvz");
    if (venuesim::WriteVenueArchive(x->venue, x->map, &error) != 0) ADD_FAILURE() << error;
    const venuesim::PropagationModel model(x->venue);
    venuesim::WalkSpec ws;
    ws.seed = 5;
    ws.standSeconds = 3.0;
    if (venuesim::GenerateWalk(x->venue, model, ws, &x->walk, &error) != 0) ADD_FAILURE() << error;
    x->log = x->dir.file("walk.log");
    if (venuesim::WriteWalkFiles(x->walk, x->log, x->dir.file("walk.csv"), &error) != 0) {
      ADD_FAILURE() << error;
    }
    return x;
  }();
  return *s;
}

std::string ArchiveWithStatus(const Scene& scene, int floor, const std::string& status,
                              const std::string& name) {
  venuesim::Venue v = scene.venue;
  v.floors.at(floor).beacons.at(0).status = status;
  const std::string path = scene.dir.file(name);
  std::string error;
  if (venuesim::WriteVenueArchive(v, path, &error) != 0) ADD_FAILURE() << error;
  return path;
}

}  // namespace sdk_test
