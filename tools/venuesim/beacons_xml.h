// beacons.xml: every floor's beacons with position, keys and signal model.
// B is written in the engine's form, the slope per natural log of the squared
// distance (see EngineSlope).
#pragma once

#include <string>

#include "venuesim/venue.h"

namespace venuesim {

std::string BeaconsXml(const Venue& venue);

// The A and B texts a beacon is written with.
double WrittenBeaconA(const VenueBeacon& beacon);
double WrittenBeaconB(const VenueBeacon& beacon);

}  // namespace venuesim
