#include <climits>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

TEST(MapPreparationTest, MapWithoutFloorsIsRefused) {
    Navigation nav(EngineBehaviour::kit());
    NavigationMap empty(EngineBehaviour::kit());
    EXPECT_EQ(nav.specifyNavigationMap(empty), -1);
    EXPECT_EQ(nav.getMapErrorCode(), 30);
}

TEST(MapPreparationTest, DegenerateFloorGetsNoTrianglesAndLaterFloorsStillDo) {
    SublocationMap line = MakeFloor(1);
    for (int i = 0; i < 5; ++i) AddPoint(line, 2.0 * i, 1.0);
    SublocationMap same = MakeFloor(2);
    for (int i = 0; i < 4; ++i) AddPoint(same, 3.0, 3.0);
    SublocationMap huge = MakeFloor(3);
    AddPoint(huge, 0, 0), AddPoint(huge, 1e12, 0), AddPoint(huge, 0, 5);
    Navigation nav(EngineBehaviour::kit());
    ASSERT_EQ(nav.specifyNavigationMap(
                  MapOf({line, same, huge, GridFloor(4, 0)}, 107, EngineBehaviour::original())),
              0);
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
