#include "wifipos/histogramm/histogramm.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

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

// Slot value of a bin the entry does not have; every stored probability is
// a finite non-negative number (an entry holding anything else sends its
// floor to the map walk).
constexpr double kAbsent = -1.0;
// Beyond these the slots would cost more memory than they save time.
constexpr int64_t kMaxSlotsPerEntry = 1024;
constexpr int64_t kSlotsPerEntryBudget = 64;
constexpr int64_t kSlotsFloorBudget = int64_t{1} << 20;

// Threshold and final weights from the dense products and match counts,
// written back into the state as the weighting leaves them.
void FinishWeights(SublocationState& state, std::vector<double>& weight,
                   const std::vector<int>& count) {
  const size_t n = weight.size();
  int maxCount = 0;
  for (size_t i = 0; i < n; ++i) {
    if (weight[i] != 0.0 && count[i] > maxCount) maxCount = count[i];
  }
  const int threshold = std::min(maxCount, 5);
  double sum = 0.0;
  if (threshold <= 0) {
    // Nothing matched anywhere: the untouched 1.0 weights carry no evidence
    // and must not outweigh floors where the scan did match.
    std::fill(weight.begin(), weight.end(), 0.0);
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (weight[i] == 0.0) continue;
      const int c = count[i];
      if (c >= threshold) {
        weight[i] = std::pow(weight[i], 1.0 / c) * c * c;
        sum += weight[i];
      } else {
        weight[i] = 0.0;
      }
    }
  }
  state.weightSum = sum;
  state.weights.assign(weight.begin(), weight.end());
  state.visibleCounts.assign(count.begin(), count.end());
  state.globalWeights.assign(weight.begin(), weight.end());
}


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
    for (const auto& [key, entry] : std::as_const(floor).getRadioMap()) {
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
  packed_.assign(floors_.size(), PackedFloor());
  for (size_t f = 0; f < floors_.size(); ++f) packFloor(f);
  return 0;
}

void Histogram::packFloor(size_t floorIndex) {
  const SublocationHistogram& floor = floors_[floorIndex];
  const auto& entries = floor.getEntries();
  PackedFloor pf;
  const int w = UsableWidth(floor.getWidth());
  // Binned and fitted distributions only hold multiples of the width, so
  // one slot per bin; raw levels need one slot per level.
  pf.step = w;
  for (const auto& [key, info] : entries) {
    for (const auto& [bin, p] : info.getDistribution()) {
      if (bin % w != 0) pf.step = 1;
    }
  }
  const int64_t budget =
      kSlotsFloorBudget + kSlotsPerEntryBudget * static_cast<int64_t>(entries.size());
  const std::string* lastKey = nullptr;
  for (const auto& [key, info] : entries) {
    if (lastKey == nullptr || *lastKey != key) {
      pf.keyIndex.emplace(key, static_cast<int>(pf.keyBegin.size()));
      pf.keyBegin.push_back(static_cast<int>(pf.entries.size()));
      lastKey = &key;
    }
    if (info.getIndex() < 0) continue;  // names no point; never weighed
    PackedEntry e{info.getIndex(), 0, 0, static_cast<int>(pf.probs.size())};
    const std::map<int, double>& d = info.getDistribution();
    if (!d.empty()) {
      e.minSlot = d.begin()->first / pf.step;
      const int64_t span = d.rbegin()->first / pf.step - e.minSlot + 1;
      if (span > kMaxSlotsPerEntry ||
          static_cast<int64_t>(pf.probs.size()) + span > budget) {
        packed_[floorIndex] = PackedFloor();
        return;
      }
      e.nSlots = static_cast<int>(span);
      pf.probs.resize(pf.probs.size() + static_cast<size_t>(span), kAbsent);
      for (const auto& [bin, p] : d) {
        if (!std::isfinite(p) || p < 0.0) {
          packed_[floorIndex] = PackedFloor();
          return;
        }
        pf.probs[static_cast<size_t>(e.offset + (bin / pf.step - e.minSlot))] = p;
      }
    }
    pf.entries.push_back(e);
  }
  pf.keyBegin.push_back(static_cast<int>(pf.entries.size()));
  pf.usable = true;
  packed_[floorIndex] = std::move(pf);
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
  // Levels at the ends of the int range (damaged surveys) put theta just
  // outside it; the bin arithmetic is kept defined there.
  const int t = theta <= static_cast<double>(INT_MIN) ? INT_MIN
                : theta >= static_cast<double>(INT_MAX) ? INT_MAX
                                                        : static_cast<int>(theta);
  const int s = t - t % w;
  distribution[s] = 1.0 - tail(static_cast<double>(s) + w);
  if (static_cast<int64_t>(s) + w > 119) return;
  // 64 bits: a huge width must not wrap the bin start back below 120.
  for (int64_t b = static_cast<int64_t>(s) + w; b < 120; b += w) {
    const double next = tail(static_cast<double>(b + w));
    const double d = tail(static_cast<double>(b)) - next;
    if (d < 0) MV_LOG(11, "WOOOOOOOOT??");
    if (d > 0.001) distribution[static_cast<int>(b)] = d;
    // Once the tail is exactly 0 every later bin gets 0 and is left out;
    // a fit far below 0 (a damaged survey) would otherwise walk billions
    // of bins up to 120.
    if (next == 0.0) break;
  }
}

