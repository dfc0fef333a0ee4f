#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// Three points; keys A and B surveyed at point 0 with -62 / -75.
SublocationMap SmallFloor(int id) {
    SublocationMap f = MakeFloor(id);
    AddPoint(f, 0, 0), AddPoint(f, 4, 0), AddPoint(f, 0, 4);
    AddEntry(f, BeaconKey(1), 0, -62.0);
    AddEntry(f, BeaconKey(2), 0, -75.0);
    AddEntry(f, BeaconKey(1), 1, -70.0);
    AddEntry(f, BeaconKey(2), 1, -60.0);
    AddEntry(f, BeaconKey(1), 2, -60.0);  // exact match for the -60 reading
    AddBeacon(f, BeaconKey(1), 0, 0);
    AddBeacon(f, BeaconKey(2), 4, 0);
    return f;
}

std::vector<AccessPoint> Scan() {
    return {Reading(BeaconKey(1), -60.0, 10.0), Reading(BeaconKey(2), -70.0, 10.0)};
}

TEST(KnnWeightsTest, PlainDistanceFormAndExactMatch) {
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(MapOf({SmallFloor(1)}, 107)), 0);
    ASSERT_EQ(nav.updateRpWeightsKnn(1, Scan()), 0);
    const SublocationState& st = nav.getSublocationStates()[0];
    // |-62 - -60| + |-75 - -70| = 7 over two terms.
    EXPECT_DOUBLE_EQ(st.weights.at(0), 2.0 / std::sqrt(7.0));
    EXPECT_EQ(st.visibleCounts.at(0), 2);
    EXPECT_DOUBLE_EQ(st.weights.at(1), 2.0 / std::sqrt(10.0 + 10.0));
    // A single exact match counts 1e-6: a very large, finite weight.
    EXPECT_DOUBLE_EQ(st.weights.at(2), 1.0 / std::sqrt(1e-6));
    EXPECT_DOUBLE_EQ(st.weightSum, st.weights.at(0) + st.weights.at(1) + st.weights.at(2));
    EXPECT_EQ(st.globalWeights, st.weights);
}

TEST(KnnWeightsTest, VisibilityThresholds) {
    {  // Min_rpvis 3 with Min_nvisible 2: k = 2, two-key points keep their weight
        NavigationMap map = MapOf({SmallFloor(1)}, 107);
        map.getNavigationProperties().knn.Min_rpvis_aps = 3;
        Navigation nav;
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.updateRpWeightsKnn(1, Scan());
        const SublocationState& st = nav.getSublocationStates()[0];
        EXPECT_GT(st.weights.at(0), 0.0);
        EXPECT_EQ(st.weights.at(2), 0.0);  // one term < 2
    }
    {  // a single reading below Min_nvisible leaves the floor at zero
        Navigation nav;
        ASSERT_EQ(nav.specifyNavigationMap(MapOf({SmallFloor(1)}, 107)), 0);
        EXPECT_EQ(nav.updateRpWeightsKnn(1, {Reading(BeaconKey(1), -60.0, 10.0)}), 0);
        EXPECT_EQ(nav.getSublocationStates()[0].weightSum, 0.0);
        EXPECT_EQ(nav.updateRpWeightsKnn(99, Scan()), -1);
    }
}

TEST(KnnWeightsTest, DifferenceModeComparesPairs) {
    NavigationMap map = MapOf({SmallFloor(1)}, 107);
    map.getNavigationProperties().knn.Differention_mode = true;
    map.getNavigationProperties().knn.Min_nvisible_aps = 1;
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(map), 0);
    nav.updateRpWeightsKnn(1, Scan());
    const SublocationState& st = nav.getSublocationStates()[0];
    // Point 0: |(-75 - -62) - (-70 - -60)| = 3, one pair.
    EXPECT_DOUBLE_EQ(st.weights.at(0), 1.0 / std::sqrt(3.0));
    // Point 1: |(-60 - -70) - (-10)| = 20.
    EXPECT_DOUBLE_EQ(st.weights.at(1), 1.0 / std::sqrt(20.0));
    // Point 2 has no surveyed B: no pair, no weight.
    EXPECT_EQ(st.weights.at(2), 0.0);
}

