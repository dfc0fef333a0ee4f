// measure.xml: the radio map, one point per reference point with a histogram
// entry per beacon heard and the point's magnetic intensity.
#pragma once

#include <map>
#include <string>

#include "venuesim/venue.h"

namespace venuesim {

// "level:count" pairs separated by blanks, levels ascending.
std::string HistogramText(const std::map<int, int>& histogram);

// The device the simulated survey was recorded with.
std::string SurveyDeviceModel();
std::string SurveyDeviceId(const VenueSpec& setup);

std::string MeasureXml(const Venue& venue);

}  // namespace venuesim
