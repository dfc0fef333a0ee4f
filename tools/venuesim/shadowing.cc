#include "venuesim/shadowing.h"

#include <algorithm>
#include <cmath>

#include "venuesim/rng.h"

namespace venuesim {

ShadowingField::ShadowingField(uint64_t streamSeed, double width, double height, double cell, double sigma)
    : cell_(cell > 0.0 ? cell : 1.0), sigma_(sigma) {
  nx_ = static_cast<int>(std::ceil(std::max(width, 0.0) / cell_)) + 1;
  ny_ = static_cast<int>(std::ceil(std::max(height, 0.0) / cell_)) + 1;
  if (sigma_ == 0.0) return;
  nodes_.resize(static_cast<size_t>(nx_) * ny_);
  Rng rng(streamSeed);
  for (float& v : nodes_) v = static_cast<float>(rng.normal());
}

double ShadowingField::value(double x, double y) const {
  if (nodes_.empty() || !std::isfinite(x) || !std::isfinite(y)) return 0.0;
  const double gx = std::clamp(x / cell_, 0.0, static_cast<double>(nx_ - 1));
  const double gy = std::clamp(y / cell_, 0.0, static_cast<double>(ny_ - 1));
  const int i = std::min(static_cast<int>(gx), std::max(nx_ - 2, 0));
  const int j = std::min(static_cast<int>(gy), std::max(ny_ - 2, 0));
  const double u = nx_ > 1 ? gx - i : 0.0, v = ny_ > 1 ? gy - j : 0.0;
  const int i1 = std::min(i + 1, nx_ - 1), j1 = std::min(j + 1, ny_ - 1);
  auto node = [&](int a, int b) { return static_cast<double>(nodes_[static_cast<size_t>(b) * nx_ + a]); };
  const double w00 = (1 - u) * (1 - v), w10 = u * (1 - v), w01 = (1 - u) * v, w11 = u * v;
  const double sum = w00 * node(i, j) + w10 * node(i1, j) + w01 * node(i, j1) + w11 * node(i1, j1);
  // The nodes are independent, so the blend's variance is the sum of squared weights.
  const double norm = std::sqrt(w00 * w00 + w10 * w10 + w01 * w01 + w11 * w11);
  return sigma_ * sum / norm;
}

}  // namespace venuesim
