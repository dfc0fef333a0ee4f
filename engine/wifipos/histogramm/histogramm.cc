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

// A bin the entry does not have holds 0 in its slot: every stored
// probability is finite and above 0 (an entry holding anything else sends
// its floor to the map walk), so 0 means absent, and a product with an
// absent bin adds exactly nothing to a pair's sum.
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


// A survey of a few dozen samples per transmitter leaves gaps between the
// levels it happened to record, and a reading that falls into one does not
// count at its own point at all, which weighs more than any probability. The
// kit spreads each sample over the neighbouring levels by a kernel whose
// width follows the sample count (a density estimate's usual rule, here 0.7
// standard deviations times n^-1/5, the spread capped so that the two modes
// of a bimodal transmitter do not set it). Below half a level the spread is
// left out: a survey of thousands of samples per transmitter keeps its
// histograms as they are.
constexpr double kSmoothWidthFactor = 0.7;
constexpr double kSmoothSpreadCapDb = 3.0;
constexpr double kSmoothMinSigma = 0.5;
// The kernel reaches this many standard deviations either side: about one
// level for a survey of a few dozen samples, each level a cell more that
// every reading of the transmitter visits.
constexpr double kSmoothReachSigmas = 1.5;
constexpr double kSmoothMinProbability = 1e-4;

// The kernel's standard deviation for a normalised histogram of this many
// samples; below kSmoothMinSigma (or not a number) it is not spread.
double SmoothingSigma(const std::map<int, double>& distribution, double samples) {
  double mean = 0.0;
  for (const auto& [level, p] : distribution) mean += level * p;
  double var = 0.0;
  for (const auto& [level, p] : distribution) var += (level - mean) * (level - mean) * p;
  const double spread = std::min(std::sqrt(var), kSmoothSpreadCapDb);
  return kSmoothWidthFactor * spread * std::pow(samples, -0.2);
}

bool SpreadsSamples(double sigma) { return sigma >= kSmoothMinSigma && std::isfinite(sigma); }

void SmoothSparse(std::map<int, double>& distribution, double sigma) {
  const int reach = static_cast<int>(std::ceil(kSmoothReachSigmas * sigma));
  std::vector<double> kernel(static_cast<size_t>(2 * reach + 1));
  double norm = 0.0;
  for (int d = -reach; d <= reach; ++d) {
    const double k = std::exp(-0.5 * d * d / (sigma * sigma));
    kernel[static_cast<size_t>(d + reach)] = k;
    norm += k;
  }
  std::map<int, double> spread;
  for (const auto& [level, p] : distribution) {
    for (int d = -reach; d <= reach; ++d) {
      const int64_t at = static_cast<int64_t>(level) + d;
      if (at < INT_MIN || at > INT_MAX) continue;
      spread[static_cast<int>(at)] += p * kernel[static_cast<size_t>(d + reach)] / norm;
    }
  }
  // The far tails would only add cells to every weighting.
  double total = 0.0;
  for (auto it = spread.begin(); it != spread.end();) {
    if (it->second < kSmoothMinProbability) {
      it = spread.erase(it);
    } else {
      total += it->second;
      ++it;
    }
  }
  if (!(total > 0.0) || !std::isfinite(total)) return;
  for (auto& [level, p] : spread) p /= total;
  distribution.swap(spread);
}

}  // namespace

int Histogram::initialize(NavigationMap& map) {
  const CommonNavProperties& settings = map.getNavigationProperties();
  type_ = settings.knn.Histogram_type;
  differential_ = settings.knn.Differention_mode;
  return fillHistograms(map);
}

int Histogram::fillHistograms(NavigationMap& map) {
  const std::vector<SublocationMap>& floors = std::as_const(map).getSublocationsVector();
  // Released before the new layouts are built, so that a rebuild never
  // holds two of them.
  packed_.clear();
  byMaps_.clear();
  packed_.resize(floors.size());
  byMaps_.resize(floors.size());
  builtDifferential_ = differential_;
  sparse_.assign(floors.size(), false);
  for (size_t f = 0; f < floors.size(); ++f) {
    sparseCount_ = 0;
    entryCount_ = 0;
    packFloor(floors[f], f);
    sparse_[f] = 2 * sparseCount_ > entryCount_;
  }
  return 0;
}

