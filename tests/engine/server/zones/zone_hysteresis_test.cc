// Zone membership with hysteresis, for a position that wobbles near a zone's
// boundary.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

ZoneMap OneSquareZone() {
  ZoneMap map;
  ZoneMap::SubLocation floor(1, 40.0, 40.0);
  Zone z;
  z.id = 7;
  for (const auto& [x, y] : std::vector<std::pair<double, double>>{{0, 0}, {10, 0}, {10, 10}, {0, 10}})
    z.points.emplace_back(1, x, y);
  floor.addZone(z);
  map.addSubLocation(floor);
  return map;
}

// How often the zone list changes along a path of x positions at y = 5.
int Changes(const ZoneMap& map, const std::vector<double>& xs, double enter, double leave,
            std::vector<bool>* inside = nullptr) {
  std::vector<Zone> last;
  int changes = 0;
  for (double x : xs) {
    const std::vector<Zone> now = map.getZones(1, x, 5.0, last, enter, leave);
    if (now.size() != last.size()) ++changes;
    if (inside) inside->push_back(!now.empty());
    last = now;
  }
  return changes;
}

TEST(ZoneHysteresis, AWobbleAcrossTheBoundaryIsNotReportedAsEntriesAndExits) {
  const ZoneMap map = OneSquareZone();
  const struct {
    const char* name;
    std::vector<double> xs;
    double enter, leave;
    int changes;
  } cases[] = {
      // Standing 2 m outside, the estimate wobbling by up to 1.5 m.
      {"wobble, no margin", {12.0, 9.5, 11.0, 9.8, 12.5, 9.6, 11.5}, 0.0, 0.0, 6},
      {"wobble, margins", {12.0, 9.6, 11.0, 9.8, 12.5, 9.6, 11.5}, 0.5, 1.0, 0},
      // Standing just inside: entered once, then kept.
      {"inside near the edge", {5.0, 9.5, 10.4, 9.2, 10.8}, 0.5, 1.0, 1},
      // Walking through: entered once well inside, left once well outside.
      {"walking through", {-3.0, -0.5, 0.3, 1.5, 5.0, 9.5, 10.5, 11.5, 14.0}, 0.5, 1.0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Changes(map, c.xs, c.enter, c.leave), c.changes);
  }
  // Entry and exit each wait for the margin.
  std::vector<bool> inside;
  Changes(map, {-3.0, 0.3, 0.7, 9.5, 10.5, 11.5}, 0.5, 1.0, &inside);
  EXPECT_EQ(inside, (std::vector<bool>{false, false, true, true, true, false}));
}

TEST(ZoneHysteresis, NoMarginOrAnUnknownFloorAnswersAsThePlainLookup) {
  const ZoneMap map = OneSquareZone();
  for (double x : {-1.0, 0.5, 5.0, 9.9, 10.0, 11.0}) {
    EXPECT_EQ(map.getZones(1, x, 5.0, {}, 0.0, 0.0).size(), map.getZones(1, x, 5.0).size());
  }
  EXPECT_TRUE(map.getZones(2, 5.0, 5.0, {}, 0.5, 1.0).empty());
}

}  // namespace
