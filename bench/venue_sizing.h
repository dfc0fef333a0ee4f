// Sizing generated venues for benchmarks.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>

#include "venuesim/generator.h"

// Reference-point spacing that puts about `target` points on each floor of the
// setup (a bisection over the cheap layout, without the survey).
inline double SpacingFor(venuesim::VenueSpec setup, int target) {
  double lo = 0.5, hi = 5.0, best = hi, bestMiss = 1e9;
  for (int i = 0; i < 16; ++i) {
    setup.rpSpacing = (lo + hi) / 2;
    venuesim::Venue venue;
    std::string error;
    if (venuesim::GenerateLayout(setup, &venue, &error) != 0) break;
    size_t points = 0;
    for (const auto& floor : venue.floors) points += floor.points.size();
    const double perFloor = static_cast<double>(points) / static_cast<double>(venue.floors.size());
    if (std::fabs(perFloor - target) < bestMiss) {
      bestMiss = std::fabs(perFloor - target);
      best = setup.rpSpacing;
    }
    (perFloor > target ? lo : hi) = setup.rpSpacing;
  }
  return best;
}
