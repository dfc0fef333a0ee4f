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
                      MapOf({GridFloor(1, 0), GridFloor(2, 10), GridFloor(3, 20)}, 114, EngineBehaviour::original())),
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
    Navigation nav{EngineBehaviour::kit()};
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
        nav = Navigation(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(MapOf(
                      {GridFloor(1, 0), GridFloor(2, 10), GridFloor(3, 20)}, 114, BehaviourOf(c.kit))),
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
        ASSERT_EQ(nav.specifyNavigationMap(
                      MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107, EngineBehaviour::original())),
                  0);
        nav.setAutoClearingOldMeas(true);
    }
    Navigation nav{EngineBehaviour::kit()};
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


// Two floors of the nearest-neighbour method that ask for three beacons
// (keys 0-3 on floor index 0, 10-13 on index 1); the walker starts on index 0.
class ThinWindowFloorTest : public ::testing::Test {
protected:
    void Start(bool kit, bool stopped) {
        nav = Navigation(EngineBehaviour::kit());
        NavigationMap map = MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107, BehaviourOf(kit));
        map.getNavigationProperties().knn.Min_nvisible_aps = 3;
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.setAutoClearingOldMeas(true);
        t = 10.0;
        Feed(nav,
             {Reading(BeaconKey(0), -52.0, t), Reading(BeaconKey(1), -70.0, t),
              Reading(BeaconKey(2), -70.0, t), Reading(BeaconKey(3), -80.0, t)},
             t);
        ASSERT_EQ(nav.calculateCoordinates(), 0);
        ASSERT_EQ(nav.getCurSublocIndex(), 0);
        nav.setIsStop(stopped);
    }
    // One window that hears only these keys, long after the last one.
    void Hear(const std::vector<int>& keys) {
        t += 30.0;
        std::vector<AccessPoint> batch;
        for (int k : keys) batch.push_back(Reading(BeaconKey(k), -75.0, t));
        Feed(nav, batch, t);
        EXPECT_NE(nav.calculateCoordinates(), 0);  // too few beacons for a position
    }
    Navigation nav{EngineBehaviour::kit()};
    double t = 10.0;
};

TEST_F(ThinWindowFloorTest, WindowsHearingOneOtherFloorAloneSwitchToItAndKeepTheSolutionAlive) {
    const struct {
        bool kit;
        bool stopped;
        std::vector<int> keys;  // heard in every thin window
        int windows;
        int floorAfter;
        bool solutionKept;  // the last signal solution time follows the windows
    } cases[] = {
        {true, false, {10, 11}, 3, 0, true},
        {true, false, {10, 11}, 4, 1, true},
        {true, true, {10, 11}, 3, 1, true},
        {true, true, {12}, 3, 1, true},
        // Both floors heard: no floor is named.
        {true, true, {0, 10}, 5, 0, false},
        // The current floor's beacons alone keep it and keep it alive.
        {true, true, {1, 2}, 5, 0, true},
        // The original behaviour has no floor without a position.
        {false, true, {10, 11}, 5, 0, false},
        {false, false, {10, 11}, 5, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kit " << c.kit << " stopped " << c.stopped << " windows "
                                          << c.windows << " first key " << c.keys[0]);
        Start(c.kit, c.stopped);
        for (int w = 0; w < c.windows; ++w) Hear(c.keys);
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
        EXPECT_DOUBLE_EQ(nav.getLastSignalSolutionTime(), c.solutionKept ? t : 10.0);
    }
}

