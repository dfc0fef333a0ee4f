// Histogram method: distributions built from the survey and the weighting of
// a floor's reference points by a scan.
#include "wifipos/histogramm/histogramm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Key(int n) { return "beacon-key-" + std::string(39, 'x') + std::to_string(n); }

void AddEntry(SublocationMap& floor, const std::string& key, int point,
              const std::map<int, int>& histogram) {
  AccessPoint ap;
  ap.setBssid(key);
  ap.setType(2);
  ap.setHistogram(histogram);
  ap.setRefPointIndex(point);
  floor.getRadioMap().emplace(key, ap);
  floor.updateUniqueApsBssid();
}

NavigationMap MapOf(std::vector<SublocationMap> floors, int type, bool differential) {
  NavigationMap map;
  map.getNavigationProperties().knn.Histogram_type = type;
  map.getNavigationProperties().knn.Differention_mode = differential;
  for (auto& f : floors) map.getSublocationsVector().push_back(f);
  return map;
}

SublocationMap Floor(int id, int points, int width) {
  SublocationMap f;
  f.setId(id);
  f.getProperties().Histogram_interval_width = width;
  for (int i = 0; i < points; ++i) {
    ReferencePoint rp;
    rp.setX(i);
    rp.setY(0.0);
    rp.setIndex(i);
    f.getReferencePoints().push_back(rp);
  }
  return f;
}

SublocationState StateFor(int points) {
  SublocationState s;
  s.weights.assign(static_cast<size_t>(points), 0.0);
  s.globalWeights.assign(static_cast<size_t>(points), 0.0);
  s.visibleCounts.assign(static_cast<size_t>(points), 0);
  return s;
}

AccessPoint Heard(const std::string& key, double rssi) {
  AccessPoint ap;
  ap.setBssid(key);
  ap.setRssi(rssi);
  return ap;
}

TEST(HistogramWeights, NoMatchGivesTheFloorNoWeight) {
  SublocationMap f = Floor(1, 3, 5);
  AddEntry(f, Key(1), 0, {{70, 20}});
  NavigationMap map = MapOf({f}, 302, false);
  Histogram h;
  h.initialize(map);
  std::vector<AccessPoint> scan = {Heard(Key(1), -90.0), Heard(Key(9), -70.0)};
  SublocationState s = StateFor(3);
  int floor = 0;
  h.calculateWeights(s, scan, floor);
  for (const double w : s.weights) EXPECT_EQ(w, 0.0);
  for (const double w : s.globalWeights) EXPECT_EQ(w, 0.0);
  EXPECT_EQ(s.weightSum, 0.0);

  int bad = 3;
  s.weights[0] = 0.25;
  h.calculateWeights(s, scan, bad);  // unknown floor: state untouched
  EXPECT_EQ(s.weights[0], 0.25);
}

TEST(HistogramWeights, AdversarialInputStaysFinite) {
  std::mt19937 rng(4242);
  const double inf = std::numeric_limits<double>::infinity();
  const double extremes[] = {0.0, 1.0, -1e300, 1e300, inf, -inf,
                             std::numeric_limits<double>::quiet_NaN(), -2147483649.0, -127.0};
  for (int round = 0; round < 60; ++round) {
    const int type = round % 3 == 0 ? 301 : (round % 3 == 1 ? 302 : 999);
    const int nPoints = 1 + static_cast<int>(rng() % 20);
    const int nKeys = static_cast<int>(rng() % 6);  // includes floors with no beacons
    SublocationMap f = Floor(1, nPoints, static_cast<int>(rng() % 12) - 3);
    for (int k = 0; k < nKeys; ++k) {
      for (int p = 0; p < nPoints; ++p) {
        if (rng() % 3 == 0) continue;
        std::map<int, int> hist;
        const int bins = 1 + static_cast<int>(rng() % 6);
        for (int b = 0; b < bins; ++b)
          hist[static_cast<int>(rng() % 300) - 50] = static_cast<int>(rng() % 40) - 5;
        AddEntry(f, Key(k), rng() % 7 == 0 ? nPoints + 5 : p, hist);
      }
    }
    NavigationMap map = MapOf({f}, type, round % 2 == 0);
    Histogram h;
    h.initialize(map);
    std::vector<AccessPoint> scan;
    const int heard = static_cast<int>(rng() % 8);
    for (int i = 0; i < heard; ++i) {
      const double rssi = rng() % 4 == 0 ? extremes[rng() % 9]
                                         : -static_cast<double>(rng() % 130) - 0.5;
      scan.push_back(Heard(rng() % 5 == 0 ? "unknown" : Key(static_cast<int>(rng() % 6)), rssi));
    }
    SublocationState s = StateFor(nPoints);
    int floor = 0;
    h.calculateWeights(s, scan, floor);
    EXPECT_TRUE(std::isfinite(s.weightSum));
    for (const double w : s.weights) EXPECT_TRUE(std::isfinite(w) && w >= 0.0);
    for (const double w : s.globalWeights) EXPECT_TRUE(std::isfinite(w));
    EXPECT_EQ(static_cast<int>(s.weights.size()), nPoints);
  }
}

}  // namespace
