// Pictures of a replayed walk: one PNG per floor with the floor image of the
// map archive underneath, the true path (green), the estimated path (red) and
// the routes (blue), each ending in a dot. No text is drawn: text would pull
// in the font machinery, whose caches live until the process ends.
#pragma once

#include <string>
#include <vector>

#include "replay/replay_run.h"

class NavigationMap;

namespace replay {

// Writes dir/floor<id>.png for every floor of the map and appends the file
// names to `written`. 0, or 1 with a message when a picture cannot be
// written (those written before stay).
int DrawFloorPictures(const NavigationMap& map, const ReplayReport& report, const std::string& dir,
                      std::vector<std::string>* written, std::string* error);

}  // namespace replay
