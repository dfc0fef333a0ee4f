// Histogram weighting on random surveys against a plain walk over
// distribution maps built here from the radio map: the weights must agree
// to the last bit, plain and differential, on floors weighed from the slot
// layout and on floors too spread out for it, with one Histogram reused
// across many scans and floors.
#include "wifipos/histogramm/histogramm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Key(int n) { return "(00001," + std::to_string(10000 + n) + ",F7826DA6-4FA2-4E98)"; }

struct Expected {
  std::vector<double> weights;
  std::vector<int> counts;
  double sum = 0.0;
};

bool Usable(double v) { return std::isfinite(v) && std::fabs(v) <= 1e6; }

// The weighting written out directly over the multimap of one floor.
Expected Walk(const SublocationHistogram& h, bool differential,
              const std::vector<AccessPoint>& scan, int n) {
  Expected r{std::vector<double>(n, 1.0), std::vector<int>(n, 0), 0.0};
  const int w = std::max(1, h.getWidth());
  const auto& all = h.getEntries();
  auto probability = [](const ApRpInfo& e, long bin, double& p) {
    if (bin < std::numeric_limits<int>::min() || bin > std::numeric_limits<int>::max()) return false;
    auto it = e.getDistribution().find(static_cast<int>(bin));
    if (it == e.getDistribution().end()) return false;
    p = it->second;
    return true;
  };
  for (size_t ia = 0; ia < scan.size(); ++ia) {
    const AccessPoint& a = scan[ia];
    if (!Usable(a.getRssi())) continue;
    auto range = all.equal_range(a.getBssid());
    for (auto it = range.first; it != range.second; ++it) {
      const int idx = it->second.getIndex();
      if (idx < 0 || idx >= n) continue;
      if (!differential) {
        const int level = static_cast<int>(-a.getRssi());
        double p;
        if (!probability(it->second, level - level % w, p)) continue;
        r.weights[idx] *= p;
        r.counts[idx] += 1;
        continue;
      }
      for (size_t ib = 0; ib < ia; ++ib) {
        const AccessPoint& b = scan[ib];
        if (b.getBssid() == a.getBssid() || !Usable(b.getRssi() - a.getRssi())) continue;
        const ApRpInfo* eb = nullptr;
        auto rb = all.equal_range(b.getBssid());
        for (auto jt = rb.first; jt != rb.second && eb == nullptr; ++jt) {
          if (jt->second.getIndex() == idx) eb = &jt->second;
        }
        if (eb == nullptr) continue;
        const int d = static_cast<int>(b.getRssi() - a.getRssi());
        const int shift = d - d % w;
        double pair = 0.0;
        for (const auto& [bin, p] : it->second.getDistribution()) {
          double q;
          if (probability(*eb, static_cast<long>(bin) - shift, q)) pair += p * q;
        }
        r.weights[idx] *= pair;
        r.counts[idx] += 1;
      }
    }
  }
  int t = 0;
  for (int i = 0; i < n; ++i) {
    if (r.weights[i] != 0.0) t = std::max(t, std::min(r.counts[i], 5));
  }
  for (int i = 0; i < n; ++i) {
    if (t == 0 || r.counts[i] < t || r.weights[i] == 0.0) {
      r.weights[i] = 0.0;
      continue;
    }
    r.weights[i] = std::pow(r.weights[i], 1.0 / r.counts[i]) * r.counts[i] * r.counts[i];
    r.sum += r.weights[i];
  }
  return r;
}

// The reference below builds the original distributions; the kit's spread
// of sparse surveys is checked in histogram_test.cc.
NavigationMap ClassicMap() { return NavigationMap(EngineBehaviour::original()); }

// The distributions of a floor built here from its radio map, apart from
// the layout the weighting keeps: counts above 0 normalised, then for the
// binned and fitted types nothing from 10 samples or fewer, else bins.
SublocationHistogram Distributions(const SublocationMap& floor, int type) {
  Histogram maker(EngineBehaviour::original());
  SublocationHistogram out;
  int width = std::max(1, floor.getProperties().Histogram_interval_width);
  out.setWidth(width);
  for (const auto& [key, entry] : std::as_const(floor).getRadioMap()) {
    double total = 0.0;
    for (const auto& [level, count] : entry.getHistogram()) total += count > 0 ? count : 0;
    std::map<int, double> d;
    for (const auto& [level, count] : entry.getHistogram()) {
      if (count > 0) d[level] = count / total;
    }
    if ((type == 302 || type == 301) && total <= 10.0) d.clear();
    if (type == 302 && !d.empty()) maker.calcBinned(d, width);
    if (type == 301 && !d.empty()) maker.calcWeibull(d, width);
    out.getEntries().emplace(key, ApRpInfo(entry.getRefPointIndex(), d));
  }
  return out;
}

