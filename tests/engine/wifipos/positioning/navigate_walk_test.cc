// End-to-end positioning through the navigation client: a generated two-floor
// venue loaded from its archive, simulated walks replayed message by message
// through Navigate and scored against the walk's truth; routes to a target
// and the zones of the output point come with every position.
#include <gtest/gtest.h>

#include "navigate_test_support.h"

namespace client_test {
namespace {

struct Case {
  const char* name;
  int method;
  bool sensors;   // motion samples in the messages: steps move the particles
  double median;  // limits measured on this walk, with a margin
  double p95;
};

class NavigateWalkTest : public ::testing::TestWithParam<Case> {};

TEST_P(NavigateWalkTest, RightFloorSmallErrorRoutesAndZones) {
  const Case c = GetParam();
  ClientNavigationState* client = WalkClient(c.method);
  ASSERT_NE(client, nullptr);

  const VenueArchive& archive = SharedVenue(c.method);
  venuesim::PropagationModel model(archive.venue);
  venuesim::WalkSpec ws;
  ws.seed = 77;
  ws.startFloor = 0;
  ws.endFloor = 1;
  venuesim::Walk walk;
  std::string error;
  ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;

  const positioning_test::WalkScore score = ReplayWalk(client, walk, c.sensors, 8.0);
  score.print(c.name);
  EXPECT_GE(score.floorShare(), 0.98);
  EXPECT_LE(score.percentile(0.5), c.median);
  EXPECT_LE(score.percentile(0.95), c.p95);

  // A target on the other floor: every later position comes with one route
  // that starts on the output floor and ends at the target.
  const LocationPoint target(2, walk.waypoints[1].back().x, walk.waypoints[1].back().y);
  AddTarget(target, client);
  int routed = 0, zoned = 0;
  for (size_t i = 0; i < 100; ++i) {
    WScanMessage m = TickMessage(walk, walk.ticks.size() / 3 + i, c.sensors);
    if (Navigate(&m, client, &error) != 0) continue;
    ASSERT_EQ(m.outPaths.size(), 1u);
    if (m.outPaths[0].points.empty()) continue;
    ++routed;
    EXPECT_EQ(m.outPaths[0].points.front().subLoc, m.outSubLocation);
    EXPECT_EQ(m.outPaths[0].points.back().subLoc, 2);
    // A zone is left only once the output is a metre outside it.
    for (const Zone& z : m.outZones) {
      EXPECT_TRUE(z.containsPoint(m.outX, m.outY) || z.distanceToEdge(m.outX, m.outY) <= 1.0);
    }
    zoned += !m.outZones.empty();
  }
  EXPECT_GE(routed, 90);
  EXPECT_GE(zoned, 70);  // a position in a wall or doorway lies in no zone
  DeleteNavigationClient(client);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, NavigateWalkTest,
    ::testing::Values(Case{"knn", 107, false, 1.6, 2.8}, Case{"knn_steps", 107, true, 1.6, 2.8},
                      Case{"histogram", 109, false, 1.6, 2.8},
                      Case{"histogram_steps", 109, true, 1.6, 2.8},
                      Case{"gp_full", 108, false, 1.8, 3.3},
                      Case{"gp_full_steps", 108, true, 1.9, 3.4}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace client_test
