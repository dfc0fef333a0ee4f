// Floor plans: outer walls, a central corridor with rooms on both sides and a
// door from every room into the corridor (an open hall when the floor is too
// shallow for rooms), rasterised into the floor's walkable grid.
#pragma once

#include "venuesim/rng.h"
#include "venuesim/venue.h"

namespace venuesim {

// Fills walls, rooms and grid of the floor; door positions vary with rng.
void BuildFloorPlan(const VenueSpec& setup, Rng& rng, VenueFloor& floor);

// Thickness of the outer walls for a setup.
double OuterWallThickness(const VenueSpec& setup);

}  // namespace venuesim
