// The kit's histogram floor decision: where the histogram weights leave the
// floor in doubt, the floor is the one whose surveyed levels the window
// matches, not the one whose histograms happen to be narrower.
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// Beacon b of floor index b / 4 at a corner of the 8 x 8 m square, heard at
// (x, y) on floor index f a floor's loss (15 dB) weaker per floor between.
double Level(int b, int f, double x, double y) {
    return -50.0 - 3.0 * std::hypot(x - (b % 2) * 8.0, y - (b % 4 < 2 ? 0.0 : 8.0)) - 15.0 * std::abs(b / 4 - f);
}

// Three floors of 3 x 3 points surveying all twelve beacons at their levels,
// every entry's histogram flat over `span[f]` levels: flat histograms say
// nothing of the level, and the narrower ones weigh more.
NavigationMap FlatHistogramMap(bool kit, const int (&span)[3]) {
    std::vector<SublocationMap> floors;
    for (int f = 0; f < 3; ++f) {
        SublocationMap fl = MakeFloor(f + 1);
        for (int p = 0; p < 9; ++p) AddPoint(fl, 4.0 * (p % 3), 4.0 * (p / 3));
        for (int b = 0; b < 12; ++b) {
            if (b / 4 == f) AddBeacon(fl, BeaconKey(b), (b % 2) * 8.0, b % 4 < 2 ? 0.0 : 8.0);
            std::map<int, int> flat;
            for (int m = 55; m < 55 + span[f]; ++m) flat[m] = 4;
            for (int p = 0; p < 9; ++p) {
                AccessPoint ap = Reading(BeaconKey(b), Level(b, f, fl.getRp(p)->getX(), fl.getRp(p)->getY()), 0.0);
                ap.setHistogram(flat);
                ap.setRefPointIndex(p);
                fl.getRadioMap().emplace(BeaconKey(b), ap);
            }
        }
        fl.updateUniqueApsBssid();
        floors.push_back(fl);
    }
    NavigationMap map = MapOf(floors, 109, BehaviourOf(kit));
    map.getNavigationProperties().knn.Histogram_type = 302;
    map.getNavigationProperties().knn.Differention_mode = false;
    return map;
}

TEST(HistogramFloorTest, AFloorInDoubtGoesToTheFloorWhoseLevelsTheWindowMatches) {
    // The walker stands on floor index 1; floor 0's narrower histograms give
    // it 1.6 times floor 1's share (2.7 times with a span of 30).
    const struct {
        const char* name;
        bool kit;
        int span[3];
        int current;     // floor index before the window, -1 for none yet
        int floorAfter;  // the current floor after it
        int counted;     // the floor counted towards a switch, -1 for none
    } cases[] = {
        {"kept on the floor left behind", true, {50, 80, 80}, 0, 0, 1},
        {"drawn off the walker's floor", true, {50, 80, 80}, 1, 1, -1},
        {"started on the wrong floor", true, {50, 80, 80}, -1, 1, -1},
        {"a clear histogram lead is left to the histograms", true, {30, 80, 80}, 0, 0, -1},
        {"original rules", false, {50, 80, 80}, 0, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(FlatHistogramMap(c.kit, c.span)), 0);
        nav.initializeHistogram();
        nav.setAutoClearingOldMeas(true);
        if (c.current >= 0) nav.setCurSublocInd(c.current);
        nav.setIsStop(true);
        std::vector<AccessPoint> batch;
        for (int b = 0; b < 12; ++b) batch.push_back(Reading(BeaconKey(b), Level(b, 1, 4.0, 4.0), 10.0));
        Feed(nav, batch, 10.0);
        nav.calculateCoordinates();
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
        const std::vector<int>& history = nav.getSublocHistory();
        EXPECT_LE(history.size(), 2u);  // a one-sided window off the level counts twice
        EXPECT_EQ(history.empty() ? -1 : history.back(), c.counted);
    }
}

}  // namespace
