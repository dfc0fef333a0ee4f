#include "wifipos/histogramm/histogramm.h"

#include <cmath>

#include "server/utils.h"

namespace {

constexpr double kLn2 = 0.6931471805599453;
constexpr double kMaxRssiMagnitude = 1e6;  // beyond any radio reading

// Truncated magnitude of an RSSI, false when it has no meaning as a level.
bool LevelOf(double value, int& level) {
  if (!std::isfinite(value) || std::fabs(value) > kMaxRssiMagnitude) return false;
  level = static_cast<int>(value);
  return true;
}

int BinOf(int level, int width) { return level - level % width; }

int UsableWidth(int width) { return width < 1 ? 1 : width; }

}  // namespace

int Histogram::initialize(NavigationMap& map) {
  const CommonNavProperties& settings = map.getNavigationProperties();
  type_ = settings.knn.Histogram_type;
  differential_ = settings.knn.Differention_mode;
  floors_.assign(map.getNSublocations(), SublocationHistogram());
  return fillHistograms(map);
}

int Histogram::fillHistograms(NavigationMap& map) {
  std::vector<SublocationMap>& floors = map.getSublocationsVector();
  floors_.resize(floors.size());
  for (size_t f = 0; f < floors.size(); ++f) {
    SublocationMap& floor = floors[f];
    SublocationHistogram& out = floors_[f];
    out.getEntries().clear();
    int width = floor.getProperties().Histogram_interval_width;
    if (width < 1) {
      // Every bin is a multiple of the width; without one there are no bins.
      MV_LOG(11, "Histogram interval width %d of %d sublocation is not positive, 1 is used\n",
             width, floor.getId());
      width = 1;
    }
    out.setWidth(width);
    for (const auto& [key, entry] : floor.getRadioMap()) {
      double total = 0.0;
      for (const auto& [level, count] : entry.getHistogram()) {
        if (count > 0) total += count;
      }
      std::map<int, double> distribution;
      for (const auto& [level, count] : entry.getHistogram()) {
        if (count > 0) distribution[level] = count / total;
      }
      if (type_ == 302 || type_ == 301) {
        if (total <= 10.0) {
          distribution.clear();  // too few samples to say anything
        } else if (type_ == 302) {
          calcBinned(distribution, width);
        } else {
          calcWeibull(distribution, width);
        }
      }
      out.getEntries().emplace(key, ApRpInfo(entry.getRefPointIndex(), distribution));
    }
  }
  return 0;
}

void Histogram::calcBinned(std::map<int, double>& distribution, int& width) {
  const int w = UsableWidth(width);
  std::map<int, double> bins;
  for (const auto& [level, p] : distribution) bins[BinOf(level, w)] += p;
  distribution.swap(bins);
}

void Histogram::calcWeibull(std::map<int, double>& distribution, int& width) {
  const int w = UsableWidth(width);
  double mu = 0.0;
  for (const auto& [level, p] : distribution) mu += level * p;
  double var = 0.0;
  for (const auto& [level, p] : distribution) var += (level - mu) * (level - mu) * p;
  const double sigma = std::sqrt(var);

  double k = sigma / kLn2;
  if (k < 1.5) k = 1.5;
  if (k > 2.5) k = 2.5;
  double lambda;
  if (sigma < 2.0) {
    lambda = (0.15 + k) * 2.0;
  } else if (sigma > 3.5) {
    lambda = (0.15 + k) * 3.5;
  } else {
    lambda = (0.15 + k) * sigma;
  }
  const double theta = mu - 0.886227 * lambda;
  // Survival term exp(-((x - theta) / lambda)^k); every x used lies above theta.
  auto tail = [&](double x) { return std::exp(-std::pow((x - theta) / lambda, k)); };

  distribution.clear();
  const int t = static_cast<int>(theta);
  const int s = t - t % w;
  distribution[s] = 1.0 - tail(s + w);
  if (s + w > 119) return;
  for (int b = s + w; b < 120; b += w) {
    const double d = tail(b) - tail(b + w);
    if (d < 0) MV_LOG(11, "WOOOOOOOOT??");
    if (d > 0.001) distribution[b] = d;
  }
}

