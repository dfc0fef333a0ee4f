// The kit's histogram floor decision: where the histogram weights leave the
// floor in doubt, the floor is the one whose surveyed levels the window
// matches, not the one whose histograms happen to be narrower.
#include <cstdlib>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

constexpr int kFloors = 3;
constexpr double kFloorLoss = 15.0;

double Level(int beacon, double x, double y) {
    const double bx = (beacon % 4) % 2 == 0 ? 0.0 : 8.0;
    const double by = (beacon % 4) < 2 ? 0.0 : 8.0;
    return -50.0 - 3.0 * std::hypot(x - bx, y - by);
}

// Three floors of 3 x 3 points, each surveying its own four beacons and, a
// floor's loss weaker per floor between, the other floors'. Every entry's
// histogram is flat over levels lo..lo+span-1 (magnitudes): a flat histogram
// says nothing of the level, and the narrower one weighs more.
NavigationMap FlatHistogramMap(bool kit, const int (&span)[kFloors]) {
    std::vector<SublocationMap> floors;
    for (int f = 0; f < kFloors; ++f) {
        SublocationMap fl = MakeFloor(f + 1);
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) AddPoint(fl, 4.0 * i, 4.0 * j);
        for (int b = 0; b < 4 * kFloors; ++b) {
            const int home = b / 4;
            if (home == f) AddBeacon(fl, BeaconKey(b), (b % 2) * 8.0, (b % 4) < 2 ? 0.0 : 8.0);
            for (int p = 0; p < 9; ++p) {
                const ReferencePoint* rp = fl.getRp(p);
                AccessPoint ap;
                ap.setBssid(BeaconKey(b));
                ap.setType(2);
                ap.setRssi(Level(b, rp->getX(), rp->getY()) - kFloorLoss * std::abs(home - f));
                std::map<int, int> h;
                const int lo = 55;
                for (int m = lo; m < lo + span[f]; ++m) h[m] = 4;
                ap.setHistogram(h);
                ap.setRefPointIndex(p);
                fl.getRadioMap().emplace(BeaconKey(b), ap);
            }
            fl.updateUniqueApsBssid();
        }
        floors.push_back(fl);
    }
    NavigationMap map = MapOf(floors, 109, kit);
    map.getNavigationProperties().knn.Histogram_type = 302;
    map.getNavigationProperties().knn.Differention_mode = false;
    return map;
}

TEST(HistogramFloorTest, AFloorInDoubtGoesToTheFloorWhoseLevelsTheWindowMatches) {
    const struct {
        const char* name;
        bool kit;
        int span[kFloors];  // histogram width per floor index: narrower weighs more
        int current;        // floor index before the window, -1 for none yet
        int floorAfter;     // the current floor after it
        int counted;        // the floor counted towards a switch, -1 for none
    } cases[] = {
        // The walker is on floor index 1 (levels of its own beacons, the
        // others' a floor's loss weaker); floor 0's narrower histograms give
        // it 1.6 times floor 1's share.
        {"kept on the floor left behind", true, {50, 80, 80}, 0, 0, 1},
        {"drawn off the walker's floor", true, {50, 80, 80}, 1, 1, -1},
        {"started on the wrong floor", true, {50, 80, 80}, -1, 1, -1},
        // A clear lead of the histograms (2.7 times) is left to them.
        {"clear histogram lead", true, {30, 80, 80}, 0, 0, -1},
        {"original rules", false, {50, 80, 80}, 0, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Navigation nav;
        ASSERT_EQ(nav.specifyNavigationMap(FlatHistogramMap(c.kit, c.span)), 0);
        nav.initializeHistogram();
        nav.setAutoClearingOldMeas(true);
        if (c.current >= 0) nav.setCurSublocInd(c.current);
        nav.setIsStop(true);
        std::vector<AccessPoint> batch;
        for (int b = 0; b < 4 * kFloors; ++b) {
            batch.push_back(Reading(BeaconKey(b), Level(b, 4.0, 4.0) - kFloorLoss * std::abs(b / 4 - 1), 10.0));
        }
        Feed(nav, batch, 10.0);
        nav.calculateCoordinates();
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
        const std::vector<int>& history = nav.getSublocHistory();
        EXPECT_LE(history.size(), 1u);
        EXPECT_EQ(history.empty() ? -1 : history.back(), c.counted);
    }
}

}  // namespace