// Floor shares and heaviest triangles set by hand, as the weighting pass
// leaves them, on two floors with the current floor index 0.
TEST(FloorShareTest, AWindowCountsForTheFloorWithTheLargestShareByAMarginWhileWalking) {
    const struct {
        bool kit;
        bool stopped;
        double share0, share1;
        int heaviestOn;    // the floor index of the heaviest triangle
        int counted;       // the floor counted towards a switch, -1 for none
        int loudFloor = -1;  // the floor whose beacon the window hears loudest
        int method = 107;
    } cases[] = {
        // The heaviest triangle may lie on a floor holding little of the weight.
        {true, true, 0.3, 0.7, 0, 1},
        {false, true, 0.3, 0.7, 0, -1},
        {false, true, 0.7, 0.3, 1, 1},
        {true, true, 0.7, 0.3, 1, -1},
        // While walking another floor must hold half again the current share.
        {true, false, 0.45, 0.55, 1, -1},
        {true, false, 0.35, 0.65, 0, 1},
        {true, true, 0.45, 0.55, 0, 1},
        // Histogram shares within a third of each other: the loudest floor's
        // beacons decide; nearest-neighbour shares stay as they are.
        {true, true, 0.55, 0.45, 0, 1, 1, 109},
        {true, true, 0.45, 0.55, 1, -1, 0, 109},
        {true, true, 0.7, 0.3, 0, -1, 1, 109},
        {true, false, 0.55, 0.45, 0, -1, 1, 109},
        {true, true, 0.55, 0.45, 0, -1, 1, 107},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "method " << c.method << " kit " << c.kit << " stopped "
                                          << c.stopped << " shares " << c.share0 << "/" << c.share1);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(
                      MapOf({GridFloor(1, 0), GridFloor(2, 10)}, c.method, BehaviourOf(c.kit))),
                  0);
        if (c.loudFloor >= 0) {
            nav.setAutoClearingOldMeas(true);
            Feed(nav,
                 {Reading(BeaconKey(10 * c.loudFloor), -60.0, 10.0),
                  Reading(BeaconKey(10 * (1 - c.loudFloor)), -85.0, 10.0)},
                 10.0);
        }
        nav.setCurSublocInd(0);
        nav.setIsStop(c.stopped);
        for (int f = 0; f < 2; ++f) {
            SublocationState* st = nav.getSublocationStateByIndex(f);
            ASSERT_NE(st, nullptr);
            ASSERT_FALSE(st->triangles.empty());
            const double share = f == 0 ? c.share0 : c.share1;
            st->globalWeights.assign(9, share / 9.0);
            for (NavTriangle& tr : st->triangles) tr.wGlobal = 0.0;
            st->triangles[0].wGlobal = f == c.heaviestOn ? 0.5 : 0.1;
        }
        ASSERT_EQ(nav.detectSublocIdWithHistory(), 0);
        if (c.counted < 0) {
            EXPECT_TRUE(nav.getSublocHistory().empty());
        } else {
            ASSERT_EQ(nav.getSublocHistory().size(), 1u);
            EXPECT_EQ(nav.getSublocHistory().back(), c.counted);
        }
        // The fix in the heaviest triangle reads the corners on the floor
        // the window was decided for: the triangle must be that floor's.
        const int decided = c.counted >= 0 ? c.counted : 0;
        EXPECT_DOUBLE_EQ(nav.getHeaviestTriangle().wGlobal, decided == c.heaviestOn ? 0.5 : 0.1);
    }
}

// Windows in a row speak for floor index 1 (share of the weights given;
// floor 0's is the rest). While walking, a window where floor 1 leads by less
// than the walking margin keeps the count; one where the current floor leads
// empties it. Standing (a lift), a window that leaves the floors tied keeps
// the count too.
TEST(FloorShareTest, ANarrowLeadOrAStandingTieNeitherCountsNorClears) {
    const struct {
        std::vector<double> shares1;
        int floorAfter;
        size_t counted;  // windows counted towards floor 1 afterwards
        bool stopped = false;
    } cases[] = {
        {{0.65, 0.65, 0.55, 0.65, 0.65}, 1, 0},
        {{0.65, 0.65, 0.55, 0.55, 0.65}, 0, 3},
        {{0.65, 0.65, 0.45, 0.65, 0.65}, 0, 2},
        // A narrow lead starts no count.
        {{0.55, 0.65, 0.65, 0.65}, 0, 3},
        // Standing, three agreeing windows switch; a tie between them does
        // not undo them, a clear lead of the current floor does.
        {{0.65, 0.65, 0.49, 0.65}, 1, 0, true},
        {{0.65, 0.65, 0.30, 0.65}, 0, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "windows " << c.shares1.size() << " first "
                                          << c.shares1[0] << " third " << c.shares1[2]
                                          << " stopped " << c.stopped);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107, EngineBehaviour::kit())), 0);
        nav.setCurSublocInd(0);
        nav.setIsStop(c.stopped);
        for (double share1 : c.shares1) {
            for (int f = 0; f < 2; ++f) {
                SublocationState* st = nav.getSublocationStateByIndex(f);
                ASSERT_NE(st, nullptr);
                ASSERT_FALSE(st->triangles.empty());
                st->globalWeights.assign(9, (f == 1 ? share1 : 1.0 - share1) / 9.0);
                for (NavTriangle& tr : st->triangles) tr.wGlobal = 0.0;
                st->triangles[0].wGlobal = f == 1 ? 0.5 : 0.1;
            }
            ASSERT_EQ(nav.detectSublocIdWithHistory(), 0);
        }
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
        EXPECT_EQ(nav.getSublocHistory().size(), c.counted);
    }
}

