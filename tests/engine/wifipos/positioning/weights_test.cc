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

}  // namespace
