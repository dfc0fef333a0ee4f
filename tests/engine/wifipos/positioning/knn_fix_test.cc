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
#include "survey_grid.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// Positions one window heard at `at` over the grid, whose look-alike points'
// levels are shifted by shiftDb (less the beacon `lost`, when 0 or above),
// and gives the fix's distance from `at`.
double FixError(bool kit, Spot at, const std::vector<std::pair<Spot, Spot>>& lookAlikes, double shiftDb,
                int lost) {
    SublocationMap f = SurveyGridFloor(lookAlikes, [shiftDb](SublocationMap& floor, int b, int p, double level) {
        AddEntry(floor, BeaconKey(b), p, level + (p >= kGridPoints ? shiftDb : 0.0));
    });
    Navigation nav(EngineBehaviour::kit());
    EXPECT_EQ(nav.specifyNavigationMap(MapOf({f}, 107, BehaviourOf(kit))), 0);
    nav.setAutoClearingOldMeas(true);
    std::vector<AccessPoint> batch;
    for (int b = 0; b < kGridBeacons; ++b) {
        if (b != lost) batch.push_back(Reading(BeaconKey(b), GridLevel(b, at.x, at.y), 10.0));
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