// The first floor of a walker who stood before walking on. Floor index 0
// surveys beacons A (its own) and B (floor 1's) at the standing spot, and
// nothing else there; its other points hear A loud. Every point of floor 1
// surveys A, B and its weak beacon C alike. A window of A, B and C heard on
// the move matches floor 1's points middlingly and floor 0's standing spot
// not at all (it surveys two of the three), so alone it names floor 1; the
// stop's readings match the spot closely, and floor 1's nine points only
// middlingly, which together would still outweigh the one close match.
class StandingStartTest : public ::testing::Test {
protected:
    static NavigationMap Map(bool kit) {
        const std::string a = BeaconKey(0), b = BeaconKey(10), c = BeaconKey(11);
        SublocationMap f0 = MakeFloor(1), f1 = MakeFloor(2);
        AddBeacon(f0, a, 8.0, 8.0);
        AddBeacon(f1, b, 8.0, 8.0);
        AddBeacon(f1, c, 0.0, 8.0);
        for (int p = 0; p < 9; ++p) {
            AddPoint(f0, 4.0 * (p % 3), 4.0 * (p / 3));
            AddPoint(f1, 4.0 * (p % 3), 4.0 * (p / 3));
            if (p == 0) {
                AddEntry(f0, a, p, -88.0);
                AddEntry(f0, b, p, -80.0);
            } else {
                AddEntry(f0, a, p, -65.0);
                AddEntry(f0, b, p, -95.0);
                AddEntry(f0, c, p, -100.0);
            }
            AddEntry(f1, a, p, -89.0);
            AddEntry(f1, b, p, -83.0);
            AddEntry(f1, c, p, -92.0);
        }
        NavigationMap map = MapOf({f0, f1}, 107, BehaviourOf(kit));
        map.getNavigationProperties().knn.Min_nvisible_aps = 3;
        map.getNavigationProperties().knn.Min_rpvis_aps = 3;
        return map;
    }
};

TEST_F(StandingStartTest, TheFirstFloorGoesByTheReadingsOfTheStopBeforeIt) {
    const struct {
        const char* name;
        bool kit;
        bool stood;        // the walker stood at the spot from 10 s to 19.5 s
        double walkFrom;   // the first window of three beacons
        int firstFloor;
    } cases[] = {
        {"stood, then walked on", true, true, 20.0, 0},
        {"never stood", true, false, 20.0, 1},
        {"walked on too long since the stop", true, true, 27.0, 1},
        {"original rules", false, true, 20.0, 1},
    };
    const std::string a = BeaconKey(0), b = BeaconKey(10), c = BeaconKey(11);
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(Map(tc.kit)), 0);
        nav.setAutoClearingOldMeas(true);
        nav.setIsStop(tc.stood);
        for (double t = 10.0; t < 19.9; t += 0.5) {
            Feed(nav, {Reading(a, t < 15.0 ? -87.0 : -89.0, t), Reading(b, -80.0, t)}, t);
            EXPECT_NE(nav.calculateCoordinates(), 0);  // two beacons: no floor, no fix
        }
        nav.setIsStop(false);
        Feed(nav, {Reading(a, -89.0, tc.walkFrom), Reading(b, -86.0, tc.walkFrom), Reading(c, -97.0, tc.walkFrom)},
             tc.walkFrom);
        nav.calculateCoordinates();
        EXPECT_EQ(nav.getCurSublocIndex(), tc.firstFloor);
    }
}

// Off the level, a window whose floor holds four times the current floor's
// share counts twice; the floor still never changes on one window.
TEST(FloorShareTest, AOneSidedWindowOffTheLevelCountsTwice) {
    const struct {
        bool kit;
        bool stopped;
        double share1;  // floor index 1's share in every window; index 0 holds the rest
        int windows;
        int floorAfter;
    } cases[] = {
        {true, true, 0.95, 2, 1},  {true, true, 0.95, 1, 0},  {true, true, 0.8, 2, 1},
        {true, true, 0.75, 2, 0},  {true, true, 0.75, 3, 1},  {true, false, 0.95, 3, 0},
        {false, true, 0.95, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kit " << c.kit << " stopped " << c.stopped << " share "
                                          << c.share1 << " windows " << c.windows);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(MapOf({GridFloor(1, 0), GridFloor(2, 10)}, 107, BehaviourOf(c.kit))), 0);
        nav.setCurSublocInd(0);
        nav.setIsStop(c.stopped);
        for (int w = 0; w < c.windows; ++w) {
            for (int f = 0; f < 2; ++f) {
                SublocationState* st = nav.getSublocationStateByIndex(f);
                ASSERT_NE(st, nullptr);
                st->globalWeights.assign(9, (f == 1 ? c.share1 : 1.0 - c.share1) / 9.0);
                for (NavTriangle& tr : st->triangles) tr.wGlobal = 0.0;
                st->triangles[0].wGlobal = f == 1 ? 0.5 : 0.1;
            }
            ASSERT_EQ(nav.detectSublocIdWithHistory(), 0);
        }
        EXPECT_EQ(nav.getCurSublocIndex(), c.floorAfter);
    }
}

}  // namespace
