// The simulated survey: at every reference point a recording of every beacon
// of the venue (other floors included), as a histogram of received levels.
#pragma once

#include <map>

#include "venuesim/propagation.h"
#include "venuesim/rng.h"
#include "venuesim/venue.h"

namespace venuesim {

// Samples of one recording: `samples` readings of mean + temporal noise,
// rounded to whole dBm; readings below the sensitivity are lost, the rest are
// counted by level magnitude (always 1 or more). Empty when nothing was heard.
std::map<int, int> SampleHistogram(double mean, double temporalSigma, double sensitivity, int samples, Rng& rng);

// Fills duration, magnetic intensity and entries of every reference point of
// every floor. Deterministic: each (point, beacon) pair has its own stream.
void SimulateSurvey(const PropagationModel& model, Venue& venue);

}  // namespace venuesim
