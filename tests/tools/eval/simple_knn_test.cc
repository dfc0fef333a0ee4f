// The reference 3-NN on a hand-made survey: windows, missing beacons, the
// plain mean of the nearest points, and its survey read from an archive.
#include "eval/simple_knn.h"

#include <gtest/gtest.h>

#include "tools/venuesim/venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace {

// Four points on a line, x = 0, 10, 20, 30; beacon "a" fades along it,
// beacon "b" grows; beacon "c" is heard only at the last point.
eval::SimpleKnnMap LineMap() {
  eval::SimpleKnnMap m;
  m.keys = {"a", "b", "c"};
  for (int i = 0; i < 4; ++i) {
    eval::SurveyedPoint p;
    p.floorId = i < 3 ? 1 : 2;
    p.x = 10.0 * i;
    p.levels = {-50.0 - 10 * i, -80.0 + 10 * i, i == 3 ? -60.0 : -100.0};
    m.points.push_back(p);
  }
  return m;
}

TEST(SimpleKnn, WindowsAndNeighbours) {
  const eval::SimpleKnnMap map = LineMap();
  const struct {
    const char* what;
    std::vector<eval::TimedReading> readings;  // times relative to the first message
    double x;
    int floorId;
  } cases[] = {
      // Nearest 0, then 10 and 20: mean 10.
      {"at the first point", {{100, "a", -50}, {200, "b", -80}}, 10.0, 1},
      // The level is the window's mean: -55 and -45 average to the first point's -50.
      {"mean of the window", {{100, "a", -55}, {900, "a", -45}, {200, "b", -80}}, 10.0, 1},
      // Exactly the last point: it and the two before it; two of the three are on floor 1.
      {"a beacon heard only at one point", {{100, "a", -80}, {200, "b", -50}, {300, "c", -60}}, 20.0, 1},
      {"unknown beacons are ignored", {{100, "zz", -40}, {100, "a", -50}, {200, "b", -80}}, 10.0, 1},
  };
  constexpr int64_t kFirst = 1000000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<eval::TimedReading> readings = c.readings;
    for (auto& r : readings) r.timeMs += kFirst;
    const std::vector<eval::KnnFix> fixes =
        eval::LocateWindows(map, readings, kFirst, kFirst + 1500, eval::SimpleKnnOptions());
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].timeMs, kFirst + 1500);
    EXPECT_NEAR(fixes[0].x, c.x, 1e-9);
    EXPECT_EQ(fixes[0].floorId, c.floorId);
  }
}

TEST(SimpleKnn, WindowsStepAndForget) {
  const eval::SimpleKnnMap map = LineMap();
  constexpr int64_t kFirst = 5000;
  // At the first point for 2 s, then at the last: a window ending at 4.0 s
  // covers (2.5 s, 4.0 s] and sees only the later readings.
  std::vector<eval::TimedReading> readings;
  for (int t = 100; t <= 4000; t += 100) {
    const bool late = t > 2000;
    readings.push_back({kFirst + t, "a", late ? -80.0 : -50.0});
    readings.push_back({kFirst + t, "b", late ? -50.0 : -80.0});
    if (late) readings.push_back({kFirst + t, "c", -60.0});
  }
  const std::vector<eval::KnnFix> fixes =
      eval::LocateWindows(map, readings, kFirst, kFirst + 4000, eval::SimpleKnnOptions());
  // Window ends at 1.5, 2.0, 2.5, 3.0, 3.5, 4.0 s.
  ASSERT_EQ(fixes.size(), 6u);
  EXPECT_EQ(fixes[1].timeMs - fixes[0].timeMs, 500);
  EXPECT_NEAR(fixes.front().x, 10.0, 1e-9);
  EXPECT_NEAR(fixes.back().x, 20.0, 1e-9);
  EXPECT_EQ(fixes.back().floorId, 1);  // two of the three nearest are on floor 1
  // The window ending at 2.0 s holds only early readings; the one ending at
  // 3.0 s has forgotten the strong "c"-less start enough to match the last point.
  EXPECT_NEAR(fixes[1].x, 10.0, 1e-9);
  EXPECT_NEAR(fixes[3].x, 20.0, 1e-9);
}

TEST(SimpleKnn, ReadsTheSurveyOfAnArchive) {
  venuesim_test::TempDir dir;
  venuesim::VenueSpec venueSetup;
  venueSetup.floors = 2;
  venueSetup.width = 30;
  venueSetup.height = 16;
  venuesim::Venue venue;
  std::string error;
  ASSERT_EQ(venuesim::GenerateVenue(venueSetup, &venue, &error), 0) << error;
  const std::string path = dir.file("map.mvz");
  ASSERT_EQ(venuesim::WriteVenueArchive(venue, path, &error), 0) << error;
  eval::SimpleKnnMap map;
  ASSERT_EQ(eval::LoadSimpleKnnMap(path, &map, &error), 0) << error;
  size_t points = 0, beacons = 0;
  for (const auto& f : venue.floors) {
    points += f.points.size();
    beacons += f.beacons.size();
  }
  EXPECT_EQ(map.points.size(), points);
  EXPECT_LE(map.keys.size(), beacons);
  EXPECT_GT(map.keys.size(), beacons / 2);
  // A point's levels are its survey's means; beacons it never heard are at -100 dBm.
  const venuesim::SurveyPoint& sp = venue.floors[1].points[3];
  const eval::SurveyedPoint* found = nullptr;
  for (const auto& p : map.points) {
    if (p.floorId == venue.floors[1].id && std::abs(p.x - sp.x) < 0.05 && std::abs(p.y - sp.y) < 0.05) found = &p;
  }
  ASSERT_NE(found, nullptr);
  int heard = 0;
  for (size_t k = 0; k < map.keys.size(); ++k) {
    for (const auto& e : sp.entries) {
      if (e.key != map.keys[k]) continue;
      double sum = 0, n = 0;
      for (const auto& [level, count] : e.histogram) {
        sum += -level * count;
        n += count;
      }
      EXPECT_NEAR(found->levels[k], sum / n, 1.0) << e.key;
      ++heard;
    }
  }
  EXPECT_GT(heard, 0);
  EXPECT_NE(eval::LoadSimpleKnnMap(dir.file("missing.mvz"), &map, &error), 0);
}

}  // namespace
