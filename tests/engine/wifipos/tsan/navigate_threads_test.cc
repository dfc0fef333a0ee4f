// One client driven from two threads at once, as the SDK does: its navigation
// tick calls Navigate while the user's thread adds and cancels targets, makes
// routes and switches the graph tag. Built with ThreadSanitizer this must
// report no race; in the other builds it checks the results stay consistent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>

#include "server/wscan.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace {

TEST(NavigateThreads, NavigateWhileTargetsRoutesAndTagsChange) {
  venuesim::VenueSpec spec;
  spec.seed = 99;
  spec.width = 40.0;
  spec.height = 20.0;
  venuesim::Venue venue;
  std::string error;
  ASSERT_EQ(venuesim::GenerateVenue(spec, &venue, &error), 0) << error;
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("marvisto-tsan-" + std::to_string(::getpid())))
                              .string();
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/venue.zip";
  ASSERT_EQ(venuesim::WriteVenueArchive(venue, path, &error), 0) << error;

  ClientNavigationState* client =
      CreateNavigationClient(path.c_str(), "threads", "SimPhone", false, nullptr);
  ASSERT_NE(client, nullptr);
  const std::vector<std::string> tags = GetGraphTags(client);
  ASSERT_FALSE(tags.empty());

  venuesim::PropagationModel model(venue);
  venuesim::WalkSpec ws;
  ws.seed = 3;
  ws.standSeconds = 2.0;
  venuesim::Walk walk;
  ASSERT_EQ(venuesim::GenerateWalk(venue, model, ws, &walk, &error), 0) << error;
  const size_t ticks = std::min<size_t>(walk.ticks.size(), 300);

  std::atomic<bool> done{false};
  std::atomic<int> positions{0}, badPaths{0};
  std::thread tick([&] {
    for (size_t i = 0; i < ticks; ++i) {
      bool ok = false;
      WScanMessage m = WScanMessage::parse(venuesim::WalkMessageText(walk, i), &ok);
      if (!ok) continue;
      std::string err;
      if (Navigate(&m, client, &err) != 0) continue;
      ++positions;
      // Every route belongs to a target that existed during the step.
      for (const RoutePath& p : m.outPaths) {
        if (!std::isfinite(p.length)) ++badPaths;
      }
    }
    done = true;
  });

  const LocationPoint a(1, 5.0, 10.0), b(2, 30.0, 10.0);
  int rounds = 0;
  while (!done || rounds < 50) {
    AddTarget(b, client);
    AddTarget(a, client);
    SetGraphTag(client, rounds % 3 == 0 ? "no such graph" : tags[0]);
    const RoutePath r = MakeRoute(a, b, client);
    if (GetGraphTag(client) == tags[0]) EXPECT_GE(r.length, 0.0);
    SetGraphParam("smooth_radius", "0.5", client);
    EXPECT_LE(CountTargets(client), 2);
    CancelTargets(client);
    GetGraphTags(client);
    ++rounds;
  }
  tick.join();
  EXPECT_GT(positions.load(), 100);
  EXPECT_EQ(badPaths.load(), 0);
  DeleteNavigationClient(client);
  std::filesystem::remove_all(dir);
}

}  // namespace
