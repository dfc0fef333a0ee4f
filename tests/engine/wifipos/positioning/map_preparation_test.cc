#include <climits>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

TEST(MapPreparationTest, MapWithoutFloorsIsRefused) {
    Navigation nav;
    NavigationMap empty;
    EXPECT_EQ(nav.specifyNavigationMap(empty), -1);
    EXPECT_EQ(nav.getMapErrorCode(), 30);
}

TEST(MapPreparationTest, UnusableFloorsAreRemovedWithTheirReason) {
    {  // zone method: floors are told apart by beacons
        SublocationMap noBeacons = GridFloor(1, 0);
        noBeacons.getBeacons().clear();
        Navigation nav;
        EXPECT_EQ(nav.specifyNavigationMap(MapOf({noBeacons, GridFloor(2, 10)}, 114)), 0);
        EXPECT_EQ(nav.getMapErrorCode(), 0);
        ASSERT_EQ(nav.getNSublocations(), 1u);
        EXPECT_EQ(nav.getSublocationsVector()[0].getId(), 2);
        EXPECT_FALSE(nav.getNavigationProperties().Use_particle_filter);
    }
    {  // nearest neighbours: every floor with two points goes
        SublocationMap a = MakeFloor(1), b = MakeFloor(2);
        AddPoint(a, 0, 0), AddPoint(a, 1, 0), AddPoint(b, 0, 0), AddPoint(b, 0, 1);
        Navigation nav;
        EXPECT_EQ(nav.specifyNavigationMap(MapOf({a, b}, 107)), 7);
        EXPECT_EQ(nav.getMapErrorCode(), 7);
    }
    {  // Gaussian processes in normal mode: beacons count, points do not
        SublocationMap few = MakeFloor(1);
        AddPoint(few, 0, 0);
        AddBeacon(few, BeaconKey(1), 0, 0);
        NavigationMap map = MapOf({few}, 108);
        map.getNavigationProperties().gaussianProcesses.Mode = 122;
        Navigation nav;
        EXPECT_EQ(nav.specifyNavigationMap(map), 0);
        ASSERT_EQ(nav.getSublocationStates().size(), 1u);
        EXPECT_TRUE(nav.getSublocationStates()[0].triangles.empty());
    }
}

TEST(MapPreparationTest, DegenerateFloorGetsNoTrianglesAndLaterFloorsStillDo) {
    SublocationMap line = MakeFloor(1);
    for (int i = 0; i < 5; ++i) AddPoint(line, 2.0 * i, 1.0);
    SublocationMap same = MakeFloor(2);
    for (int i = 0; i < 4; ++i) AddPoint(same, 3.0, 3.0);
    SublocationMap huge = MakeFloor(3);
    AddPoint(huge, 0, 0), AddPoint(huge, 1e12, 0), AddPoint(huge, 0, 5);
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(MapOf({line, same, huge, GridFloor(4, 0)}, 107)), 0);
    EXPECT_EQ(nav.triangulate(), 6);
    const auto& states = nav.getSublocationStates();
    ASSERT_EQ(states.size(), 4u);
    EXPECT_TRUE(states[0].triangles.empty());
    EXPECT_TRUE(states[1].triangles.empty());
    EXPECT_TRUE(states[2].triangles.empty());
    EXPECT_EQ(states[3].triangles.size(), 8u);
    // Running it again does not pile up triangles.
    nav.triangulate();
    EXPECT_EQ(nav.getSublocationStates()[3].triangles.size(), 8u);
}

}  // namespace
