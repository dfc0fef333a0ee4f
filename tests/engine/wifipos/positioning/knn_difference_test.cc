// The nearest-neighbour weights on surveys small enough to weigh by hand.
// The difference mode compares the gaps between transmitters instead of the
// levels themselves, so a phone that hears everything 20 dB weaker still
// picks the point whose gaps match.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

struct Case {
    const char* what;
    bool differential;
    std::vector<std::vector<double>> survey;  // [point][transmitter] level
    std::vector<double> heard;                // per transmitter
    std::vector<double> weights;              // per point, before normalising
    std::vector<int> terms;                   // per point
};

// A weight is (terms) / sqrt(summed mismatch); a mismatch of zero counts as 1e-6.
const double kExact = 1.0 / std::sqrt(1e-6);

TEST(KnnDifferenceTest, WeighsSmallSurveysAsWorkedOutByHand) {
    const std::vector<Case> cases = {
        // Gaps: point 0 is -10 dB between a and b, point 1 -20 dB; the phone
        // hears -10 dB, 20 dB below point 0's levels.
        {"levels, plain", false, {{-50, -60}, {-50, -70}}, {-70, -80}, {2 / std::sqrt(40.0), 2 / std::sqrt(30.0)}, {2, 2}},
        {"gaps, offset phone", true, {{-50, -60}, {-50, -70}}, {-70, -80}, {kExact, 1 / std::sqrt(10.0)}, {1, 1}},
        // Three transmitters give three pairs: (b-a), (c-a), (c-b).
        // Point 0 gaps -10, -30, -20; point 1 gaps -5, -10, -5; heard -10, -25, -15.
        {"three pairs", true, {{-40, -50, -70}, {-60, -65, -70}}, {-60, -70, -85},
         {3 / std::sqrt(1e-6 + 5 + 5), 3 / std::sqrt(5 + 15 + 10.0)}, {3, 3}},
        // The louder transmitter first: only the gap counts, not which one leads.
        {"one gap exact", true, {{-60, -50}, {-70, -50}}, {-80, -70}, {kExact, 1 / std::sqrt(10.0)}, {1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SublocationMap f = MakeFloor(1);
        for (size_t p = 0; p < c.survey.size(); ++p) {
            AddPoint(f, static_cast<double>(p) * 4.0, 0.0);
            for (size_t k = 0; k < c.survey[p].size(); ++k)
                AddEntry(f, BeaconKey(static_cast<int>(k)), static_cast<int>(p), c.survey[p][k]);
        }
        // Two points nobody surveyed make the floor a plane to triangulate; they get no weight.
        AddPoint(f, 0.0, 4.0);
        AddPoint(f, 4.0, 4.0);
        NavigationMap map = MapOf({f}, 107, EngineBehaviour::original());
        CommonNavProperties::Knn& knn = map.getNavigationProperties().knn;
        knn.Differention_mode = c.differential;
        knn.Use_ap_weights = false;
        knn.Min_nvisible_aps = 0;
        knn.Min_rpvis_aps = 0;
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        std::vector<AccessPoint> meas;
        for (size_t k = 0; k < c.heard.size(); ++k) meas.push_back(Reading(BeaconKey(static_cast<int>(k)), c.heard[k], 1.0));
        ASSERT_EQ(nav.updateRpWeightsKnn(1, meas), 0);
        const SublocationState& st = nav.getSublocationStates()[0];
        ASSERT_EQ(st.weights.size(), c.weights.size() + 2);
        EXPECT_EQ(st.weights[c.weights.size()], 0.0);
        EXPECT_EQ(st.weights[c.weights.size() + 1], 0.0);
        double sum = 0;
        for (size_t p = 0; p < c.weights.size(); ++p) {
            EXPECT_NEAR(st.weights[p], c.weights[p], 1e-9 * c.weights[p]) << "point " << p;
            EXPECT_EQ(st.visibleCounts[p], c.terms[p]) << "point " << p;
            sum += c.weights[p];
        }
        EXPECT_NEAR(st.weightSum, sum, 1e-9 * sum);
    }
}

}  // namespace
