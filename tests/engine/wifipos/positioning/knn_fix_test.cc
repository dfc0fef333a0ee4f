// The kit's nearest-neighbour fix: the best-matching points near the best
// one, weighed by a root-mean-square match, so that a walker between
// surveyed points is placed between them, a far point that matches by
// chance does not pull the fix across the floor, and a transmitter lost
// from one window does not throw it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

constexpr int kBeacons = 6;
const double kBeaconX[kBeacons] = {0.0, 10.0, 20.0, 0.0, 10.0, 20.0};
const double kBeaconY[kBeacons] = {0.0, 0.0, 0.0, 12.0, 12.0, 12.0};

// The level of beacon b at (x, y): log-distance loss, -45 dBm at 1 m.
double Level(int b, double x, double y) {
    const double d = std::max(1.0, std::hypot(x - kBeaconX[b], y - kBeaconY[b]));
    return -45.0 - 25.0 * std::log10(d);
}

struct Spot {
    double x, y;
};

// A 6 x 4 survey 4 m apart (x 0-20, y 0-12) of the six beacons, with extra
// points carrying another place's levels shifted by shiftDb; positions one
// window heard at `at` (less the beacon `lost`, when 0 or above) and gives
// the fix's distance from `at`.
double FixError(bool kit, Spot at, const std::vector<std::pair<Spot, Spot>>& lookAlikes, double shiftDb,
                int lost) {
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
    for (int b = 0; b < kBeacons; ++b) {
        AddBeacon(f, BeaconKey(b), kBeaconX[b], kBeaconY[b]);
        for (size_t p = 0; p < levelsOf.size(); ++p) {
            const double shift = p >= 24 ? shiftDb : 0.0;
            AddEntry(f, BeaconKey(b), static_cast<int>(p), Level(b, levelsOf[p].x, levelsOf[p].y) + shift);
        }
    }
    Navigation nav;
    EXPECT_EQ(nav.specifyNavigationMap(MapOf({f}, 107, kit)), 0);
    nav.setAutoClearingOldMeas(true);
    std::vector<AccessPoint> batch;
    for (int b = 0; b < kBeacons; ++b) {
        if (b != lost) batch.push_back(Reading(BeaconKey(b), Level(b, at.x, at.y), 10.0));
    }
    Feed(nav, batch, 10.0);
    EXPECT_EQ(nav.calculateCoordinates(), 0);
    EXPECT_EQ(nav.getCurSublocIndex(), 0);
    return std::hypot(nav.getX() - at.x, nav.getY() - at.y);
}

TEST(KitKnnFix, PlacesTheWalkerBetweenSurveyedPoints) {
    const struct {
        const char* name;
        Spot at;
        std::vector<std::pair<Spot, Spot>> lookAlikes;
        double shiftDb;
        int lost;
        double kitMetres;  // the kit's fix is at most this far off
    } cases[] = {
        {"on a surveyed point", {8.0, 4.0}, {}, 0.0, -1, 0.3},
        {"midway between two points of a row", {10.0, 4.0}, {}, 0.0, -1, 0.6},
        {"in the middle of four points", {6.0, 6.0}, {}, 0.0, -1, 0.6},
        // Points across the floor surveyed with nearly the levels of the
        // spot: they rank among the best, but are no neighbours of them.
        {"far look-alikes", {6.0, 6.0}, {{{20.0, 14.0}, {6.0, 6.0}}, {{22.0, 2.0}, {6.0, 6.0}}}, 3.0, -1, 0.5},
        // The window lost a beacon heard here at about -72 dBm.
        {"a beacon lost from the window", {10.0, 6.0}, {}, 0.0, 0, 1.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double kit = FixError(true, c.at, c.lookAlikes, c.shiftDb, c.lost);
        const double classic = FixError(false, c.at, c.lookAlikes, c.shiftDb, c.lost);
        std::printf("[ fix      ] %-40s kit %.2f m, original %.2f m\n", c.name, kit, classic);
        EXPECT_LE(kit, c.kitMetres);
    }
}

}  // namespace
