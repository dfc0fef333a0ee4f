// The host's model of an engine zone, for the location's floors and for the zones a tick
// reports alike. Pure function.
#pragma once

#include <cstdint>
#include <memory>

#include "MCModels/mc_zone.h"
#include "server/zone.h"

// The zone on `location` and `sublocation`, its points on `pointLocation` and their own
// floors; its texts as UTF-8, ending at their first NUL as the engine's C texts do.
std::shared_ptr<MCZone> MCZoneFromEngine(const Zone& zone, int64_t location, int64_t sublocation,
                                         int64_t pointLocation);
