// The kit's histogram fix over a sparse survey (a few dozen samples per
// transmitter and point): the best points near the best one rather than the
// corners of the heaviest triangle, which one weak or far corner pulls off.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "map_builder.h"
#include "survey_grid.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// A survey entry of 24 samples around `level`, as a short survey records
// them: mostly every other level, the level itself only twice.
void AddSparseEntry(SublocationMap& f, int beacon, int point, double level) {
    const int m = static_cast<int>(std::lround(-level));
    AccessPoint ap;
    ap.setBssid(BeaconKey(beacon));
    ap.setType(2);
    ap.setRssi(level);
    ap.setHistogram(std::map<int, int>{{m - 3, 5}, {m - 1, 6}, {m, 2}, {m + 1, 6}, {m + 3, 5}});
    ap.setRefPointIndex(point);
    f.getRadioMap().emplace(BeaconKey(beacon), ap);
    f.updateUniqueApsBssid();
}

// Positions one window heard at `at` over the grid (sparse entries) and
// gives the fix's distance from it, infinity when there is none.
double FixError(bool kit, Spot at, const std::vector<std::pair<Spot, Spot>>& lookAlikes) {
    SublocationMap f = SurveyGridFloor(lookAlikes, [](SublocationMap& floor, int b, int p, double level) {
        AddSparseEntry(floor, b, p, level);
    });
    NavigationMap map = MapOf({f}, 109, BehaviourOf(kit));
    map.getNavigationProperties().knn.Histogram_type = 302;
    map.getNavigationProperties().knn.Differention_mode = false;
    Navigation nav(EngineBehaviour::kit());
    EXPECT_EQ(nav.specifyNavigationMap(map), 0);
    nav.setAutoClearingOldMeas(true);
    nav.initializeHistogram();
    std::vector<AccessPoint> batch;
    for (int b = 0; b < kGridBeacons; ++b) batch.push_back(Reading(BeaconKey(b), GridLevel(b, at.x, at.y), 10.0));
    Feed(nav, batch, 10.0);
    if (nav.calculateCoordinates() != 0 || nav.getCurSublocIndex() != 0) return INFINITY;
    return std::hypot(nav.getX() - at.x, nav.getY() - at.y);
}

TEST(KitHistogramFix, SparseSurveyPlacesTheWalkerNearTheBestPoints) {
    const struct {
        const char* name;
        Spot at;
        std::vector<std::pair<Spot, Spot>> lookAlikes;
        double kitMetres;  // the kit's fix is at most this far off
    } cases[] = {
        {"on a surveyed point", {8.0, 4.0}, {}, 0.7},
        {"midway between two points of a row", {10.0, 4.0}, {}, 0.35},
        {"in the middle of four points", {6.0, 6.0}, {}, 0.8},
        // Points across the floor surveyed with the levels of the spot: they
        // match as well as the spot's own, but are no neighbours of it.
        {"far look-alikes", {8.0, 4.0}, {{{20.0, 14.0}, {8.0, 4.0}}, {{22.0, 2.0}, {8.0, 4.0}}}, 0.7},
    };
    // The original weighting counts a reading only at its exact level: most
    // points match too few beacons to weigh, and no triangle has three
    // weighed corners.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double kit = FixError(true, c.at, c.lookAlikes);
        const double classic = FixError(false, c.at, c.lookAlikes);
        std::printf("[ fix      ] %-40s kit %.2f m, original %.2f m\n", c.name, kit, classic);
        EXPECT_LE(kit, c.kitMetres);
    }
}

}  // namespace