void Histogram::calculateWeights(SublocationState& state, std::vector<AccessPoint>& scan,
                                 int& floorIndex) {
  if (floorIndex < 0 || floorIndex >= static_cast<int>(floors_.size())) {
    MV_LOG(11, "ERROR Bad sublocation index = %d\n", floorIndex);
    return;
  }
  std::map<int, double>& weights = state.weights;
  const int nPoints = static_cast<int>(weights.size());
  for (int i = 0; i < nPoints; ++i) weights[i] = 1.0;

  const SublocationHistogram& floor = floors_[floorIndex];
  const auto& entries = floor.getEntries();
  const int w = UsableWidth(floor.getWidth());
  auto known = [&](int index) { return index >= 0 && index < nPoints; };

  if (!differential_) {
    for (const AccessPoint& a : scan) {
      int level;
      if (!LevelOf(-a.getRssi(), level)) continue;
      const int bin = BinOf(level, w);
      auto range = entries.equal_range(a.getBssid());
      for (auto it = range.first; it != range.second; ++it) {
        const ApRpInfo& e = it->second;
        if (!known(e.getIndex())) continue;
        auto p = e.getDistribution().find(bin);
        if (p == e.getDistribution().end()) continue;
        weights[e.getIndex()] *= p->second;
        state.visibleCounts[e.getIndex()] += 1;
      }
    }
  } else {
    // Per scan transmitter, its first distribution at each point, so that a
    // pair is looked up directly instead of by scanning the key's entries.
    std::vector<std::vector<const ApRpInfo*>> atPoint(scan.size());
    for (size_t i = 0; i < scan.size(); ++i) {
      atPoint[i].assign(nPoints, nullptr);
      auto range = entries.equal_range(scan[i].getBssid());
      for (auto it = range.first; it != range.second; ++it) {
        const int idx = it->second.getIndex();
        if (known(idx) && atPoint[i][idx] == nullptr) atPoint[i][idx] = &it->second;
      }
    }
    for (size_t ia = 1; ia < scan.size(); ++ia) {
      const AccessPoint& a = scan[ia];
      if (!std::isfinite(a.getRssi()) || std::fabs(a.getRssi()) > kMaxRssiMagnitude) continue;
      auto range = entries.equal_range(a.getBssid());
      for (auto it = range.first; it != range.second; ++it) {
        const ApRpInfo& e = it->second;
        const int idx = e.getIndex();
        if (!known(idx)) continue;
        for (size_t ib = 0; ib < ia; ++ib) {
          const AccessPoint& b = scan[ib];
          if (b.getBssid() == a.getBssid()) continue;
          const ApRpInfo* eb = atPoint[ib][idx];
          if (eb == nullptr) continue;
          int d;
          if (!LevelOf(b.getRssi() - a.getRssi(), d)) continue;
          const int shift = d - d % w;
          double pair = 0.0;
          for (const auto& [bin, p] : e.getDistribution()) {
            auto q = eb->getDistribution().find(bin - shift);
            if (q != eb->getDistribution().end()) pair += p * q->second;
          }
          weights[idx] *= pair;
          state.visibleCounts[idx] += 1;
        }
      }
    }
  }

  int threshold = 0;
  for (int t = 5; t >= 1 && threshold == 0; --t) {
    for (const auto& [idx, weight] : weights) {
      if (weight != 0.0 && state.visibleCounts[idx] >= t) {
        threshold = t;
        break;
      }
    }
  }
  state.weightSum = 0.0;
  if (threshold == 0) {
    // Nothing matched anywhere: the untouched 1.0 weights carry no evidence
    // and must not outweigh floors where the scan did match.
    for (auto& [idx, weight] : weights) weight = 0.0;
  } else {
    for (auto& [idx, weight] : weights) {
      if (weight == 0.0) continue;
      const int c = state.visibleCounts[idx];
      if (c >= threshold) {
        weight = std::pow(weight, 1.0 / c) * c * c;
        state.weightSum += weight;
      } else {
        weight = 0.0;
      }
    }
  }
  state.globalWeights = weights;
}
