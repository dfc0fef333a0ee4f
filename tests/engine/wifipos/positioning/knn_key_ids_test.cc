// The nearest-neighbour weights of a window move find each reading's rows by
// an id its key got when the map was loaded: a reading must land on its own
// key's row on every floor, or count as unknown there, whatever the other
// floors list and however the window was trimmed or the map replaced.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

struct Heard {
    int key;
    double rssi;
};

std::vector<AccessPoint> Batch(const std::vector<Heard>& heard, double t) {
    std::vector<AccessPoint> batch;
    for (const Heard& h : heard) batch.push_back(Reading(BeaconKey(h.key), h.rssi, t));
    return batch;
}

// Floor 1 surveys keys 0-3 and lists key 5 for a point it does not have;
// floor 2 surveys keys 10-13 and 20.
NavigationMap TwoFloors(bool closestOnly = false) {
    SublocationMap a = GridFloor(1, 0);
    AddEntry(a, BeaconKey(5), 99, -60.0);
    SublocationMap b = GridFloor(2, 10);
    for (int p = 0; p < 9; ++p) AddEntry(b, BeaconKey(20), p, -58.0 - p);
    NavigationMap map = MapOf({a, b}, 107, EngineBehaviour::kit());
    map.getNavigationProperties().Use_closest_aps = closestOnly;
    map.getNavigationProperties().N_closest_aps = 3;
    return map;
}

std::vector<double> FloorWeights(const NavigationMap& map, const std::vector<Heard>& heard, size_t floor) {
    Navigation nav(EngineBehaviour::kit());
    EXPECT_EQ(nav.specifyNavigationMap(map), 0);
    nav.setAutoClearingOldMeas(true);
    Feed(nav, Batch(heard, 10.0), 10.0);
    EXPECT_EQ(nav.updateSublocationWeights(), 0);
    return nav.getSublocationStates()[floor].weights;
}

TEST(KnnKeyIds, AReadingUnknownToAFloorCountsAlikeWhateverElseListsIt) {
    const struct {
        const char* name;
        size_t floor;
        std::vector<Heard> base;
        int key;  // heard besides, at -70 dB
    } cases[] = {
        {"surveyed on the other floor", 0, {{0, -55.0}, {1, -61.0}, {2, -64.0}}, 10},
        {"surveyed on the other floor, last of its keys", 0, {{0, -55.0}, {1, -61.0}, {2, -64.0}}, 20},
        {"listed here without a point of its own", 0, {{0, -55.0}, {1, -61.0}, {2, -64.0}}, 5},
        {"upper floor, surveyed below", 1, {{10, -55.0}, {13, -61.0}, {20, -64.0}}, 1},
        {"upper floor, listed below only", 1, {{10, -55.0}, {13, -61.0}, {20, -64.0}}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The same as a key no floor lists.
        std::vector<Heard> unknown = c.base;
        unknown.push_back({99, -70.0});
        std::vector<Heard> h = c.base;
        h.push_back({c.key, -70.0});
        EXPECT_EQ(FloorWeights(TwoFloors(), h, c.floor), FloorWeights(TwoFloors(), unknown, c.floor));
        // A key of the floor itself is no unknown one.
        std::vector<Heard> own = c.base;
        own.push_back({c.floor == 0 ? 3 : 11, -70.0});
        EXPECT_NE(FloorWeights(TwoFloors(), own, c.floor), FloorWeights(TwoFloors(), unknown, c.floor));
    }
}

// Weights and triangle weights of every floor.
struct Outcome {
    std::vector<std::vector<double>> weights;
    std::vector<std::vector<double>> triangles;
    bool operator==(const Outcome&) const = default;
};

Outcome OutcomeOf(const Navigation& nav) {
    Outcome o;
    for (const SublocationState& st : nav.getSublocationStates()) {
        o.weights.push_back(st.weights);
        o.triangles.emplace_back();
        for (const NavTriangle& t : st.triangles) o.triangles.back().push_back(t.wLocal);
    }
    return o;
}

TEST(KnnKeyIds, AWindowMoveWeighsAsTheReadingsLookedUpAfresh) {
    // Windows fed one after the other; the weights after each must be those
    // of the same averaged readings weighed by a client that looks every key
    // up anew.
    const std::vector<std::vector<Heard>> walk = {
        {{0, -70.0}, {1, -52.0}, {12, -75.0}, {2, -58.0}, {3, -66.0}},
        {{13, -50.0}, {11, -57.0}, {99, -60.0}, {20, -65.0}},
        {{2, -54.0}, {5, -56.0}, {0, -62.0}, {10, -80.0}},
    };
    const struct {
        const char* name;
        bool closestOnly;  // the window trimmed to its three strongest readings
        bool reloaded;     // another map loaded into the client first
    } cases[] = {
        {"whole window", false, false},
        {"strongest readings only", true, false},
        {"after another map", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NavigationMap map = TwoFloors(c.closestOnly);
        Navigation nav(EngineBehaviour::kit());
        if (c.reloaded) {
            // Its floors number the same grid's middle point first, so that
            // their triangles name other corners.
            std::vector<SublocationMap> floors;
            for (int id : {7, 8, 9}) {
                SublocationMap f = MakeFloor(id);
                for (int p : {4, 0, 1, 2, 3, 5, 6, 7, 8}) AddPoint(f, 4.0 * (p % 3), 4.0 * (p / 3));
                for (int p = 0; p < 9; ++p) AddEntry(f, BeaconKey(id == 8 ? 0 : 30 + id), p, -50.0 - p);
                floors.push_back(f);
            }
            NavigationMap other = MapOf(floors, 107, EngineBehaviour::kit());
            ASSERT_EQ(nav.specifyNavigationMap(other), 0);
        }
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.setAutoClearingOldMeas(true);
        double t = 10.0;
        for (const std::vector<Heard>& heard : walk) {
            Feed(nav, Batch(heard, t), t);
            t += 3.0;
            ASSERT_EQ(nav.updateSublocationWeights(), 0);
            Navigation fresh(EngineBehaviour::kit());
            ASSERT_EQ(fresh.specifyNavigationMap(map), 0);
            for (size_t s = 0; s < 2; ++s) {
                ASSERT_EQ(fresh.updateRpWeightsKnn(nav.getSublocationStates()[s].id, nav.getNavAveragedSignals()), 0);
            }
            ASSERT_EQ(fresh.normalizeRpWeights(), 0);
            for (size_t s = 0; s < 2; ++s) fresh.updateTrianglesWeight(fresh.getSublocationStates()[s].id);
            EXPECT_EQ(OutcomeOf(nav), OutcomeOf(fresh));
        }
    }
}

}  // namespace