// A floor of n points heard by nKeys transmitters; some entries repeat a
// (key, point) pair, some name no point of the floor, some have too few
// samples, and with spread on a few levels lie far apart.
SublocationMap RandomFloor(std::mt19937& rng, int id, int n, int nKeys, int width, bool spread) {
  SublocationMap f;
  f.setId(id);
  f.getProperties().Histogram_interval_width = width;
  for (int i = 0; i < n; ++i) {
    ReferencePoint rp;
    rp.setX(i);
    rp.setIndex(i);
    f.getReferencePoints().push_back(rp);
  }
  std::uniform_int_distribution<int> level(55, 95), count(0, 9), point(-2, n + 1);
  for (int k = 0; k < nKeys; ++k) {
    for (int e = 0; e < n * 2 / 3; ++e) {
      std::map<int, int> hist;
      const int centre = level(rng);
      const int levels = 1 + count(rng) % 5;
      for (int j = 0; j < levels; ++j) hist[centre + j - 2 + count(rng) % 3] += count(rng);
      if (spread && count(rng) == 0) hist[centre + 3000] = 5;
      AccessPoint ap;
      ap.setBssid(Key(k));
      ap.setType(2);
      ap.setHistogram(hist);
      ap.setRefPointIndex(count(rng) == 0 ? point(rng) : e % n);
      f.getRadioMap().emplace(Key(k), ap);
    }
  }
  f.updateUniqueApsBssid();
  return f;
}

std::vector<AccessPoint> RandomScan(std::mt19937& rng, int nKeys) {
  std::uniform_int_distribution<int> key(0, nKeys + 1), rssi(-98, -52), odd(0, 40);
  std::vector<AccessPoint> scan(static_cast<size_t>(3 + odd(rng) % 20));
  for (AccessPoint& ap : scan) {
    ap.setBssid(Key(key(rng)));  // the last two keys are not surveyed
    double x = rssi(rng) + odd(rng) / 10.0;
    if (odd(rng) == 0) x = std::numeric_limits<double>::quiet_NaN();
    if (odd(rng) == 1) x = -5e6;
    ap.setRssi(x);
  }
  return scan;
}

SublocationState Cleared(int n) {
  SublocationState s;
  s.weights.assign(static_cast<size_t>(n), 0.0);
  s.globalWeights.assign(static_cast<size_t>(n), 0.0);
  s.visibleCounts.assign(static_cast<size_t>(n), 0);
  return s;
}

void ExpectSame(const SublocationState& s, const Expected& e, const std::string& what) {
  ASSERT_EQ(s.weights.size(), e.weights.size()) << what;
  for (size_t i = 0; i < s.weights.size(); ++i) {
    const double w = s.weights[i];
    // Bitwise: the same products in the same order.
    EXPECT_EQ(w, e.weights[i]) << what << " point " << i;
    EXPECT_EQ(s.visibleCounts.at(i), e.counts[i]) << what << " point " << i;
    EXPECT_EQ(s.globalWeights.at(i), w) << what << " point " << i;
  }
  EXPECT_EQ(s.weightSum, e.sum) << what;
}