void Histogram::distributionOf(const AccessPoint& entry, int width,
                               std::map<int, double>& out) {
  out.clear();
  double total = 0.0;
  for (const auto& [level, count] : entry.getHistogram()) {
    if (count > 0) total += count;
  }
  for (const auto& [level, count] : entry.getHistogram()) {
    if (count > 0) out.emplace_hint(out.end(), level, count / total);
  }
  if (total > 10.0) ++entryCount_;
  if (behaviour_.spreadsSparseHistograms() && total > 10.0) {
    const double sigma = SmoothingSigma(out, total);
    if (SpreadsSamples(sigma)) {
      ++sparseCount_;
      // A fitted distribution is smooth already.
      if (type_ != 301) SmoothSparse(out, sigma);
    }
  }
  if (type_ == 302 || type_ == 301) {
    if (total <= 10.0) {
      out.clear();  // too few samples to say anything
    } else if (type_ == 302) {
      calcBinned(out, width);
    } else {
      calcWeibull(out, width);
    }
  }
}

// Two passes over the radio map: the first sizes every array exactly (a
// venue's layout runs to tens of megabytes, and growing it by doubling would
// hold up to twice that for a while), the second fills them.
void Histogram::packFloor(const SublocationMap& floor, size_t floorIndex) {
  const RadioMap& radioMap = floor.getRadioMap();
  int width = floor.getProperties().Histogram_interval_width;
  if (width < 1) {
    // Every bin is a multiple of the width; without one there are no bins.
    MV_LOG(11, "Histogram interval width %d of %d sublocation is not positive, 1 is used\n",
           width, floor.getId());
    width = 1;
  }
  PackedFloor& pf = packed_[floorIndex];
  pf = PackedFloor();
  pf.width = width;
  if (!builtDifferential_) {
    packByBin(radioMap, pf);
    return;
  }
  // Binned and fitted distributions only hold multiples of the width, so
  // one slot per bin; raw levels need one slot per level unless they all
  // are multiples too.
  pf.step = width;
  const bool fitted = type_ == 302 || type_ == 301;
  size_t nKeys = 0;
  for (auto it = radioMap.begin(); it != radioMap.end(); it = radioMap.upper_bound(it->first)) {
    ++nKeys;
  }
  // The kit's spread levels of raw distributions fall between multiples.
  if (!fitted && behaviour_.spreadsSparseHistograms()) pf.step = 1;
  if (!fitted && pf.step != 1) {
    for (const auto& [key, entry] : radioMap) {
      for (const auto& [level, count] : entry.getHistogram()) {
        if (count > 0 && level % width != 0) pf.step = 1;
      }
    }
  }

  std::map<int, double> d;
  const int64_t budget =
      kSlotsFloorBudget + kSlotsPerEntryBudget * static_cast<int64_t>(radioMap.size());
  int64_t slots = 0;
  bool usable = true;
  for (const auto& [key, entry] : radioMap) {
    distributionOf(entry, width, d);
    if (d.empty()) continue;
    const int64_t span = static_cast<int64_t>(d.rbegin()->first / pf.step) -
                         d.begin()->first / pf.step + 1;
    slots += span;
    bool finite = true;
    for (const auto& [bin, p] : d) finite = finite && std::isfinite(p) && p > 0.0;
    if (!finite || span > kMaxSlotsPerEntry || slots > budget) {
      usable = false;
      break;
    }
  }

  if (!usable) {
    pf = PackedFloor();
    pf.width = width;
    SublocationHistogram& out = byMaps_[floorIndex];
    out.setWidth(width);
    for (const auto& [key, entry] : radioMap) {
      distributionOf(entry, width, d);
      out.getEntries().emplace_hint(out.getEntries().end(), key,
                                    ApRpInfo(entry.getRefPointIndex(), d));
    }
    return;
  }

  pf.keys.reserve(nKeys);
  pf.keyIndex.reserve(nKeys);
  pf.keyBegin.reserve(nKeys + 1);
  pf.entries.reserve(radioMap.size());
  pf.probs.assign(static_cast<size_t>(slots), 0.0);
  const RadioKey* lastKey = nullptr;
  int offset = 0;
  for (const auto& [key, entry] : radioMap) {
    if (lastKey == nullptr || *lastKey != key) {
      pf.keyIndex.emplace(key, static_cast<int>(pf.keys.size()));
      pf.keys.push_back(key);
      pf.keyBegin.push_back(static_cast<int>(pf.entries.size()));
      lastKey = &key;
    }
    distributionOf(entry, width, d);
    PackedEntry e{entry.getRefPointIndex(), 0, 0, offset};
    if (!d.empty()) {
      e.minSlot = d.begin()->first / pf.step;
      e.nSlots = d.rbegin()->first / pf.step - e.minSlot + 1;
      for (const auto& [bin, p] : d) {
        pf.probs[static_cast<size_t>(offset + (bin / pf.step - e.minSlot))] = p;
      }
      offset += e.nSlots;
    }
    pf.entries.push_back(e);
  }
  pf.keyBegin.push_back(static_cast<int>(pf.entries.size()));
  pf.usable = true;
}

