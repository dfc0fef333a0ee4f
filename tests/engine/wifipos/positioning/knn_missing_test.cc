// The nearest-neighbour weights when a transmitter is missing on one side:
// surveyed at a point but not heard now, or heard now but not surveyed there.
#include <gtest/gtest.h>

#include <vector>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

struct Survey {
    int point;
    int key;
    double rssi;
};

struct Heard {
    int key;
    double rssi;
};

// Weights of points A (index 0) and B (index 1) after one window.
std::vector<double> Weigh(bool kit, const std::vector<Survey>& survey,
                          const std::vector<Heard>& heard) {
    SublocationMap f = MakeFloor(1);
    for (int i = 0; i < 3; ++i) AddPoint(f, 10.0 * i, 0.0);
    for (int k = 0; k < 3; ++k) AddBeacon(f, BeaconKey(k), 10.0 * k, 5.0);
    // Point C hears everything weakly: the floor's "not heard" level.
    for (int k = 0; k < 3; ++k) AddEntry(f, BeaconKey(k), 2, -90.0);
    for (const Survey& s : survey) AddEntry(f, BeaconKey(s.key), s.point, s.rssi);
    Navigation nav(EngineBehaviour::kit());
    EXPECT_EQ(nav.specifyNavigationMap(MapOf({f}, 107, BehaviourOf(kit))), 0);
    nav.setAutoClearingOldMeas(true);
    std::vector<AccessPoint> batch;
    for (const Heard& h : heard) batch.push_back(Reading(BeaconKey(h.key), h.rssi, 10.0));
    Feed(nav, batch, 10.0);
    EXPECT_EQ(nav.updateSublocationWeights(), 0);
    return nav.getSublocationStates()[0].weights;
}

TEST(KnnMissingTransmitters, APointThatShouldHearMoreOrLessLosesUnderTheKit) {
    const struct {
        const char* name;
        std::vector<Survey> survey;
        std::vector<Heard> heard;
    } cases[] = {
        // A matches the two heard transmitters exactly but was surveyed
        // hearing a third one loudly, which is silent now.
        {"surveyed, not heard",
         {{0, 0, -60}, {0, 1, -60}, {0, 2, -50}, {1, 0, -61}, {1, 1, -61}},
         {{0, -60}, {1, -60}}},
        // A matches two exactly, but a third transmitter heard loudly now
        // was never heard there.
        {"heard, not surveyed",
         {{0, 0, -60}, {0, 1, -60}, {1, 0, -61}, {1, 1, -61}, {1, 2, -56}},
         {{0, -60}, {1, -60}, {2, -55}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The original weighting looks only at transmitters on both sides
        // and prefers A; the kit counts the missing one against it.
        const std::vector<double> classic = Weigh(false, c.survey, c.heard);
        EXPECT_GT(classic[0], classic[1]);
        const std::vector<double> kit = Weigh(true, c.survey, c.heard);
        EXPECT_GT(kit[1], 2.0 * kit[0]);
        double sum = 0.0;
        for (double w : kit) sum += w;
        EXPECT_NEAR(sum, 1.0, 1e-9);
    }
}

}  // namespace
