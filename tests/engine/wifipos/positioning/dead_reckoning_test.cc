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
    // With the radio off nothing teaches the walker's step gain: the steps
    // are the swing's, a few percent long for this walker, and the heading
    // holds.
    EXPECT_LT(at15, 2.0);
    EXPECT_LT(at50, 3.0 + 0.02 * 50.0);
    EXPECT_LT(last, 3.0 + 0.02 * walked);
  }
  DeleteNavigationClient(client);
}

struct VenueCase {
  int floors;
  int floor;        // where the walk goes
  double pitch;     // rad, phone's top edge raised
  double roll;      // rad
  double speed;     // m/s
  double cadence;   // steps per second against the typical adult
};

// Generated venues of one to four floors, a walk on one floor through rooms
// and corridor with its corners, the phone held at an attitude by a walker
// of a pace and cadence, dead reckoning only from the walk's start. The kit
// ends within 3 m (or 3 % of a longer walk); the classic defaults, printed
// alongside, end many metres off.
TEST(DeadReckoningVenues, EndsNearTheWalker) {
  const VenueCase cases[] = {{1, 0, 0.5, 0.0, 1.2, 1.0},  {2, 1, 0.9, 0.0, 1.4, 0.9},
                             {3, 2, 0.3, 0.35, 1.0, 1.12}, {4, 3, 0.7, -0.3, 1.3, 1.05},
                             {4, 0, 0.6, 0.2, 1.1, 0.95}};
  uint64_t seed = 31;
  for (const VenueCase& vc : cases) {
    venuesim::VenueSpec venueSetup = DefaultSpec(107);
    venueSetup.seed = seed;
    venueSetup.floors = vc.floors;
    VenueArchive archive(venueSetup, "pdr-" + std::to_string(seed));
    ASSERT_TRUE(archive.error.empty()) << archive.error;
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = seed;
    ws.startFloor = ws.endFloor = vc.floor;
    ws.phonePitch = vc.pitch;
    ws.phoneRoll = vc.roll;
    ws.speed = vc.speed;
    ws.cadenceScale = vc.cadence;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
    double end[2] = {0.0, 0.0}, walked = 0.0;
    for (bool classic : {false, true}) {
      ClientNavigationState* client = CreateNavigationClient(
          archive.path.c_str(), "pdr", "SimPhone1,1", false, classic ? "defaults=classic;" : nullptr);
      ASSERT_NE(client, nullptr);
      TuneForWalks(client);
      const venuesim::TruthSample& start = walk.ticks.front().truth;
      NavigateEnablePdr(client, start.floorId, start.x, start.y);
      walked = 0.0;
      for (size_t i = 0; i < walk.ticks.size(); ++i) {
        if (i > 0)
          walked += std::hypot(walk.ticks[i].truth.x - walk.ticks[i - 1].truth.x,
                               walk.ticks[i].truth.y - walk.ticks[i - 1].truth.y);
        WScanMessage m = TickMessage(walk, i, true);
        ASSERT_EQ(Navigate(&m, client, &error), 0) << error;
        end[classic] = std::hypot(m.outX - walk.ticks[i].truth.x, m.outY - walk.ticks[i].truth.y);
      }
      DeleteNavigationClient(client);
    }
    std::printf("[ pdr      ] %d floors, on floor %d, walked %.1f m: kit %.2f m off at the end, "
                "classic %.2f m\n", vc.floors, vc.floor, walked, end[0], end[1]);
    EXPECT_GE(walked, 30.0);
    EXPECT_LE(end[0], std::max(3.0, 0.03 * walked)) << "seed " << seed;
    ++seed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, DeadReckoningTest,
    ::testing::Values(Case{"knn_after_8s", 107, 8.0}, Case{"knn_fresh", 107, 0.0},
                      Case{"classic_after_8s", 107, 8.0, true},
                      Case{"classic_fresh", 107, 0.0, true}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace client_test
