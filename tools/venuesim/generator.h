// Builds a whole venue from its setup: floor plans, beacons, reference points
// and the simulated survey. The same setup (seed included) always gives the
// same venue.
#pragma once

#include <string>

#include "venuesim/venue.h"

namespace venuesim {

// 0 on success; kBadSpec with a message when the setup is unusable (the venue
// is then left empty).
int GenerateVenue(const VenueSpec& setup, Venue* venue, std::string* error);

// The same venue without the survey: plans, beacons and reference points with
// no entries. Cheap, for sizing a venue before generating it.
int GenerateLayout(const VenueSpec& setup, Venue* venue, std::string* error);

// The proximity UUID the generator uses: the setup's, upper-cased, or one
// derived from the seed.
std::string VenueUuid(const VenueSpec& setup);

}  // namespace venuesim
