// What the Gaussian-process source files share (internal): the model of one
// key for training and prediction, and the grid cell of a coordinate.
#pragma once

#include <cmath>

#include "wifipos/navigation_map/gp_params.h"

namespace gp_internal {

constexpr double kFixedMean = -115.0;

inline double LogDistance(double dx, double dy) { return std::log(dx * dx + dy * dy + 1e-5); }

// Training and prediction parameters of one key.
struct KeyModel {
  double mu, a, b, xAp, yAp, twoEll2, signalVar, noiseVar;
};

// The fixed mode's kernel has no noise term, and survey points closer than
// its length scale make that kernel nearly singular: the coefficients then
// grow to ~1e16 with alternating signs and every prediction is rounding noise
// of several dBm that moves with the order of the sum. The kit trains it with
// the noise the key's record states (its noise variance over its signal
// variance, the ratio the full mode trains with), and never with less than
// this: with the kernel's largest eigenvalue at most the number of points
// within a length scale (~30 for a dense survey), 1e-2 keeps the condition
// number near 1e3 while shrinking only what varies from point to point by
// less than a tenth of the signal's spread, which is survey noise.
constexpr double kFixedMinNugget = 1e-2;

inline double FixedNugget(const GpParams& p) {
  const double ratio = p[GP_PARAM_SN] / p[GP_PARAM_SF];
  // A record without parameters (signal variance 1) says nothing of noise.
  const bool stated = std::fabs(p[GP_PARAM_SF] - 1.0) >= 1e-6 && std::isfinite(ratio) && ratio > 0.0;
  return stated ? std::max(ratio, kFixedMinNugget) : kFixedMinNugget;
}

inline KeyModel ModelFor(const GpParams& p, bool fixed, bool addNugget, double ell) {
  if (fixed) {
    return {kFixedMean,       0.0, 0.0, p[GP_PARAM_X_AP], p[GP_PARAM_Y_AP], 2.0 * ell * ell, 1.0,
            addNugget ? FixedNugget(p) : 0.0};
  }
  return {p[GP_PARAM_MU], p[GP_PARAM_A],  p[GP_PARAM_B],  p[GP_PARAM_X_AP],
          p[GP_PARAM_Y_AP], p[GP_PARAM_ELL], p[GP_PARAM_SF], p[GP_PARAM_SN]};
}

// Index of the grid cell holding coordinate offset v (in cells), clamped to
// the grid; clamping in double keeps far or huge positions defined.
inline int CellIndex(double v, int n) {
  v = std::floor(v);
  if (!(v > 0.0)) return 0;
  if (v > n - 1) return n - 1;
  return static_cast<int>(v);
}

}  // namespace gp_internal
