// A phone held still for a minute: the output must stay put, and never jump
// into a zone whose boundary is 2 m or more from where the phone is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "navigate_test_support.h"

namespace client_test {
namespace {

// Distance from a point to an axis-aligned room (0 inside).
double DistanceToRoom(const venuesim::Room& r, double x, double y) {
  const double dx = std::max({r.x0 - x, 0.0, x - r.x1});
  const double dy = std::max({r.y0 - y, 0.0, y - r.y1});
  return std::hypot(dx, dy);
}

class NavigateStandingTest : public ::testing::TestWithParam<int> {};

TEST_P(NavigateStandingTest, StaysWithinAMetreAndOutOfFarZones) {
  const VenueArchive& archive = SharedVenue(GetParam());
  ClientNavigationState* client =
      CreateNavigationClient(archive.path.c_str(), "still", "SimPhone1,1", false, nullptr);
  ASSERT_NE(client, nullptr);
  TuneForWalks(client, true);  // smoothing stays on, as the archive has it

  venuesim::PropagationModel model(archive.venue);
  venuesim::WalkSpec ws;
  ws.seed = 5;
  ws.standSeconds = 75.0;
  ws.startFloor = ws.endFloor = 0;
  venuesim::Walk walk;
  std::string error;
  ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
  const venuesim::VenueFloor& floor = archive.venue.floors[0];

  std::vector<double> xs, ys;
  double truthX = 0.0, truthY = 0.0;
  const double t0 = walk.ticks.front().truth.time;
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    const venuesim::TruthSample& truth = walk.ticks[i].truth;
    if (truth.time - t0 >= 75.0) break;
    WScanMessage m = TickMessage(walk, i, true);
    const int rc = Navigate(&m, client, &error);
    if (truth.time - t0 < 15.0) continue;  // settling
    ASSERT_EQ(rc, 0) << error;
    ASSERT_EQ(m.outSubLocation, truth.floorId);
    xs.push_back(m.outX);
    ys.push_back(m.outY);
    truthX = truth.x;
    truthY = truth.y;
    for (const venuesim::Room& r : floor.rooms) {
      if (DistanceToRoom(r, m.outX, m.outY) > 0.0) continue;
      EXPECT_LT(DistanceToRoom(r, truth.x, truth.y), 2.0)
          << "output (" << m.outX << ", " << m.outY << ") in room " << r.name;
    }
  }
  ASSERT_GT(xs.size(), 500u);
  std::vector<double> sx = xs, sy = ys;
  std::nth_element(sx.begin(), sx.begin() + sx.size() / 2, sx.end());
  std::nth_element(sy.begin(), sy.begin() + sy.size() / 2, sy.end());
  const double cx = sx[sx.size() / 2], cy = sy[sy.size() / 2];
  std::vector<double> d;
  for (size_t i = 0; i < xs.size(); ++i) d.push_back(std::hypot(xs[i] - cx, ys[i] - cy));
  std::sort(d.begin(), d.end());
  const double spread95 = d[static_cast<size_t>(0.95 * (d.size() - 1))];
  std::printf("[ standing ] method %d: 95%% of positions within %.2f m of their median, "
              "median %.2f m from the truth\n",
              GetParam(), spread95, std::hypot(cx - truthX, cy - truthY));
  EXPECT_LE(spread95, 1.0);
  DeleteNavigationClient(client);
}

INSTANTIATE_TEST_SUITE_P(Methods, NavigateStandingTest, ::testing::Values(107, 109, 108));

}  // namespace
}  // namespace client_test
