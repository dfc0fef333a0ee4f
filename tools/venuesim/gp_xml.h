// gp.xml: per floor and transmitter heard there, the Gaussian-process
// hyperparameters: a mean model fitted to the simulated survey by least
// squares (log-distance or constant), the transmitter position, and the
// covariance parameters as natural logs (signal spread from the fit's
// residuals, noise from the survey's averaging, length from the shadowing).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "venuesim/venue.h"

namespace venuesim {

struct GpRecord {
  double mu = 0.0;
  double A = 0.0;
  double B = 0.0;
  double xAp = 0.0;
  double yAp = 0.0;
  double sf = 0.0;   // ln of the signal standard deviation
  double sn = 0.0;   // ln of the noise standard deviation
  double ell = 0.0;  // ln of the length scale in metres
};

// Records of one floor, by transmitter key in ascending order, each as written
// (rounded). Only transmitters heard at some reference point of the floor.
std::vector<std::pair<std::string, GpRecord>> GpRecordsForFloor(const Venue& venue, int floorIndex);

std::string GpXml(const Venue& venue);

// The model element name for a mean-model code ("LogDistance", "Const").
std::string GpModelElement(int meanModel);

}  // namespace venuesim
