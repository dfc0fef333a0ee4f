#include "Navigation/mc_engine_zone.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

// The location's floors and the tick's zone reports build their models with one function:
// a text reaches the host as UTF-8 cut at its first NUL, whichever path it took.
TEST(MCZoneFromEngineTest, TextsReachTheHostAsUtf8) {
  const struct {
    std::string engine;
    std::string host;
  } cases[] = {
      {"Lobby", "Lobby"},
      {"Caf\xc3\xa9", "Caf\xc3\xa9"},              // valid UTF-8 passes unchanged
      {"Caf\xe9", "Caf\xef\xbf\xbd"},              // a stray Latin-1 byte becomes U+FFFD
      {"Hall\0hidden"s, "Hall"},                   // ends at the first NUL, as a C text
      {"", ""},
  };
  for (const auto& c : cases) {
    Zone z;
    z.name = c.engine;
    z.alias = c.engine;
    z.color = c.engine;
    const auto m = MCZoneFromEngine(z, 7, 2, 7);
    EXPECT_EQ(m->name, c.host) << c.engine;
    EXPECT_EQ(m->alias, c.host) << c.engine;
    EXPECT_EQ(m->color, c.host) << c.engine;
  }
}

TEST(MCZoneFromEngineTest, ZoneAndPointsKeepTheirPlaces) {
  Zone z;
  z.id = 41;
  z.points = {{2, 1.5, 2.5}, {2, 4.0, 2.5}, {3, 4.0, 6.0}};
  const auto m = MCZoneFromEngine(z, 9, 2, 8);
  EXPECT_EQ(m->id, 41);
  EXPECT_EQ(m->location, 9);
  EXPECT_EQ(m->sublocation, 2);
  ASSERT_EQ(m->points.size(), z.points.size());
  for (size_t i = 0; i < z.points.size(); ++i) {
    EXPECT_EQ(m->points[i]->location, 8) << i;
    EXPECT_EQ(m->points[i]->sublocation, z.points[i].subLoc) << i;
    EXPECT_DOUBLE_EQ(m->points[i]->x.doubleValue(), z.points[i].x) << i;
    EXPECT_DOUBLE_EQ(m->points[i]->y.doubleValue(), z.points[i].y) << i;
  }
}

}  // namespace