TEST(HistogramLayout, RandomSurveysWeighAsTheMapWalk) {
  std::mt19937 rng(20261206);
  for (int type : {302, 301, 300}) {
    for (bool differential : {false, true}) {
      for (int width : {1, 3, 5}) {
        const int nKeys = 7;
        // Floor 0 fits the slot layout; floor 1 has levels too far apart
        // for it; floor 2 has a different point count.
        NavigationMap map = ClassicMap();
        map.getNavigationProperties().knn.Histogram_type = type;
        map.getNavigationProperties().knn.Differention_mode = differential;
        const int sizes[3] = {24, 24, 9};
        for (int f = 0; f < 3; ++f) {
          map.getSublocationsVector().push_back(
              RandomFloor(rng, f + 1, sizes[f], nKeys, width, f == 1 && type == 300));
        }
        Histogram h(map.behaviour());
        h.initialize(map);
        std::vector<SublocationHistogram> expected;
        for (int f = 0; f < 3; ++f) {
          expected.push_back(Distributions(map.getSublocationsVector()[f], type));
        }
        for (int round = 0; round < 12; ++round) {
          int f = round % 3;
          const std::vector<AccessPoint> scan = RandomScan(rng, nKeys);
          std::vector<AccessPoint> copy = scan;
          SublocationState s = Cleared(sizes[f]);
          h.calculateWeights(s, copy, f);
          const std::string what = "type " + std::to_string(type) + " diff " +
                                   std::to_string(differential) + " width " +
                                   std::to_string(width) + " floor " + std::to_string(f);
          ExpectSame(s, Walk(expected[f], differential, scan, sizes[f]), what);
        }
      }
    }
  }
}

// Damaged surveys: levels at the ends of the int range and a huge bin width
// must build and weigh without overflowing (the sanitizer build checks).
TEST(HistogramLayout, LevelsAndWidthsAtTheIntegerLimits) {
  for (int type : {302, 301, 300}) {
    for (int width : {1, 7, std::numeric_limits<int>::max()}) {
      for (bool differential : {false, true}) {
        SublocationMap f;
        f.setId(1);
        f.getProperties().Histogram_interval_width = width;
        for (int i = 0; i < 2; ++i) {
          ReferencePoint rp;
          rp.setIndex(i);
          f.getReferencePoints().push_back(rp);
        }
        const int lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
        const std::map<int, int> hists[3] = {{{hi, 20}, {hi - 1, 5}}, {{lo, 20}, {lo + 1, 5}},
                                             {{lo, 12}, {70, 3}, {hi, 12}}};
        for (int k = 0; k < 3; ++k) {
          for (int point = 0; point < 2; ++point) {
            AccessPoint ap;
            ap.setBssid(Key(k));
            ap.setHistogram(hists[(k + point) % 3]);
            ap.setRefPointIndex(point);
            f.getRadioMap().emplace(Key(k), ap);
          }
        }
        NavigationMap map = ClassicMap();
        map.getNavigationProperties().knn.Histogram_type = type;
        map.getNavigationProperties().knn.Differention_mode = differential;
        map.getSublocationsVector().push_back(f);
        Histogram h(map.behaviour());
        h.initialize(map);
        std::vector<AccessPoint> scan(3);
        for (int k = 0; k < 3; ++k) {
          scan[k].setBssid(Key(k));
          scan[k].setRssi(k == 0 ? -999999.0 : -70.0 + k);
        }
        const std::vector<AccessPoint> heard = scan;
        SublocationState s = Cleared(2);
        int floor = 0;
        h.calculateWeights(s, scan, floor);
        ExpectSame(s, Walk(Distributions(map.getSublocationsVector()[0], type), differential, heard, 2),
                   "type " + std::to_string(type) + " width " + std::to_string(width));
      }
    }
  }
}


// The mode is part of the layout: switching it weighs by the old mode until
// the distributions are built again, never by a layout that was not built.
TEST(HistogramLayout, ModeSwitchAppliesFromTheNextBuild) {
  std::mt19937 rng(20261207);
  for (int type : {302, 300}) {
    for (bool first : {false, true}) {
      NavigationMap map = ClassicMap();
      map.getNavigationProperties().knn.Histogram_type = type;
      map.getNavigationProperties().knn.Differention_mode = first;
      map.getSublocationsVector().push_back(RandomFloor(rng, 1, 16, 5, 2, false));
      const SublocationHistogram expected = Distributions(map.getSublocationsVector()[0], type);
      Histogram h(map.behaviour());
      h.initialize(map);
      h.setDifferential(!first);
      const std::string what = "type " + std::to_string(type) + " first " + std::to_string(first);
      for (bool rebuilt : {false, true}) {
        if (rebuilt) h.fillHistograms(map);
        const std::vector<AccessPoint> scan = RandomScan(rng, 5);
        std::vector<AccessPoint> copy = scan;
        SublocationState s = Cleared(16);
        int floor = 0;
        h.calculateWeights(s, copy, floor);
        ExpectSame(s, Walk(expected, rebuilt ? !first : first, scan, 16),
                   what + (rebuilt ? " rebuilt" : " switched"));
      }
    }
  }
}

}  // namespace
