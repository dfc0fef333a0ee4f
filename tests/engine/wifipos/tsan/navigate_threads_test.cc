// One client driven from two threads at once, as the SDK does: its navigation
// tick calls Navigate while the user's thread adds and cancels targets, makes
// routes and switches the graph tag. Built with ThreadSanitizer this must
// report no race; in the other builds it checks the results stay consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "engine/wifipos/positioning/navigate_test_support.h"

namespace client_test {
namespace {

TEST(NavigateThreads, NavigateWhileTargetsRoutesAndTagsChange) {
  const VenueArchive& archive = SharedVenue(107);
  ClientNavigationState* client =
      CreateNavigationClient(archive.path.c_str(), "threads", "SimPhone", false, nullptr);
  ASSERT_NE(client, nullptr);
  const std::string tag = GetGraphTags(client).at(0);

  venuesim::PropagationModel model(archive.venue);
  venuesim::WalkSpec ws;
  ws.seed = 3;
  ws.standSeconds = 2.0;
  venuesim::Walk walk;
  std::string error;
  ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;

  std::atomic<bool> done{false};
  std::atomic<int> positions{0}, badPaths{0};
  std::thread tick([&] {
    for (size_t i = 0; i < std::min<size_t>(walk.ticks.size(), 300); ++i) {
      WScanMessage m = TickMessage(walk, i, true);
      std::string err;
      if (Navigate(&m, client, &err) != 0) continue;
      ++positions;
      for (const RoutePath& p : m.outPaths) badPaths += !std::isfinite(p.length);
    }
    done = true;
  });

  const LocationPoint a(1, 5.0, 14.0), b(2, 40.0, 14.0);
  for (int round = 0; !done || round < 50; ++round) {
    AddTarget(b, client);
    AddTarget(a, client);
    SetGraphTag(client, round % 3 == 0 ? "no such graph" : tag);
    const RoutePath r = MakeRoute(a, b, client);
    EXPECT_TRUE(std::isfinite(r.length));
    SetGraphParam("smooth_radius", "0.5", client);
    EXPECT_LE(CountTargets(client), 2);
    CancelTargets(client);
    GetGraphTags(client);
  }
  tick.join();
  EXPECT_GT(positions.load(), 100);
  EXPECT_EQ(badPaths.load(), 0);
  DeleteNavigationClient(client);
}

}  // namespace
}  // namespace client_test
