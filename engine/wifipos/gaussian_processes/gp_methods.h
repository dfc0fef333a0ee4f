// Gaussian-process correction of the particle filter: how well each particle
// (a candidate position on the current floor) explains the current radio
// measurements, by Gaussian-process regression over the radio map ("full",
// "fixed") or a path-loss model around the floor's beacons ("normal").
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "wifipos/gaussian_processes/particle.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/navigation_map/gp_params.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/sensor_value.h"

namespace gp_detail {
// Points [begin, end) of a floor's point order within reach of a position,
// and the y factor of their row.
struct BlockRow {
  int begin, end;
  double ey[4];  // per position summed together
};
// out[i] = log(v[i]) for i < n, within an ulp of std::log.
void Logs(const double* v, int n, double* out);
// The instruction sets the vector sums were built for (Highway's target
// bits), and whether the one that runs now fuses its multiply-adds (for
// tests and benchmarks).
long long VectorTargets();
bool VectorFusesMultiplyAdd();
// The instruction set (Highway's target bit) the sums run on now, and a
// restriction of them to the processor's other ones, which later questions
// about the supported targets keep (for benchmarks and tests).
long long VectorTargetInUse();
void AvoidVectorTargets(long long targets);
}  // namespace gp_detail

// Everything one floor needs for the corrections, built once.
class SublocationGP {
 public:
  // Trains and predicts as the kit does, or as the original did.
  explicit SublocationGP(const EngineBehaviour& behaviour) : behaviour_(behaviour) {}
  // Copies the floor's normal-mode A and B, fixed-mode ell, beacons and GP
  // parameter records; outside the normal mode also its key list, radio map
  // and reference points. Returns 0.
  int fillGpSublocation(SublocationMap& floor, int& mode);
  // Signal matrix: one row per key, one column per point, the mean RSSI or
  // exactly 1.0 where the key was not measured. 0, or 4 for a floor without
  // points or keys (logged; the matrix is then empty). Training reads it and
  // then releases it.
  int fillRadioMap(SublocationMap& floor);
  int fillReferencePoints(SublocationMap& floor);
  // Outside the normal mode: transformCovarianceParameters, then
  // calculateAdditionalVariables. Returns 0.
  int fillGpSublocation2(int& mode);
  // Slot 5 -> exp(slot 5)^2, slot 6 -> exp(slot 6)^2, slot 7 -> 2 exp(slot 7)^2.
  // The record list is first made as long as the key list (missing records
  // are all zero). Returns 0.
  int transformCovarianceParameters();
  // Trains every key: its active points and the regression coefficients
  // K^-1 r. A kernel that is singular or nearly so (coincident points, no
  // noise term) is regularised with growing diagonal jitter; a key whose
  // system still has no finite solution gets zero coefficients and predicts
  // its mean. A key whose parameters are not finite (or whose length scale is
  // not positive) is marked unusable and left out of the corrections.
  // In the fixed mode the kit adds a noise term to the kernel's diagonal
  // (the key record's noise over signal variance, at least 1e-2) so that
  // dense surveys train to bounded coefficients; classic training has none.
  // The signal matrix is released afterwards. Returns 0.
  int calculateAdditionalVariables(int& mode);
  const EngineBehaviour& behaviour() const { return behaviour_; }
  // Solves the n x n system a x = b (a row by row) by Givens rotations and
  // back substitution. 0 on success; 4 when n <= 0 or the sizes do not fit
  // (x untouched), or when a pivot is zero or the solution is not finite
  // (x holds what was computed).
  static int solveLinearSystem(const std::vector<double>& a, const std::vector<double>& b,
                               std::vector<double>& x, int n);

  const std::vector<std::vector<double>>& getSignals() const { return signals_; }
  // Row k holds count[k] coefficients, one per active point of key k.
  const std::vector<std::vector<double>>& getAlpha() const { return alpha_; }
  // Row k lists, ascending, the points where key k was measured.
  const std::vector<std::vector<int>>& getActivePoints() const { return active_; }
  const std::vector<int>& getCounts() const { return count_; }
  // Per key: 1 when its parameters allow a prediction.
  const std::vector<char>& getUsable() const { return usable_; }
  const std::vector<std::pair<double, double>>& getPoints() const { return points_; }
  const std::vector<Beacon>& getBeacons() const { return beacons_; }
  const std::vector<GpParams>& getParameters() const { return params_; }
  int getNumberOfKeys() const { return nKeys_; }
  double getA() const { return a_; }
  double getB() const { return b_; }
  double getEll() const { return ell_; }

  // The kernel part of key k's prediction at (x, y): the sum over its active
  // points of alpha * exp(-d^2 / 2 ell^2). Terms far enough away to be
  // negligible are left out; what they could add together is bounded by
  // neglectedBound(). 0.0 for a key out of range or without usable training;
  // NaN for a position that is not finite.
  double kernelSum(int k, double x, double y) const;
  // Upper bound, in dBm, of the terms kernelSum leaves out: kKitNeglectedBound
  // for the kit's behaviour, kNeglectedBound for the original one. Set by
  // training.
  double neglectedBound() const {
    return behaviour_.neglectsTermsBelowRadioNoise() ? kKitNeglectedBound : kNeglectedBound;
  }
  static constexpr double kNeglectedBound = 1e-10;
  // The predictions' residuals are weighed against a noise variance of
  // about 10 dBm^2: a prediction off by 0.01 dBm moves a key's log-likelihood
  // term by residual x 0.01 / 10, a few thousandths for residuals of a few
  // dBm, while the cut-off radius shrinks by a quarter to a third.
  static constexpr double kKitNeglectedBound = 1e-2;

