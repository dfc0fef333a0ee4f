#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

class SignalWindowTest : public ::testing::Test {
protected:
    void Prepare(double shift, int useSignals = 101) {
        NavigationMap map = MapOf({GridFloor(1, 0)}, 107, EngineBehaviour::original());
        map.getNavigationProperties().Sig_window_shift = shift;
        map.getNavigationProperties().Use_Signals = useSignals;
        settings = map.getNavigationProperties();
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.setAutoClearingOldMeas(true);
    }
    Navigation nav{EngineBehaviour::kit()};
    CommonNavProperties settings;
};

TEST_F(SignalWindowTest, WindowMovesOnlyAfterTheShiftAndAveragesPerTransmitter) {
    Prepare(0.5);
    Feed(nav, {Reading(BeaconKey(0), -70.0, 10.0)}, 10.0);
    Feed(nav, {Reading(BeaconKey(0), -72.0, 10.3), Reading(BeaconKey(1), -80.0, 10.3)}, 10.3);
    EXPECT_EQ(nav.getNewSignals().size(), 3u);
    EXPECT_FALSE(nav.getIsGoodSignals());
    Feed(nav, {Reading(BeaconKey(0), -74.0, 10.5)}, 10.5);
    EXPECT_TRUE(nav.getNewSignals().empty());
    EXPECT_TRUE(nav.getIsGoodSignals());
    EXPECT_EQ(nav.getNavSignals().size(), 4u);
    const std::vector<AccessPoint> avg = nav.getNavAveragedSignals();
    ASSERT_EQ(avg.size(), 2u);
    EXPECT_EQ(avg[0].getBssid(), BeaconKey(0));
    EXPECT_DOUBLE_EQ(avg[0].getRssi(), -72.0);
    EXPECT_DOUBLE_EQ(avg[1].getRssi(), -80.0);
    // Output signals: the moved readings of the last shift (after 10.0 s).
    EXPECT_EQ(nav.getOutputSignals().size(), 3u);
}

TEST_F(SignalWindowTest, OldReadingsLeaveTheWindowUnlessStandingStill) {
    Prepare(0.5);
    Feed(nav, {Reading(BeaconKey(0), -70.0, 10.0)}, 10.0);
    Feed(nav, {Reading(BeaconKey(1), -70.0, 10.5)}, 10.5);
    EXPECT_EQ(nav.getNavSignals().size(), 2u);
    Feed(nav, {Reading(BeaconKey(2), -70.0, 12.0)}, 12.0);
    // The reading of 10.0 is 2 s old > 1.5 s.
    EXPECT_EQ(nav.getNavSignals().size(), 2u);
    nav.setIsStop(true);
    Feed(nav, {Reading(BeaconKey(3), -70.0, 13.5)}, 13.5);
    Feed(nav, {Reading(BeaconKey(3), -70.0, 16.0)}, 16.0);
    EXPECT_EQ(nav.getNavSignals().size(), 4u);  // kept while standing, younger than 6 s
    Feed(nav, {Reading(BeaconKey(3), -70.0, 17.0)}, 17.0);
    EXPECT_EQ(nav.getNavSignals().size(), 4u);  // 10.5 aged out (6.5 s)
}

TEST_F(SignalWindowTest, StandingKeepsOldReadingsUnlessFreshOnesPointToAnotherFloor) {
    // Standing on floor index 0, then the beacons of floor index 1 take over
    // (stairs climbed with a gait the pedometer missed). The original window
    // keeps the old floor's readings up to 6 s; the kit lets them go, but
    // for the histogram method only those older than 2.5 s.
    struct Case {
        int algorithm;
        bool kit;
        size_t kept;  // readings in the window after the other floor's
    };
    const Case cases[] = {
        {107, false, 5u},  // everything younger than 6 s
        {107, true, 2u},   // the other floor's two only
        {109, false, 5u},
        {109, true, 3u},   // and the reading of 13.0 (2 s old)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.algorithm) + (c.kit ? " kit" : " classic"));
        nav = Navigation(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(
                      MapOf({GridFloor(1, 0), GridFloor(2, 10)}, c.algorithm, BehaviourOf(c.kit))),
                  0);
        nav.setAutoClearingOldMeas(true);
        nav.setCurSublocInd(0);
        nav.setIsStop(true);
        Feed(nav, {Reading(BeaconKey(0), -70.0, 10.0)}, 10.0);
        Feed(nav, {Reading(BeaconKey(1), -70.0, 12.0)}, 12.0);
        Feed(nav, {Reading(BeaconKey(2), -70.0, 13.0)}, 13.0);
        EXPECT_EQ(nav.getNavSignals().size(), 3u);  // same floor: kept by all
        Feed(nav, {Reading(BeaconKey(10), -60.0, 15.0), Reading(BeaconKey(11), -62.0, 15.0)}, 15.0);
        EXPECT_EQ(nav.getNavSignals().size(), c.kept);
    }
}

