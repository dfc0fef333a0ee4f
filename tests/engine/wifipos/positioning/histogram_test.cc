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
  NavigationMap map(EngineBehaviour::kit());
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
  Histogram h(map.behaviour());
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
    Histogram h(map.behaviour());
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

// A survey of a few dozen samples per transmitter leaves gaps between the
// levels it recorded. Point 0 is where the phone is: its transmitters were
// recorded every other level, and the scan falls into the gaps. Point 1
// heard each transmitter far off but once at exactly the scanned level. The
// original distributions count only exact levels, so point 1 wins; the kit
// spreads a sparse survey's samples and counts the gaps at point 0. A survey
// of thousands of samples is taken level by level either way (a gap there is
// a level the point does not give).
TEST(HistogramWeights, SparseSurveysCountReadingsBetweenRecordedLevels) {
  struct Case {
    const char* what;
    int samplesPerLevel;
    bool classic;
    bool sparse;        // sparseSurvey expected
    bool pointZeroWins;
  };
  const Case cases[] = {
      {"sparse, kit", 4, false, true, true},
      {"sparse, original", 4, true, false, false},
      {"dense, kit", 800, false, false, false},
  };
  for (const Case& c : cases) {
    SublocationMap f = Floor(1, 2, 1);
    const int n = c.samplesPerLevel;
    for (int k = 0; k < 3; ++k) {
      const int base = 60 + 10 * k;
      AddEntry(f, Key(k), 0, {{base, n}, {base + 2, n}, {base + 4, n}, {base + 6, n}});
      AddEntry(f, Key(k), 1, {{base + 3, n / 2}, {base + 16, 4 * n}});
    }
    NavigationMap map = MapOf({f}, 302, false);
    if (c.classic) {
      ASSERT_EQ(map.setParameters("defaults=classic;"), 0);
    }
    Histogram h(map.behaviour());
    h.initialize(map);
    EXPECT_EQ(h.sparseSurvey(0), c.sparse) << c.what;
    EXPECT_FALSE(h.sparseSurvey(1)) << c.what;
    std::vector<AccessPoint> scan = {Heard(Key(0), -63.0), Heard(Key(1), -73.0), Heard(Key(2), -83.0)};
    SublocationState s = StateFor(2);
    int floor = 0;
    h.calculateWeights(s, scan, floor);
    EXPECT_EQ(s.weights[0] > s.weights[1], c.pointZeroWins)
        << c.what << ": " << s.weights[0] << " against " << s.weights[1];
    EXPECT_GT(s.weights[1], 0.0) << c.what;
  }
}

}  // namespace
