// Helpers the navigation class's source files share (internal): access to
// its map copy, and the constants more than one of them reads.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/sensor_value.h"

namespace navigation_internal {

inline const CommonNavProperties& Settings(const NavigationMap& map) {
    return map.getNavigationProperties();
}

inline CommonNavProperties& Settings(NavigationMap& map) { return map.getNavigationProperties(); }

inline int FloorCount(const NavigationMap& map) { return static_cast<int>(map.getNSublocations()); }

inline const SublocationMap& Floor(const NavigationMap& map, int index) {
    return map.getSublocationsVector()[static_cast<size_t>(index)];
}

inline int FloorId(const SublocationMap& floor) { return floor.getId(); }

inline int PointCount(const SublocationMap& floor) { return static_cast<int>(floor.getNRp()); }

inline const ReferencePoint& Point(const SublocationMap& floor, int index) { return *floor.getRp(index); }

inline const std::vector<Beacon>& FloorBeacons(const SublocationMap& floor) { return floor.getBeacons(); }

inline const std::vector<std::string>& FloorKeys(const SublocationMap& floor) {
    return floor.getUniqueApsBssid();
}

// A walker who stands before the first floor is decided (at the start, while
// the phone finds its beacons) gathers many readings of one spot, often of too
// few beacons to place it. They stay pooled, and the first decision goes by
// their match together with the window's newer readings rather than by one
// window's, as long as it comes within this long of the last of them.
constexpr double kStandingPoolKeepSec = 5.0;

// A jump back of reading times beyond this is taken as a clock change.
constexpr double kClockJumpSeconds = 15.0;

// A transmitter heard on one side only (surveyed here but missing from the
// window, or heard but not surveyed here) is as often a reading lost near
// the edge of hearing as a sign of another place: in the fix's match its
// difference to the "not heard" level counts as a squared difference up to
// this many dB and grows only linearly beyond.
constexpr double kFixMissingDb = 4.0;

inline double MissingTerm(double d) {
    const double a = std::fabs(d);
    return a <= kFixMissingDb ? a * a : kFixMissingDb * (2.0 * a - kFixMissingDb);
}

inline double RawDistance(const AccessPoint& ap) {
    if (ap.getType() == 2) return ap.getDistance();
    // The distance field is meaningful for beacons only; reading it through
    // the getter on another type would log a warning per reading.
    AccessPoint copy = ap;
    copy.setType(2);
    return copy.getDistance();
}

}  // namespace navigation_internal