TEST_F(SignalWindowTest, UnreadableWindowTimesAreRefused) {
    NavigationMap map = MapOf({GridFloor(1, 0)}, 107, EngineBehaviour::original());
    map.getNavigationProperties().Sig_window_shift = std::numeric_limits<double>::infinity();
    ASSERT_EQ(nav.specifyNavigationMap(map), 0);
    EXPECT_DOUBLE_EQ(nav.getShiftTime(), 0.5);
    nav.setMeasAccumulationTime(std::nan(""));
    nav.setMeasAccumulationTime(-2.0);
    EXPECT_DOUBLE_EQ(nav.getAccumulationTime(), 1.5);
    // Readings keep ageing out of the window.
    nav.setAutoClearingOldMeas(true);
    for (int i = 0; i < 40; ++i) Feed(nav, {Reading(BeaconKey(0), -70.0, 10.0 + 0.5 * i)}, 10.0 + 0.5 * i);
    EXPECT_LE(nav.getNavSignals().size(), 4u);
}

TEST_F(SignalWindowTest, ClockGoingBackStartsTheWindowAgain) {
    Prepare(0.5);
    Feed(nav, {Reading(BeaconKey(0), -70.0, 1000.0)}, 1000.0);
    Feed(nav, {Reading(BeaconKey(0), -70.0, 1000.5)}, 1000.5);
    ASSERT_TRUE(nav.getIsGoodSignals());
    nav.setIsGoodSignals(false);
    // The phone clock jumps back by ten minutes: windows must keep moving
    // and the readings stamped in the future must not stay forever.
    Feed(nav, {Reading(BeaconKey(1), -60.0, 400.0)}, 400.0);
    Feed(nav, {Reading(BeaconKey(1), -61.0, 400.5)}, 400.5);
    EXPECT_TRUE(nav.getIsGoodSignals());
    for (const AccessPoint& ap : nav.getNavSignals()) EXPECT_EQ(ap.getBssid(), BeaconKey(1));
    EXPECT_NEAR(nav.getLastMeasTime(), 400.5, 1e-3);
    // A short reordering of readings is not a clock jump.
    Feed(nav, {Reading(BeaconKey(2), -60.0, 399.0)}, 401.0);
    Feed(nav, {Reading(BeaconKey(2), -60.0, 401.0)}, 401.0);
    EXPECT_NEAR(nav.getLastMeasTime(), 401.0, 1e-3);
    EXPECT_GE(nav.getNavSignals().size(), 2u);
    // One reading stamped 20 s late in a current message is dropped alone;
    // the window keeps its readings and moves on.
    Feed(nav, {Reading(BeaconKey(3), -60.0, 381.0)}, 401.2);
    Feed(nav, {Reading(BeaconKey(2), -60.0, 401.6)}, 401.6);
    int older = 0;
    for (const AccessPoint& ap : nav.getNavSignals()) {
        EXPECT_NE(ap.getBssid(), BeaconKey(3));
        older += ap.getTime() < 401.5;
    }
    EXPECT_GE(older, 2);
    EXPECT_NEAR(nav.getLastMeasTime(), 401.6, 1e-3);
}

TEST_F(SignalWindowTest, ShortWindowHearingFewBeaconsReachesBackToTheStoredLength) {
    // A reading 1.2 s old outlives a 1 s window only while the last second
    // hears few beacons and the reach is longer than its age.
    struct Case {
        const char* what;
        int fresh;     // beacons heard in the last second
        double reach;  // s
        double oldAt;  // time of the old reading; the last batch comes at 11.2 s
        bool kept;
    };
    const Case cases[] = {
        {"sparse", 4, 1.5, 10.0, true},
        {"just too few", 7, 1.5, 10.0, true},
        {"enough", 8, 1.5, 10.0, false},
        {"dense", 16, 1.5, 10.0, false},
        {"no reach", 4, 0.0, 10.0, false},
        {"reach no longer than the window", 4, 1.0, 10.0, false},
        {"older than the reach", 4, 1.5, 9.6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Navigation n(EngineBehaviour::kit());
        NavigationMap map = MapOf({GridFloor(1, 0)}, 107, EngineBehaviour::original());
        map.getNavigationProperties().Sig_window_shift = 0.5;
        map.getNavigationProperties().Clear_unknown_beacons = false;
        ASSERT_EQ(n.specifyNavigationMap(map), 0);
        n.setAutoClearingOldMeas(true);
        n.setMeasAccumulationTime(1.0);
        n.setWindowReach(c.reach);
        Feed(n, {Reading(BeaconKey(100), -70.0, c.oldAt)}, c.oldAt);
        std::vector<AccessPoint> batch;
        for (int b = 0; b < c.fresh; ++b) batch.push_back(Reading(BeaconKey(b), -75.0, 10.7));
        Feed(n, batch, 10.7);
        Feed(n, {Reading(BeaconKey(0), -75.0, 11.2)}, 11.2);
        bool kept = false;
        for (const AccessPoint& ap : n.getNavSignals()) kept |= ap.getBssid() == BeaconKey(100);
        EXPECT_EQ(kept, c.kept);
    }
}

}  // namespace
