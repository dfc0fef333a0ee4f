#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

TEST(KnnWeightsTest, TrustworthinessSumsToOneAndSurvivesExtremes) {
    Navigation nav(EngineBehaviour::kit());
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