void Histogram::packByBin(const RadioMap& radioMap, PackedFloor& pf) {
  struct Cell {
    int bin;
    int point;
    double p;
  };
  std::vector<Cell> cells;  // one key's, reused from key to key
  std::map<int, double> d;
  auto keyCells = [&](RadioMap::const_iterator from, RadioMap::const_iterator to) {
    cells.clear();
    for (auto it = from; it != to; ++it) {
      distributionOf(it->second, pf.width, d);
      for (const auto& [bin, p] : d) cells.push_back(Cell{bin, it->second.getRefPointIndex(), p});
    }
    // Stable: the points of one bin stay in radio-map order, the order in
    // which the weighting multiplies them.
    std::stable_sort(cells.begin(), cells.end(),
                     [](const Cell& a, const Cell& b) { return a.bin < b.bin; });
  };
  // First pass: sizes, so that every array is allocated once and exactly.
  size_t nKeys = 0;
  size_t nRows = 0;
  size_t nCells = 0;
  bool narrow = true;
  for (auto it = radioMap.begin(); it != radioMap.end();) {
    const auto end = radioMap.upper_bound(it->first);
    keyCells(it, end);
    for (size_t c = 0; c < cells.size(); ++c) {
      nRows += c == 0 || cells[c].bin != cells[c - 1].bin;
      narrow = narrow && cells[c].point >= 0 && cells[c].point <= UINT16_MAX;
    }
    nCells += cells.size();
    ++nKeys;
    it = end;
  }
  pf.keys.reserve(nKeys);
  pf.keyIndex.reserve(nKeys);
  pf.binBegin.reserve(nKeys + 1);
  pf.bins.reserve(nRows);
  pf.cellBegin.reserve(nRows + 1);
  if (narrow) {
    pf.cellPoint16.reserve(nCells);
  } else {
    pf.cellPoint.reserve(nCells);
  }
  pf.cellProb.reserve(nCells);
  for (auto it = radioMap.begin(); it != radioMap.end();) {
    const auto end = radioMap.upper_bound(it->first);
    pf.keyIndex.emplace(it->first, static_cast<int>(pf.keys.size()));
    pf.keys.push_back(it->first);
    pf.binBegin.push_back(static_cast<int>(pf.bins.size()));
    keyCells(it, end);
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c == 0 || cells[c].bin != cells[c - 1].bin) {
        pf.bins.push_back(cells[c].bin);
        pf.cellBegin.push_back(static_cast<int>(pf.cellProb.size()));
      }
      if (narrow) {
        pf.cellPoint16.push_back(static_cast<uint16_t>(cells[c].point));
      } else {
        pf.cellPoint.push_back(cells[c].point);
      }
      pf.cellProb.push_back(cells[c].p);
    }
    it = end;
  }
  pf.binBegin.push_back(static_cast<int>(pf.bins.size()));
  pf.cellBegin.push_back(static_cast<int>(pf.cellProb.size()));
  pf.usable = true;
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
  if (floorIndex < 0 || floorIndex >= static_cast<int>(packed_.size())) {
    MV_LOG(11, "ERROR Bad sublocation index = %d\n", floorIndex);
    return;
  }
  if (weighPacked(state, scan, static_cast<size_t>(floorIndex))) return;
  weighByMaps(state, scan, floorIndex);
}

