// Where the transmitters and the surveyed reference points of a floor go.
#pragma once

#include "venuesim/rng.h"
#include "venuesim/venue.h"

namespace venuesim {

// Rounds a fraction of the floor to the 6 decimals it is written with.
double QuantizeFraction(double k);

// A grid of beacons at the setup's spacing, with a little jitter; a beacon that
// would sit in or against a wall is mounted on the wall's face instead.
// The floor's plan (walls, grid) must be built.
void PlaceBeacons(const VenueSpec& setup, int floorIndex, const std::string& uuid, Rng& rng, VenueFloor& floor);

// Reference points on walkable pixels, on a grid of the setup's spacing laid
// out separately in every room and in the corridor. Entries are not filled.
void PlaceReferencePoints(const VenueSpec& setup, VenueFloor& floor);

}  // namespace venuesim
