// What the particle filter's source files share (internal): angle wrapping
// and a finiteness check.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "wifipos/navigation_map/bmp_state.h"

namespace particle_filter_internal {

constexpr double kPi = 3.14159265358979323846;

constexpr double kTwoPi = 2.0 * kPi;

// Heading into [-pi, pi).
inline double WrapPi(double a) {
  if (a >= -kPi && a < kPi) return a;
  if (!std::isfinite(a)) return a;
  double r = std::fmod(a + kPi, kTwoPi);
  if (r < 0.0) r += kTwoPi;
  r -= kPi;
  if (r >= kPi) r -= kTwoPi;
  if (r < -kPi) r = -kPi;
  return r;
}

inline bool Finite(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

}  // namespace particle_filter_internal
