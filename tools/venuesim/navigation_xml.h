// navigation.xml: the common positioning settings (method, signals, groups)
// and every floor's particle-filter, Gaussian-process, histogram and
// autocalibration settings.
#pragma once

#include <string>

#include "venuesim/venue.h"

namespace venuesim {

// The values written, for checks against what a reader loads.
struct WrittenSettings {
  double normalModeA = 0.0;
  double normalModeB = 0.0;
  double fixedModeEll = 0.0;
  double correctionNoise = 0.0;  // dBm^2
  int particles = 1000;
  double correctionNoiseMeters = 2.0;
  double resamplingNoiseMeters = 5.0;
  double resamplingThreshold = 900.0;
  int histogramIntervalWidth = 1;
  int calibrationSignals = 0;
  int calibrationIntervalWidth = 1;
  int pointsInMnk = 10;
};

WrittenSettings SettingsFor(const VenueSpec& setup);

std::string NavigationXml(const Venue& venue);

}  // namespace venuesim
