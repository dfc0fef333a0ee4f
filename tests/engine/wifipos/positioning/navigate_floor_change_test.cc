// A floor change on a generated walk: how long the output stays on the floor
// left behind, with the engine's original rules and with the kit's.
#include <gtest/gtest.h>

#include "navigate_test_support.h"

namespace client_test {
namespace {

// Seconds of output on the wrong floor from the true floor change on.
double SecondsOnTheWrongFloor(const VenueArchive& archive, const venuesim::Walk& walk,
                              bool classic) {
  ClientNavigationState* client = CreateNavigationClient(
      archive.path.c_str(), "floors", "SimPhone1,1", false, classic ? "defaults=classic;" : "");
  EXPECT_NE(client, nullptr);
  if (client == nullptr) return INFINITY;
  TuneForWalks(client);
  const int startFloor = walk.ticks.front().truth.floorId;
  double changedAt = -1.0;
  int wrong = 0;
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    WScanMessage m = TickMessage(walk, i, true);
    std::string error;
    const int rc = Navigate(&m, client, &error);
    const venuesim::TruthSample& truth = walk.ticks[i].truth;
    if (changedAt < 0.0 && truth.floorId != startFloor) changedAt = truth.time;
    if (changedAt < 0.0) continue;
    if (rc != 0 || m.outSubLocation != truth.floorId) ++wrong;
  }
  DeleteNavigationClient(client);
  EXPECT_GE(changedAt, 0.0);
  return 0.1 * wrong;
}

TEST(NavigateFloorChange, TheKitReachesTheNewFloorSooner) {
  const struct {
    const char* name;
    int method;
    int change;
    uint64_t seed;
    double limit;  // seconds
  } cases[] = {
      {"nearest neighbours, stairs", 107, venuesim::kByStairs, 11, 3.0},
      {"nearest neighbours, lift", 107, venuesim::kByLift, 12, 3.0},
      // The histogram method keeps its long window while standing, so only
      // the shorter count of agreeing windows speeds it up.
      {"histograms, stairs", 109, venuesim::kByStairs, 13, 5.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    venuesim::VenueSpec venueSetup = DefaultSpec(c.method);
    venueSetup.seed = c.seed;
    VenueArchive archive(venueSetup, std::string("floors-") + std::to_string(c.seed));
    ASSERT_TRUE(archive.error.empty()) << archive.error;
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = c.seed + 100;
    ws.startFloor = 0;
    ws.endFloor = 1;
    ws.floorChange = c.change;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
    const double classic = SecondsOnTheWrongFloor(archive, walk, true);
    const double kit = SecondsOnTheWrongFloor(archive, walk, false);
    std::printf("[ floors   ] %-28s wrong floor after the change: classic %.1f s, kit %.1f s\n",
                c.name, classic, kit);
    EXPECT_LE(kit, c.limit);
    EXPECT_LT(kit, classic);
  }
}

// The first window holds only a few readings; where they point at the wrong
// floor, the output must not stand there until four more windows overturn
// it. Every walk starts standing; the first position must come on the true
// floor, and not much later than the first windows.
TEST(NavigateFloorChange, TheFirstPositionStandsOnTheRightFloor) {
  const struct {
    int method;
    uint64_t seed;
    int floor;
  } cases[] = {// the first window points at the floor above
               {107, 65, 1},
               // a first window without a clear majority, right or not
               {107, 56, 0}, {107, 34, 0}, {107, 22, 1}, {109, 30, 0},
               // Gaussian processes ask every tick, not once per window
               {108, 28, 1}};
  int late = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << ", seed " << c.seed);
    venuesim::VenueSpec venueSetup = DefaultSpec(c.method);
    venueSetup.seed = c.seed;
    VenueArchive archive(venueSetup, std::string("first-floor-") + std::to_string(c.seed));
    ASSERT_TRUE(archive.error.empty()) << archive.error;
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = c.seed + 300;
    ws.startFloor = ws.endFloor = c.floor;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
    ClientNavigationState* client = CreateNavigationClient(archive.path.c_str(), "first", "SimPhone1,1", false, "");
    ASSERT_NE(client, nullptr);
    TuneForWalks(client);
    for (size_t i = 0; i < walk.ticks.size(); ++i) {
      WScanMessage m = TickMessage(walk, i, true);
      if (Navigate(&m, client, &error) != 0) continue;
      EXPECT_EQ(m.outSubLocation, walk.ticks[i].truth.floorId);
      if (walk.ticks[i].truth.time - walk.ticks.front().truth.time > 3.0) ++late;
      break;
    }
    DeleteNavigationClient(client);
  }
  EXPECT_EQ(late, 0);
}

}  // namespace
}  // namespace client_test