  // The kernel sums of a set of keys, position after position. Keys that
  // share a length scale are summed together in one pass over the points
  // near the position, their coefficients side by side point by point. The
  // caller owns the block, so the floor state stays read-only; a copy of a
  // block is empty (it is a cache of one floor state).
  class KeyBlock {
   public:
    KeyBlock() = default;
    KeyBlock(const KeyBlock&) {}
    KeyBlock& operator=(const KeyBlock&) {
      forget();
      return *this;
    }
    // Drops what is held; needed before the block serves another floor
    // state that may sit at the same address.
    void forget() {
      floor_ = nullptr;
      keys_.clear();
    }

   private:
    friend class SublocationGP;
    struct Chunk {
      int group = 0;
      int vectors = 0;         // coefficients per point, in vectors of width_
      double radius = 0.0;     // covers the cut-off of every key in it
      std::vector<int> slots;  // the block's index of each key in it
      std::vector<double> coef;
      int offset = 0;  // where the first point's coefficients start in coef
    };
    const SublocationGP* floor_ = nullptr;
    std::vector<int> keys_;
    int width_ = 0;      // doubles to a vector of the chunks' sums
    int positions_ = 2;  // positions one pass of them takes at most
    std::vector<Chunk> chunks_;
    std::vector<int> alone_;  // summed key by key
    std::vector<double> ex_, ey_, lanes_;
    std::vector<gp_detail::BlockRow> rows_;
  };
  // Makes block ready for keys on this floor, laid out for the vectors of
  // the instruction set the sums run on; nothing is rebuilt when it already
  // is.
  void prepareBlock(const std::vector<int>& keys, KeyBlock& block) const;
  // sums[i] = kernelSum(keys[i], x, y) for the keys of the last
  // prepareBlock, equal to rounding.
  void kernelSums(KeyBlock& block, double x, double y, double* sums) const;
  // The same at two positions, sharing the work when they are close.
  void kernelSums(KeyBlock& block, double x0, double y0, double x1, double y1, double* sums0,
                  double* sums1) const;
  // The same at n positions (sums[q] for position q): those within a few
  // metres of each other share one pass over their points, kMaxPositions at
  // most; the others go in pairs of neighbours or alone. A position's sums
  // depend on the positions it shares a pass with only in what the cut-off
  // leaves out (neglectedBound()) and in rounding.
  static constexpr int kMaxPositions = 4;
  void kernelSums(KeyBlock& block, int n, const double* x, const double* y,
                  double* const* sums) const;
  // Whether key k's sums come from the per-axis factors (for tests).
  bool usesAxisFactors(int k) const {
    return k >= 0 && k < static_cast<int>(kernels_.size()) && kernels_[k].group >= 0;
  }

 private:
  // Key k's training data laid out for the prediction: points and their
  // coefficients in flat arrays sorted by the cells of a uniform grid (row
  // by row), so the points near a position are a few contiguous runs.
  struct KeyKernel {
    std::vector<double> x, y, alpha;
    std::vector<int> start;  // per cell (row-major) its first point; one more at the end
    double twoEll2 = 1.0;
    double radius2 = 0.0;  // beyond this squared distance terms are dropped
    double x0 = 0.0, y0 = 0.0, cell = 1.0;
    int nx = 0, ny = 0;
    bool empty = true;  // nothing to add: no points, or coefficients all 0
    // Set when the key is summed by axis factors (exp(-dx^2/c) exp(-dy^2/c)
    // over the floor's distinct coordinates) instead of the grid above:
    // its length-scale group, and where its points sit in the floor's point
    // order, beside their coefficients in alpha.
    int group = -1;
    std::vector<int> at;
  };
  // Keys of one length scale summed by axis factors; radius covers the
  // cut-off of every one of them.
  struct AxisGroup {
    double twoEll2 = 1.0;
  };
  void buildKernel(int k, double twoEll2);
  void buildAxisGroups();
  double gridSum(const KeyKernel& kk, double x, double y) const;
  // The keys' cut-off radius, with a hair of slack.
  double cutoff(const KeyKernel& kk) const;
  // First point of row v (of the floor's point order) whose x index is at
  // least u.
  int rowPoint(int v, int u) const;
  void chunkRows(KeyBlock& block, const AxisGroup& g, double radius, int n, const double* x,
                 const double* y, int& u0, int& exStride) const;
  void sumsAt(KeyBlock& block, int n, const double* x, const double* y, double* const* sums) const;