TEST(KnnWeightsTest, TrustworthinessSumsToOneAndSurvivesExtremes) {
    Navigation nav;
    std::vector<double> w;
    std::vector<AccessPoint> m = {Reading("a", -60.0, 0), Reading("b", -90.0, 0)};
    nav.calculateApTrustworthiness(m, w);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_NEAR(w[0] + w[1], 1.0, 1e-12);
    EXPECT_GT(w[0], w[1]);
    m = {Reading("a", -1e300, 0), Reading("b", -1e308, 0)};
    nav.calculateApTrustworthiness(m, w);
    for (double x : w) EXPECT_TRUE(std::isfinite(x));
    EXPECT_NEAR(w[0] + w[1], 1.0, 1e-12);
}

TEST(KnnWeightsTest, NormalisationAndTriangles) {
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107)), 0);
    // Floor 1 hears its own beacons; floor 2 none of its keys: zero weights.
    ASSERT_EQ(Feed(nav,
                   {Reading(BeaconKey(0), -53.0, 10.0), Reading(BeaconKey(1), -65.0, 10.0),
                    Reading(BeaconKey(2), -65.0, 10.0), Reading(BeaconKey(3), -70.0, 10.0)},
                   10.0),
              0);
    ASSERT_EQ(nav.updateSublocationWeights(), 0);
    EXPECT_FALSE(nav.getIsGoodSignals());  // the window is consumed
    EXPECT_EQ(nav.updateSublocationWeights(), -1);
    const auto& states = nav.getSublocationStates();
    double local = 0.0, global = 0.0;
    for (const auto& [k, w] : states[0].weights) local += w;
    for (const auto& st : states)
        for (const auto& [k, w] : st.globalWeights) global += w;
    EXPECT_NEAR(local, 1.0, 1e-9);
    EXPECT_NEAR(global, 1.0, 1e-9);
    for (const NavTriangle& t : states[1].triangles) {
        EXPECT_EQ(t.wLocal, 0.0);
        EXPECT_EQ(t.wGlobal, 0.0);
    }
    for (const NavTriangle& t : states[0].triangles) {
        const auto& w = states[0].weights;
        EXPECT_NEAR(t.wLocal, w.at(t.indexes[0]) + w.at(t.indexes[1]) + w.at(t.indexes[2]), 1e-12);
    }
}

TEST(KnnWeightsTest, TriangleWithAnUnweightedCornerWeighsNothing) {
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0)}, 107)), 0);
    bool found = false;
    SublocationState* st = nav.getSublocationStateById(1, found);
    ASSERT_TRUE(found);
    for (auto& [k, w] : st->weights) w = 0.1;
    st->globalWeights = st->weights;
    const NavTriangle first = st->triangles[0];
    st->weights[first.indexes[1]] = 0.0;
    nav.updateTrianglesWeight(1);
    EXPECT_EQ(st->triangles[0].wLocal, 0.0);
    EXPECT_EQ(st->triangles[0].wGlobal, 0.0);
    const int zero = first.indexes[1];
    for (const NavTriangle& t : st->triangles) {
        const bool touches = std::find(t.indexes.begin(), t.indexes.end(), zero) != t.indexes.end();
        EXPECT_NEAR(t.wLocal, touches ? 0.0 : 0.3, 1e-12);
    }
}

TEST(KnnWeightsTest, NoFloorAboveTheMinimumFailsThePass) {
    Navigation nav;
    ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107)), 0);
    Feed(nav, {Reading(BeaconKey(0), -60.0, 10.0), Reading(BeaconKey(10), -60.0, 10.0)}, 10.0);
    EXPECT_EQ(nav.updateSublocationWeights(), -1);
    EXPECT_EQ(nav.calculateCoordinates(), -1);
}

}  // namespace
