// Demo and test tooling over the map screen: what a user following their own position
// does. Main thread only.
#pragma once

#include "mapview/mc_location_view_controller.h"

// Steps the floor buttons to the floor of the latest navigation result (when the location
// has it), refreshes, and pans the floor so that the marker sits in the middle of the
// viewport as far as the content allows. Loads the view if needed.
void MCFollowPosition(MCLocationViewController& screen);