  std::vector<std::vector<double>> signals_;
  std::vector<std::vector<double>> alpha_;
  std::vector<std::vector<int>> active_;
  std::vector<int> count_;
  std::vector<char> usable_;
  std::vector<std::pair<double, double>> points_;
  std::vector<Beacon> beacons_;
  std::vector<std::string> keys_;
  std::vector<GpParams> params_;
  int nKeys_ = 0;
  int nPoints_ = 0;
  double a_ = 0.0;
  double b_ = 0.0;
  double ell_ = 0.0;
  EngineBehaviour behaviour_;
  std::vector<KeyKernel> kernels_;
  // The points' distinct x and y values, ascending; the points ordered by
  // row (y) and then x: each one's x index, and where each row begins.
  std::vector<double> ux_, uy_;
  std::vector<int> orderCol_, rowBegin_;
  // Per row, rowPoint for every x index (when that table stays small).
  std::vector<int> rowPoints_;
  // Buckets of equal width over the distinct x values, each with the first
  // x index at or beyond it: the x values near a coordinate without a search.
  std::vector<int> xBucket_;
  double xOrigin_ = 0.0, xScale_ = 0.0;
  int xBucketOf(double v) const;
  std::vector<AxisGroup> groups_;
};

class GaussianProcesses {
 public:
  // Takes mode, mean model, noise variance and the beacon-power and
  // differential flags from the map's navigation settings and builds one
  // floor state per floor. A noise variance that is not a positive finite
  // number is replaced by 10.0 (logged). Returns 0.
  int initialize(NavigationMap& map);

  void setSublocationIndex(const int& index) {
    if (index != floorIndex_) evaluated_.clear();
    floorIndex_ = index;
  }
  int getMode() const { return mode_; }
  double getNoiseVariance() const { return noiseVariance_; }
  const std::vector<SublocationGP>& getSublocations() const { return floors_; }

  // Full and fixed modes: one value per key of the current floor's key list
  // (dBm, or exactly 1.0 for a key not heard).
  // Each call starts a new window.
  void setCurrentSignals(const std::vector<double>& signals) {
    signals_ = signals;
    evaluated_.clear();
  }
  // Normal mode; each call starts a new window.
  void setBleSignals(const std::vector<BeaconMeas>& measurements) {
    measurements_ = measurements;
    evaluated_.clear();
  }
  // Copies the particles, moved back by (backX, backY) m on the floor, and
  // resets the new weights to 1.0 each.
  void setParticles(const std::vector<Particle>& particles, double backX = 0.0, double backY = 0.0);

  // One likelihood factor per particle into the new weights: each heard key's
  // level against its prediction, the mean the key was trained with plus its
  // kernel sum (the original fixed mode adds the record's log-distance term
  // to a fit trained without it). 0 when they are
  // usable; 4 when nothing was measured, there are no particles, the floor
  // index is out of range, or every factor is 0. Particles of weight 0 keep
  // the factor 1.0. The factors are the products of the per-measurement
  // densities (each raised to 1/n); when that product would underflow or
  // overflow a double, all evaluated particles are scaled by one common
  // factor so the most likely gets 1.0. Never NaN.
  int correction();
  std::vector<double> getNewWeights() const { return newWeights_; }
  // Particle positions evaluated by the corrections so far (each distinct
  // position once per window); for benchmarks and tests.
  uint64_t getEvaluations() const { return evaluations_; }

 private:
  // Which live particles need an evaluation in this window (todo_: the
  // first particle of each position not evaluated yet), and afterwards every
  // live particle's log-likelihood from the window's evaluations.
  void planEvaluation();
  void reuseEvaluation(std::vector<double>& logWeights);
  void fullModeCorrection(const SublocationGP& floor, std::vector<double>& logWeights);
  void normalModeCorrection(const SublocationGP& floor, std::vector<double>& logWeights);

  bool useBeaconPower_ = false;
  bool differential_ = false;
  int mode_ = 122;
  int meanModel_ = 106;
  int floorIndex_ = 0;
  double exponent_ = 1.0;
  double noiseVariance_ = 10.0;
  std::vector<Particle> particles_;
  std::vector<double> newWeights_;
  std::vector<double> signals_;
  std::vector<SublocationGP> floors_;
  std::vector<BeaconMeas> measurements_;

  struct PositionKey {
    uint64_t x, y;
    bool operator==(const PositionKey&) const = default;
  };
  struct PositionHash {
    size_t operator()(const PositionKey& k) const {
      return static_cast<size_t>((k.x * 0x9E3779B97F4A7C15ULL) ^ (k.y + 0x632BE59BD9B4E019ULL + (k.x >> 29)));
    }
  };
  // Log-likelihood of every position evaluated in the current window.
  std::unordered_map<PositionKey, double, PositionHash> evaluated_;
  std::unordered_map<PositionKey, size_t, PositionHash> pending_;
  std::vector<size_t> todo_;
  uint64_t evaluations_ = 0;
  SublocationGP::KeyBlock block_;
  std::vector<double> sums_, logs_;
  // Positions to evaluate, ordered by 2 m bands of y and then x.
  struct Placement {
    double band, x;
    size_t j;
  };
  std::vector<Placement> order_;
};