// The differential weighting walked over the distribution maps themselves,
// for floors without a slot layout.
void Histogram::weighByMaps(SublocationState& state, std::vector<AccessPoint>& scan,
                            int floorIndex) {
  std::vector<double>& weights = state.weights;
  const int nPoints = static_cast<int>(weights.size());
  weights.assign(weights.size(), 1.0);
  state.visibleCounts.resize(weights.size(), 0);

  const SublocationHistogram& floor = byMaps_[static_cast<size_t>(floorIndex)];
  const auto& entries = floor.getEntries();
  const int w = UsableWidth(floor.getWidth());
  auto known = [&](int index) { return index >= 0 && index < nPoints; };

  {
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

// The plain weighting over the bin layout: per reading, the cells of its
// transmitter's bin, each point's factors in scan order and within a
// reading in radio-map order, as the map walk multiplies them.
void Histogram::weighByBin(const PackedFloor& pf, const std::vector<AccessPoint>& scan, int n) {
  double* weight = weightBuf_.data();
  int* count = countBuf_.data();
  const int* bins = pf.bins.data();
  for (size_t i = 0; i < scan.size(); ++i) {
    const int k = keyOfScan_[i];
    int level;
    if (k < 0 || !LevelOf(-scan[i].getRssi(), level)) continue;
    const int bin = BinOf(level, pf.width);
    const int* first = bins + pf.binBegin[static_cast<size_t>(k)];
    const int* last = bins + pf.binBegin[static_cast<size_t>(k) + 1];
    const int* row = std::lower_bound(first, last, bin);
    if (row == last || *row != bin) continue;
    const size_t r = static_cast<size_t>(row - bins);
    auto multiply = [&](const auto* points) {
      for (int c = pf.cellBegin[r]; c < pf.cellBegin[r + 1]; ++c) {
        const int point = points[c];
        // Negative point indexes fail this as well.
        if (static_cast<unsigned>(point) >= static_cast<unsigned>(n)) continue;
        weight[point] *= pf.cellProb[static_cast<size_t>(c)];
        count[point] += 1;
      }
    };
    if (pf.cellPoint.empty()) {
      multiply(pf.cellPoint16.data());
    } else {
      multiply(pf.cellPoint.data());
    }
  }
}

// The differential weighting over the slot layout. Visits the same entries, multiplies
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
  const int w = pf.width;
  // Negative point indexes fail this as well.
  auto weighed = [n](int point) { return static_cast<unsigned>(point) < static_cast<unsigned>(n); };

  keyOfScan_.resize(scan.size());
  for (size_t i = 0; i < scan.size(); ++i) {
    auto it = pf.keyIndex.find(scan[i].getBssid());
    keyOfScan_[i] = it == pf.keyIndex.end() ? -1 : it->second;
  }

  if (!builtDifferential_) {
    weighByBin(pf, scan, n);
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
      if (!weighed(entries[j].point)) continue;
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
      if (!weighed(idx)) continue;
      const int* row = &firstAt_[static_cast<size_t>(idx) * nHeard];
      const double* pe = probs + e.offset;
      for (size_t ib = 0; ib < ia; ++ib) {
        if (!pairUsed_[ib]) continue;
        const int jb = row[heardSlot_[keyOfScan_[ib]]];
        if (jb < 0) continue;
        const PackedEntry& b = entries[jb];
        const double* pb = probs + b.offset;
        // Slot s of e holds bin (e.minSlot + s); b's slot for that bin less
        // the shift is s + off. Only the slots both entries have can add
        // to the sum; within them an absent bin adds 0.
        const int64_t off = int64_t{e.minSlot} - pairShift_[ib] - b.minSlot;
        const int64_t lo = std::max<int64_t>(0, -off);
        const int64_t hi = std::min<int64_t>(e.nSlots, b.nSlots - off);
        double pair = 0.0;
        for (int64_t s = lo; s < hi; ++s) pair += pe[s] * pb[s + off];
        weight[idx] *= pair;
        count[idx] += 1;
      }
    }
  }

  for (size_t u = 0; u < nHeard; ++u) {
    const int k = heardKeys_[u];
    for (int j = pf.keyBegin[k]; j < pf.keyBegin[k + 1]; ++j) {
      if (weighed(entries[j].point)) firstAt_[static_cast<size_t>(entries[j].point) * nHeard + u] = -1;
    }
    heardSlot_[k] = -1;
  }
  FinishWeights(state, weightBuf_, countBuf_);
  return true;
}
