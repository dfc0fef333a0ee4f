// Dead reckoning through the client: once enabled at a known point only the
// detected steps move the particles, so the output follows the walker for
// the length of a walk, whether or not positioning ran before.
#include <gtest/gtest.h>

#include <cmath>

#include "navigate_test_support.h"

namespace client_test {
namespace {

struct Case {
  const char* name;
  int method;
  double warmUpSeconds;  // positioning before dead reckoning starts; 0: a fresh client
  bool classic = false;  // the map's parameters ask for classic defaults
};

class DeadReckoningTest : public ::testing::TestWithParam<Case> {};

TEST_P(DeadReckoningTest, FollowsTheWalkerFromTheStartPoint) {
  const Case c = GetParam();
  const VenueArchive& archive = SharedVenue(c.method);
  ASSERT_TRUE(archive.error.empty()) << archive.error;
  ClientNavigationState* client =
      CreateNavigationClient(archive.path.c_str(), "pdr", "SimPhone1,1", false,
                             c.classic ? "defaults=classic;" : nullptr);
  ASSERT_NE(client, nullptr);
  TuneForWalks(client);

  venuesim::PropagationModel model(archive.venue);
  venuesim::WalkSpec ws;
  ws.seed = 5;
  ws.standSeconds = 10.0;
  ws.startFloor = ws.endFloor = 0;
  venuesim::Walk walk;
  std::string error;
  ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;

  const double t0 = walk.ticks.front().truth.time;
  size_t i = 0;
  for (; i < walk.ticks.size() && walk.ticks[i].truth.time - t0 < c.warmUpSeconds; ++i) {
    WScanMessage m = TickMessage(walk, i, true);
    Navigate(&m, client, &error);
  }
  const venuesim::TruthSample& start = walk.ticks[i].truth;
  NavigateEnablePdr(client, start.floorId, start.x, start.y);

  // Errors after 15 m and 50 m of walking and at the end of the walk.
  double walked = 0.0, at15 = -1.0, at50 = -1.0, last = -1.0;
  for (; i < walk.ticks.size(); ++i) {
    if (i > 0) {
      const venuesim::TruthSample& a = walk.ticks[i - 1].truth;
      const venuesim::TruthSample& b = walk.ticks[i].truth;
      walked += std::hypot(b.x - a.x, b.y - a.y);
    }
    WScanMessage m = TickMessage(walk, i, true);
    ASSERT_EQ(Navigate(&m, client, &error), 0) << error;
    ASSERT_EQ(m.outSubLocation, start.floorId);
    const venuesim::TruthSample& t = walk.ticks[i].truth;
    last = std::hypot(m.outX - t.x, m.outY - t.y);
    if (at15 < 0.0 && walked >= 15.0) at15 = last;
    if (at50 < 0.0 && walked >= 50.0) at50 = last;
  }
  std::printf("[ pdr      ] %-14s walked %.1f m, off %.2f m after 15 m, %.2f m after 50 m, "
              "%.2f m at the end\n", c.name, walked, at15, at50, last);
  ASSERT_GE(walked, 50.0);
  if (c.classic) {
    // The original pedometer's steps are about 17% long at this pace, and its
    // fused heading comes out of a corner turn some 30 degrees short; together
    // they bound how far the estimate may drift from the walker.
    EXPECT_LT(at15, 4.0);
    EXPECT_LT(at50, 15.0);
    EXPECT_LT(last, 0.2 * walked);
  } else {
    EXPECT_LT(at15, 2.0);
    EXPECT_LT(at50, 3.0);
    EXPECT_LT(last, 3.0);
  }
  DeleteNavigationClient(client);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, DeadReckoningTest,
    ::testing::Values(Case{"knn_after_8s", 107, 8.0}, Case{"knn_fresh", 107, 0.0},
                      Case{"classic_after_8s", 107, 8.0, true},
                      Case{"classic_fresh", 107, 0.0, true}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace client_test
