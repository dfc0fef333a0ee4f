#include "wifipos/navigation_class/sigma_filter.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

SigmaFilter<double> NewFilter() {
    SigmaFilter<double> f;
    f.setWindowTimeSize(SensorTime(3u, 500u));
    f.minBordersTimeDif = SensorTime(0u, 200u);
    f.minVariance = 7.0;
    return f;
}

TEST(SigmaFilterTest, OutlierBeyondThreeSigmaIsRejectedAndAPauseWidensTheBand) {
    bool rejected = false;
    // mean -69.5, variance floored at 7 (+0.5 for 100 ms): 3 sigma ~ 8.2 dB.
    // After 2.9 s of silence (still inside the window) the band is
    // 3 * sqrt(7 + 14.5) ~ 13.9 dB: the same jump passes.
    for (auto [at, expectRejected] : {std::pair{SensorTime(10u, 600u), true},
                                      std::pair{SensorTime(13u, 400u), false}}) {
        SigmaFilter<double> f = NewFilter();
        for (int i = 0; i < 6; ++i)
            f.addToInput(-70.0 + (i % 2), SensorTime(10u, static_cast<unsigned>(i * 100)), rejected);
        f.addToInput(-80.0, at, rejected);
        EXPECT_EQ(expectRejected, rejected);
        EXPECT_EQ(f.inputValues.size(), 7u);  // recorded all the same
    }
}

}  // namespace
