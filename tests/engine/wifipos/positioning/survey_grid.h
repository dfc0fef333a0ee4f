// A floor surveyed on a 6 x 4 grid 4 m apart (x 0-20, y 0-12) with six
// beacons at its edges, plus extra points surveyed with another place's
// levels: where a fix must place a walker between surveyed points, and must
// not be pulled across the floor by points that match by chance.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "map_builder.h"

namespace positioning_test {

constexpr int kGridBeacons = 6;
constexpr double kGridBeaconX[kGridBeacons] = {0.0, 10.0, 20.0, 0.0, 10.0, 20.0};
constexpr double kGridBeaconY[kGridBeacons] = {0.0, 0.0, 0.0, 12.0, 12.0, 12.0};
constexpr int kGridPoints = 24;  // the grid's own; look-alikes follow

struct Spot {
    double x, y;
};

// The level of beacon b at (x, y), dBm: log-distance loss, -45 dBm at 1 m.
inline double GridLevel(int b, double x, double y) {
    const double d = std::max(1.0, std::hypot(x - kGridBeaconX[b], y - kGridBeaconY[b]));
    return -45.0 - 25.0 * std::log10(d);
}

// The grid and its look-alikes ({where, whose levels}); `entry` records what
// beacon b is surveyed at on point p (the level at the spot whose levels it has).
inline SublocationMap SurveyGridFloor(const std::vector<std::pair<Spot, Spot>>& lookAlikes,
                                      const std::function<void(SublocationMap&, int b, int p, double level)>& entry) {
    SublocationMap f = MakeFloor(1);
    std::vector<Spot> levelsOf;
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 6; ++i) {
            AddPoint(f, 4.0 * i, 4.0 * j);
            levelsOf.push_back({4.0 * i, 4.0 * j});
        }
    }
    for (const auto& [where, like] : lookAlikes) {
        AddPoint(f, where.x, where.y);
        levelsOf.push_back(like);
    }
    for (int b = 0; b < kGridBeacons; ++b) {
        AddBeacon(f, BeaconKey(b), kGridBeaconX[b], kGridBeaconY[b]);
        for (size_t p = 0; p < levelsOf.size(); ++p) {
            entry(f, b, static_cast<int>(p), GridLevel(b, levelsOf[p].x, levelsOf[p].y));
        }
    }
    return f;
}

}  // namespace positioning_test