void Histogram::calculateWeights(SublocationState& state, std::vector<AccessPoint>& scan,
                                 int& floorIndex) {
  if (floorIndex < 0 || floorIndex >= static_cast<int>(floors_.size())) {
    MV_LOG(11, "ERROR Bad sublocation index = %d\n", floorIndex);
    return;
  }
  if (weighPacked(state, scan, static_cast<size_t>(floorIndex))) return;
  weighByMaps(state, scan, floorIndex);
}

// The weighting walked over the distribution maps themselves: for floors
// without a slot layout and for states not keyed 0..n-1.
void Histogram::weighByMaps(SublocationState& state, std::vector<AccessPoint>& scan,
                            int floorIndex) {
  std::vector<double>& weights = state.weights;
  const int nPoints = static_cast<int>(weights.size());
  weights.assign(weights.size(), 1.0);
  state.visibleCounts.resize(weights.size(), 0);

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
            const int64_t other = static_cast<int64_t>(bin) - shift;
            if (other < INT_MIN || other > INT_MAX) continue;  // no such bin
            auto q = eb->getDistribution().find(static_cast<int>(other));
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
    for (int idx = 0; idx < nPoints; ++idx) {
      if (weights[idx] != 0.0 && state.visibleCounts[idx] >= t) {
        threshold = t;
        break;
      }
    }
  }
  state.weightSum = 0.0;
  if (threshold == 0) {
    // Nothing matched anywhere: the untouched 1.0 weights carry no evidence
    // and must not outweigh floors where the scan did match.
    std::fill(weights.begin(), weights.end(), 0.0);
  } else {
    for (int idx = 0; idx < nPoints; ++idx) {
      double& weight = weights[idx];
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

// The weighting over the slot layout. Visits the same entries, multiplies
// the same probabilities in the same order and so gives the same weights as
// the map walk. False, with the state untouched, when the floor has no slot
// layout or the state is not keyed 0..n-1.
bool Histogram::weighPacked(SublocationState& state, const std::vector<AccessPoint>& scan,
                            size_t floorIndex) {
  if (floorIndex >= packed_.size() || !packed_[floorIndex].usable) return false;
  const PackedFloor& pf = packed_[floorIndex];
  const int n = static_cast<int>(state.weights.size());
  weightBuf_.assign(static_cast<size_t>(n), 1.0);
  countBuf_.assign(static_cast<size_t>(n), 0);
  for (size_t i = 0; i < countBuf_.size() && i < state.visibleCounts.size(); ++i) {
    countBuf_[i] = state.visibleCounts[i];
  }
  double* weight = weightBuf_.data();
  int* count = countBuf_.data();
  const double* probs = pf.probs.data();
  const PackedEntry* entries = pf.entries.data();
  const int w = UsableWidth(floors_[floorIndex].getWidth());

  keyOfScan_.resize(scan.size());
  for (size_t i = 0; i < scan.size(); ++i) {
    auto it = pf.keyIndex.find(scan[i].getBssid());
    keyOfScan_[i] = it == pf.keyIndex.end() ? -1 : it->second;
  }

  if (!differential_) {
    for (size_t i = 0; i < scan.size(); ++i) {
      const int k = keyOfScan_[i];
      int level;
      if (k < 0 || !LevelOf(-scan[i].getRssi(), level)) continue;
      const int64_t slot = BinOf(level, w) / pf.step;
      for (int j = pf.keyBegin[k]; j < pf.keyBegin[k + 1]; ++j) {
        const PackedEntry& e = entries[j];
        const int64_t s = slot - e.minSlot;
        if (e.point >= n || s < 0 || s >= e.nSlots) continue;
        const double p = probs[e.offset + s];
        if (p == kAbsent) continue;
        weight[e.point] *= p;
        count[e.point] += 1;
      }
    }
    FinishWeights(state, weightBuf_, countBuf_);
    return true;
  }

  // Columns of the heard keys in firstAt_: per point, the first entry of
  // each heard key there, so that a pair is found without a search.
  const int nKeys = static_cast<int>(pf.keyIndex.size());
  if (static_cast<int>(heardSlot_.size()) < nKeys) heardSlot_.resize(static_cast<size_t>(nKeys), -1);
  heardKeys_.clear();
  for (int k : keyOfScan_) {
    if (k >= 0 && heardSlot_[k] < 0) {
      heardSlot_[k] = static_cast<int>(heardKeys_.size());
      heardKeys_.push_back(k);
    }
  }
  const size_t nHeard = heardKeys_.size();
  // Every cell is -1 between scans; only the cells set here are reset below.
  if (firstAt_.size() < nHeard * static_cast<size_t>(n)) {
    firstAt_.resize(nHeard * static_cast<size_t>(n), -1);
  }
  for (size_t u = 0; u < nHeard; ++u) {
    const int k = heardKeys_[u];
    for (int j = pf.keyBegin[k]; j < pf.keyBegin[k + 1]; ++j) {
      if (entries[j].point >= n) continue;
      int& cell = firstAt_[static_cast<size_t>(entries[j].point) * nHeard + u];
      if (cell < 0) cell = j;
    }
  }

  pairShift_.resize(scan.size());
  pairUsed_.resize(scan.size());
  for (size_t ia = 1; ia < scan.size(); ++ia) {
    const AccessPoint& a = scan[ia];
    const int ka = keyOfScan_[ia];
    if (ka < 0) continue;
    if (!std::isfinite(a.getRssi()) || std::fabs(a.getRssi()) > kMaxRssiMagnitude) continue;
    for (size_t ib = 0; ib < ia; ++ib) {
      const int kb = keyOfScan_[ib];
      int d = 0;
      pairUsed_[ib] = kb >= 0 && kb != ka && LevelOf(scan[ib].getRssi() - a.getRssi(), d);
      if (pairUsed_[ib]) pairShift_[ib] = (d - d % w) / pf.step;
    }
    for (int j = pf.keyBegin[ka]; j < pf.keyBegin[ka + 1]; ++j) {
      const PackedEntry& e = entries[j];
      const int idx = e.point;
      if (idx >= n) continue;
      const int* row = &firstAt_[static_cast<size_t>(idx) * nHeard];
      const double* pe = probs + e.offset;
      for (size_t ib = 0; ib < ia; ++ib) {
        if (!pairUsed_[ib]) continue;
        const int jb = row[heardSlot_[keyOfScan_[ib]]];
        if (jb < 0) continue;
        const PackedEntry& b = entries[jb];
        const double* pb = probs + b.offset;
        // Slot s of e holds bin (e.minSlot + s); b's slot for that bin less
        // the shift is s + off.
        const int64_t off = e.minSlot - pairShift_[ib] - b.minSlot;
        double pair = 0.0;
        for (int s = 0; s < e.nSlots; ++s) {
          if (pe[s] == kAbsent) continue;
          const int64_t t = s + off;
          if (t < 0 || t >= b.nSlots || pb[t] == kAbsent) continue;
          pair += pe[s] * pb[t];
        }
        weight[idx] *= pair;
        count[idx] += 1;
      }
    }
  }

  for (size_t u = 0; u < nHeard; ++u) {
    const int k = heardKeys_[u];
    for (int j = pf.keyBegin[k]; j < pf.keyBegin[k + 1]; ++j) {
      if (entries[j].point < n) firstAt_[static_cast<size_t>(entries[j].point) * nHeard + u] = -1;
    }
    heardSlot_[k] = -1;
  }
  FinishWeights(state, weightBuf_, countBuf_);
  return true;
}
