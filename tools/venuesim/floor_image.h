// The floor's picture for people: a PNG with the rooms tinted, the corridor
// light and the walls drawn black, north (growing y) up.
#pragma once

#include <string>

#include "venuesim/venue.h"

namespace venuesim {

// Pixels per metre of the picture: 20, less for floors larger than 100 m.
double ImageScale(const VenueSpec& setup);

// 0 and the PNG bytes in *png, or kEncodeError with a message.
int RenderFloorImage(const VenueSpec& setup, const VenueFloor& floor, std::string* png, std::string* error);

}  // namespace venuesim
