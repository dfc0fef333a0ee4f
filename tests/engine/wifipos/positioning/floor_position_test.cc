#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// Three floors with one beacon each (keys 0, 10, 20), for the beacon
// detector under the zone method.
class FloorHistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nav.specifyNavigationMap(
                      MapOf({GridFloor(1, 0), GridFloor(2, 10), GridFloor(3, 20)}, 114)),
                  0);
        nav.setAutoClearingOldMeas(true);
    }
    // One window in which only floor index f's first beacon is heard (the
    // previous window's readings have aged out).
    void Detect(int f) {
        t += 2.0;
        Feed(nav, {Reading(BeaconKey(10 * f), -60.0, t)}, t);
        ASSERT_EQ(nav.detectSublocation(), 0);
    }
    Navigation nav;
    double t = 10.0;
};

TEST_F(FloorHistoryTest, FirstDetectionSetsTheFloorAndASwitchNeedsFourInARow) {
    EXPECT_FALSE(nav.isSublocChanged());
    for (int f : {0, 0, 1, 1, 1}) Detect(f);
    EXPECT_TRUE(nav.isSublocChanged());  // the first detection, reported once
    EXPECT_EQ(nav.getCurSublocIndex(), 0);
    EXPECT_EQ(nav.getCurSublocId(), 1);
    Detect(1);  // fourth 1
    EXPECT_EQ(nav.getCurSublocIndex(), 1);
    EXPECT_TRUE(nav.isSublocChanged());
    EXPECT_FALSE(nav.isSublocChanged());
    EXPECT_TRUE(nav.getSublocHistory().empty());
}

TEST_F(FloorHistoryTest, AFloorSwitchNeedsFourAgreeingWindowsOrThreeForTheKitOffTheLevel) {
    const struct {
        bool kit;
        bool stopped;  // no level steps counted: stairs, lift or standing
        std::vector<int> detections;
        int floorAfter;
    } cases[] = {
        {false, false, {0, 1, 1, 1}, 0}, {false, false, {0, 1, 1, 1, 1}, 1},
        {true, false, {0, 1, 1, 1}, 0},  {true, false, {0, 1, 1, 1, 1}, 1},
        {true, true, {0, 1, 1}, 0},      {true, true, {0, 1, 1, 1}, 1},
        // A detection of the current floor or of a third one empties the count;
        // the third floor's own count starts with its next detection.
        {true, true, {0, 1, 1, 0, 1, 1}, 0}, {true, true, {0, 1, 1, 2, 1, 1}, 0},
        {true, true, {0, 1, 2, 2, 2}, 0},    {true, true, {0, 1, 2, 2, 2, 2}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kit " << c.kit << " stopped " << c.stopped
                                          << " last of " << c.detections.size());
        nav = Navigation();
        ASSERT_EQ(nav.specifyNavigationMap(MapOf(
                      {GridFloor(1, 0), GridFloor(2, 10), GridFloor(3, 20)}, 114, c.kit)),
                  0);
        nav.setAutoClearingOldMeas(true);
        nav.setIsStop(c.stopped);
        for (int f : c.detections) Detect(f);
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
    }
}

// Weights set by hand on a 3 x 3 grid, as the weighting pass leaves them.
class TrianglePositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107)), 0);
        nav.setAutoClearingOldMeas(true);
    }
    Navigation nav;
};

TEST_F(TrianglePositionTest, HeaviestTriangleGivesTheWeightedCorners) {
    // Window heard on floor 1 near (0, 0).
    Feed(nav,
         {Reading(BeaconKey(0), -52.0, 10.0), Reading(BeaconKey(1), -74.0, 10.0),
          Reading(BeaconKey(2), -74.0, 10.0), Reading(BeaconKey(3), -84.0, 10.0)},
         10.0);
    ASSERT_EQ(nav.calculateCoordinates(), 0);
    EXPECT_EQ(nav.getCurSublocIndex(), 0);
    const NavTriangle& h = nav.getHeaviestTriangle();
    ASSERT_EQ(h.indexes.size(), 3u);
    EXPECT_GT(h.wGlobal, 0.0);
    EXPECT_LT(std::hypot(nav.getX(), nav.getY()), 3.0);
    EXPECT_GT(nav.getLastSignalSolutionTime(), 0.0);
    // Weighted average instead of the triangle.
    nav.setUseTriangulation(false);
    Feed(nav,
         {Reading(BeaconKey(0), -74.0, 12.0), Reading(BeaconKey(1), -74.0, 12.0),
          Reading(BeaconKey(2), -74.0, 12.0), Reading(BeaconKey(3), -74.0, 12.0)},
         12.0);
    ASSERT_EQ(nav.calculateCoordinates(), 0);
    EXPECT_TRUE(std::isfinite(nav.getX()));
    EXPECT_GT(nav.getX(), 0.5);
    EXPECT_GT(nav.getY(), 0.5);
}

}  // namespace
