// A smooth random field over a floor: standard normal values on a square grid
// of nodes, blended bilinearly and renormalised so that the field has the same
// spread everywhere (plain bilinear blending would shrink it between nodes).
// Built from a stream seed alone, so the survey and any later simulated walk
// see the same value at the same place.
#pragma once

#include <cstdint>
#include <vector>

namespace venuesim {

class ShadowingField {
 public:
  ShadowingField() = default;
  // Covers [0, width] x [0, height] with nodes every cell metres; sigma scales
  // the field (0 gives a field of zeros).
  ShadowingField(uint64_t streamSeed, double width, double height, double cell, double sigma);

  // Value at (x, y); points outside the floor take the value at the nearest edge.
  double value(double x, double y) const;

  double sigma() const { return sigma_; }
  double cell() const { return cell_; }

 private:
  int nx_ = 0;
  int ny_ = 0;
  double cell_ = 1.0;
  double sigma_ = 0.0;
  std::vector<float> nodes_;  // standard normal, row-major, nx_ per row
};

}  // namespace venuesim
