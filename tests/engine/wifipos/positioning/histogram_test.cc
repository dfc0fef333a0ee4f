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
  for (int i = 0; i < points; ++i) {
    s.weights[i] = 0.0;
    s.globalWeights[i] = 0.0;
    s.visibleCounts[i] = 0;
  }
  return s;
}

AccessPoint Heard(const std::string& key, double rssi) {
  AccessPoint ap;
  ap.setBssid(key);
  ap.setRssi(rssi);
  return ap;
}

TEST(HistogramBuild, BinnedAndWeibullDistributions) {
  Histogram h;
  int width = 5;
  std::map<int, double> d = {{71, 0.25}, {72, 0.25}, {76, 0.5}};
  h.calcBinned(d, width);
  EXPECT_EQ(d, (std::map<int, double>{{70, 0.5}, {75, 0.5}}));

  // mu 71, sigma 1: shape 1.5 (clamped), scale 3.3, location 68.0754509.
  std::map<int, double> w = {{70, 0.5}, {72, 0.5}};
  h.calcWeibull(w, width);
  ASSERT_EQ(w.size(), 4u);
  EXPECT_NEAR(w[65], 0.3594138517395542, 1e-12);
  EXPECT_NEAR(w[70], 0.5927320884790224, 1e-12);
  EXPECT_NEAR(w[75], 0.04681451943666521, 1e-12);
  EXPECT_NEAR(w[80], 0.0010305072288993725, 1e-12);  // just above the 0.001 cut

  // sigma > 3.5: shape clamped to 2.5, scale 2.65 * 3.5.
  std::map<int, double> wide = {{60, 0.25}, {65, 0.5}, {70, 0.25}};
  h.calcWeibull(wide, width);
  EXPECT_NEAR(wide[55], 0.06854024964515482, 1e-12);
  EXPECT_NEAR(wide[60], 0.4540456606441851, 1e-12);
  EXPECT_NEAR(wide[75], 0.004429294182256663, 1e-12);

  // The second bin would start at 120: the first bin holds alone.
  std::map<int, double> high = {{117, 0.5}, {119, 0.5}};
  h.calcWeibull(high, width);
  ASSERT_EQ(high.size(), 1u);
  EXPECT_NEAR(high[115], 0.8384542609698217, 1e-12);

  // A width below 1 is taken as 1 instead of dividing by zero.
  int zero = 0;
  std::map<int, double> z = {{71, 1.0}};
  h.calcBinned(z, zero);
  EXPECT_EQ(z, (std::map<int, double>{{71, 1.0}}));
  h.calcWeibull(z, zero);
  EXPECT_FALSE(z.empty());
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
  for (const auto& [i, w] : s.weights) EXPECT_EQ(w, 0.0) << i;
  for (const auto& [i, w] : s.globalWeights) EXPECT_EQ(w, 0.0) << i;
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
    for (const auto& [i, w] : s.weights) EXPECT_TRUE(std::isfinite(w) && w >= 0.0) << i;
    for (const auto& [i, w] : s.globalWeights) EXPECT_TRUE(std::isfinite(w)) << i;
    EXPECT_EQ(static_cast<int>(s.weights.size()), nPoints);
  }
}

}  // namespace
