// Histogram method: per reference point and transmitter, a probability
// distribution over signal-level bins built from the survey, and the
// weighting of a floor's reference points by how probable a scan is there.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "wifipos/navigation_class/sublocation_state.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/sensor_value.h"

// One transmitter at one reference point: the point's index and the
// distribution, bin (lowest positive level of the bin, dBm magnitude) to
// probability.
class ApRpInfo {
 public:
  ApRpInfo() = default;
  ApRpInfo(int index, const std::map<int, double>& distribution)
      : index_(index), distribution_(distribution) {}

  int getIndex() const { return index_; }
  void setIndex(int index) { index_ = index; }
  const std::map<int, double>& getDistribution() const { return distribution_; }
  std::map<int, double>& getDistribution() { return distribution_; }
  void setDistribution(const std::map<int, double>& d) { distribution_ = d; }

 private:
  int index_ = 0;
  std::map<int, double> distribution_;
};

// The distributions of one floor: one element per radio-map entry, keyed by
// transmitter key, equal keys in radio-map order; and the floor's bin width.
class SublocationHistogram {
 public:
  std::multimap<std::string, ApRpInfo>& getEntries() { return entries_; }
  const std::multimap<std::string, ApRpInfo>& getEntries() const { return entries_; }
  int getWidth() const { return width_; }
  void setWidth(int width) { width_ = width; }

 private:
  std::multimap<std::string, ApRpInfo> entries_;
  int width_ = 0;
};

class Histogram {
 public:
  // Whether a sparse survey's samples spread over their neighbouring levels
  // (see histogramm.cc) follows the behaviour.
  explicit Histogram(const EngineBehaviour& behaviour) : behaviour_(behaviour) {}

  // Takes the distribution type and the differential flag from the map's
  // navigation settings (KNN group) and builds every floor's distributions.
  // Returns 0.
  int initialize(NavigationMap& map);

  // Builds the distributions of every floor of the map, one floor histogram
  // per floor in map order. A floor whose bin width is below 1 is built with
  // width 1 (and a log line). Levels with a count of 0 or less are not
  // samples. Returns 0.
  int fillHistograms(NavigationMap& map);

  // Replace a normalised histogram (level -> probability) by its bins of the
  // given width (summed) or by a fitted Weibull distribution over such bins.
  // A width below 1 is taken as 1.
  void calcBinned(std::map<int, double>& distribution, int& width);
  void calcWeibull(std::map<int, double>& distribution, int& width);

  // Weights the points of the floor at floorIndex for the scan (transmitters
  // with their averaged RSSI). The state must come cleared, with one weights
  // entry per reference point. Fills weights, visibleCounts, weightSum and
  // globalWeights (a copy of weights, normalised over floors later). A scan
  // that matches nothing at any point leaves every weight 0 and weightSum 0:
  // the floor has no evidence. Transmitters with a non-finite or absurd RSSI
  // (magnitude above 10^6 dBm) are passed over. An out-of-range floorIndex
  // changes nothing.
  void calculateWeights(SublocationState& state, std::vector<AccessPoint>& scan,
                        int& floorIndex);

  // True when most distributions of the floor at floorIndex come from too
  // few samples to be taken level by level (the kit's defaults only; see
  // histogramm.cc): single points' weights are then noisy, and a fix should
  // rest on a neighbourhood of them. False for an unknown floor.
  bool sparseSurvey(int floorIndex) const {
    return floorIndex >= 0 && static_cast<size_t>(floorIndex) < sparse_.size() &&
           sparse_[static_cast<size_t>(floorIndex)] != 0;
  }

  // Both apply from the next initialize or fillHistograms: the layout the
  // weighting reads is built for one type and one mode.
  int getType() const { return type_; }
  void setType(int type) { type_ = type; }
  void setDifferential(bool on) { differential_ = on; }
  // The behaviour the layouts are built with.
  const EngineBehaviour& behaviour() const { return behaviour_; }

 private:
  // The distributions of one floor laid out for the per-scan weighting,
  // built straight from the radio map, in one of two forms.
  // Plain weighting (a reading looks up one bin per transmitter): per key
  // its distinct bins, and per (key, bin) the points whose distribution has
  // that bin with the probability, in radio-map order; a reading touches
  // only the entries it multiplies.
  // Differential weighting (pairs of whole distributions): entries grouped
  // by key (radio-map order kept within a key), each with its bins as a run
  // of consecutive slots in one flat array. A floor whose bins are too
  // spread out for slots keeps its distributions as maps instead (byMaps_).
  struct PackedEntry {
    int point;    // reference-point index; negative ones are never weighed
    int minSlot;  // slot of the entry's lowest bin
    int nSlots;   // slots from the lowest to the highest bin
    int offset;   // position of the first slot in probs
  };
  struct PackedFloor {
    bool usable = false;
    int width = 1;  // bin width, at least 1
    int step = 1;   // levels per slot: the bin width, or 1 for unbinned levels
    std::vector<std::string> keys;  // ascending, as the radio map holds them
    std::unordered_map<std::string, int> keyIndex;
    std::vector<int> keyBegin;  // entries of key k: [keyBegin[k], keyBegin[k + 1])
    std::vector<PackedEntry> entries;
    std::vector<double> probs;  // 0 where the entry has no such bin
    // Plain form: bins of key k are bins[binBegin[k] .. binBegin[k + 1]),
    // ascending; the cells of bin row r are [cellBegin[r], cellBegin[r + 1]).
    std::vector<int> binBegin;
    std::vector<int> bins;
    std::vector<int> cellBegin;
    // The cells' points: 16 bits wide when every point index of the floor's
    // radio map fits (a cell is then 10 bytes instead of 12), else 32.
    std::vector<uint16_t> cellPoint16;
    std::vector<int> cellPoint;
    std::vector<double> cellProb;
  };

  // The distribution of one radio-map entry under the current type. Counts
  // the entry in entryCount_ and, when its samples were spread, in
  // sparseCount_.
  void distributionOf(const AccessPoint& entry, int width, std::map<int, double>& out);
  void packFloor(const SublocationMap& floor, size_t floorIndex);
  void packByBin(const RadioMap& radioMap, PackedFloor& pf);
  void weighByBin(const PackedFloor& pf, const std::vector<AccessPoint>& scan, int n);
  bool weighPacked(SublocationState& state, const std::vector<AccessPoint>& scan,
                   size_t floorIndex);
  void weighByMaps(SublocationState& state, std::vector<AccessPoint>& scan, int floorIndex);

  int type_ = 302;
  bool differential_ = true;
  EngineBehaviour behaviour_;
  std::vector<char> sparse_;  // per floor, see sparseSurvey
  // Entries built (of more than 10 samples) and of them spread, while one
  // floor's layout is built; a floor building them twice counts both times.
  size_t entryCount_ = 0;
  size_t sparseCount_ = 0;
  bool builtDifferential_ = true;  // the mode the layouts were built for

  std::vector<PackedFloor> packed_;
  // Per floor: its distribution maps when it has no slot layout, else empty.
  std::vector<SublocationHistogram> byMaps_;
  // Per-scan scratch, kept between scans so that a scan allocates nothing.
  std::vector<double> weightBuf_;
  std::vector<int> countBuf_;
  std::vector<int> keyOfScan_;
  std::vector<int64_t> slotOfScan_;
  std::vector<int> heardSlot_;       // per key index: column in firstAt_, or -1
  std::vector<int> heardKeys_;
  std::vector<int> firstAt_;         // point x heard key: first entry there, or -1
  std::vector<int64_t> pairShift_;
  std::vector<char> pairUsed_;
};
