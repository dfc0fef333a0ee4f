#include <cmath>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

// A 3 x 3 floor whose entries carry wide survey histograms (2 samples at
// every level within 12 dB of the mean), so that neighbouring points share
// levels as they do in a real survey.
SublocationMap HistFloor(int id, int firstKey) {
    SublocationMap f = GridFloor(id, firstKey);
    for (auto& [key, ap] : f.getRadioMap()) {
        const int level = static_cast<int>(-ap.getRssi());
        std::string text;
        for (int l = level - 12; l <= level + 12; ++l)
            text += (text.empty() ? "" : " ") + std::to_string(l) + ":" + (l == level ? "4" : "2");
        ap.setDistribution(text);
        ap.parseDistributionString();
        ap.calculateMeanRssi();
        ap.calculateVariance();
    }
    return f;
}

class HistogramWeightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        NavigationMap map = MapOf({HistFloor(1, 0), HistFloor(2, 10)}, 109);
        map.getNavigationProperties().knn.Differention_mode = false;
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.initializeHistogram();
        nav.setAutoClearingOldMeas(true);
    }
    Navigation nav;
};

TEST_F(HistogramWeightsTest, FloorWhereNothingMatchedHasNoWeight) {
    // Floor 2's keys are heard, but at levels none of its histograms holds;
    // floor 1 matches weakly through one key. Floor 2 must not win with
    // untouched weights.
    Feed(nav,
         {Reading(BeaconKey(10), -20.0, 10.0), Reading(BeaconKey(11), -21.0, 10.0),
          Reading(BeaconKey(12), -22.0, 10.0), Reading(BeaconKey(0), -62.0, 10.0)},
         10.0);
    ASSERT_EQ(nav.calculateCoordinates(), 0);
    EXPECT_EQ(nav.getCurSublocIndex(), 0);
    const SublocationState& other = nav.getSublocationStates()[1];
    EXPECT_EQ(other.weightSum, 0.0);
    for (const auto& [k, w] : other.weights) EXPECT_EQ(w, 0.0);
    for (const NavTriangle& t : other.triangles) EXPECT_EQ(t.wGlobal, 0.0);
    // Nothing matches anywhere: no floor, no position, no NaN.
    Feed(nav, {Reading(BeaconKey(10), -20.0, 12.0), Reading(BeaconKey(1), -20.0, 12.0)}, 12.0);
    EXPECT_EQ(nav.calculateCoordinates(), -1);
    EXPECT_TRUE(std::isfinite(nav.getX()));
}

TEST_F(HistogramWeightsTest, FloorWithoutAnyKnownKeyDropsItsOldWeights) {
    Feed(nav,
         {Reading(BeaconKey(10), -50.0, 10.0), Reading(BeaconKey(11), -74.0, 10.0),
          Reading(BeaconKey(0), -74.0, 10.0)},
         10.0);
    ASSERT_EQ(nav.calculateCoordinates(), 0);
    ASSERT_GT(nav.getSublocationStates()[0].weightSum, 0.0);
    // Next window: only floor 2's keys. Floor 1's last weights must not stay.
    Feed(nav, {Reading(BeaconKey(10), -50.0, 12.0), Reading(BeaconKey(11), -74.0, 12.0)}, 12.0);
    ASSERT_EQ(nav.calculateCoordinates(), 0);
    EXPECT_EQ(nav.getSublocationStates()[0].weightSum, 0.0);
    for (const auto& [k, w] : nav.getSublocationStates()[0].globalWeights) EXPECT_EQ(w, 0.0);
}

}  // namespace
