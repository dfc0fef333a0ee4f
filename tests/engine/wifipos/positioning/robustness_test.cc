// Random and adversarial readings through the whole signal side: whatever
// comes in, no weight, triangle weight or position may become NaN or
// infinite, and nothing may crash or hang.
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

SublocationMap WithHistograms(SublocationMap f) {
    for (auto& [key, ap] : f.getRadioMap()) {
        const int level = static_cast<int>(-ap.getRssi());
        ap.setDistribution(std::to_string(level - 2) + ":6 " + std::to_string(level) + ":9");
        ap.parseDistributionString();
        ap.calculateMeanRssi();
        ap.calculateVariance();
    }
    return f;
}

struct Variant {
    int method;
    int gpMode;
    bool sigma;
    bool apWeights;
    bool difference;
    bool closest;
};

void ExpectFinite(const Navigation& nav) {
    ASSERT_TRUE(std::isfinite(nav.getX()) && std::isfinite(nav.getY()));
    ASSERT_TRUE(std::isfinite(nav.getLastMeasTime()));
    for (const SublocationState& st : nav.getSublocationStates()) {
        ASSERT_TRUE(std::isfinite(st.weightSum));
        for (const double w : st.weights) ASSERT_TRUE(std::isfinite(w));
        for (const double w : st.globalWeights) ASSERT_TRUE(std::isfinite(w));
        for (const NavTriangle& t : st.triangles) ASSERT_TRUE(std::isfinite(t.wLocal) && std::isfinite(t.wGlobal));
    }
    for (const AccessPoint& ap : nav.getNavAveragedSignals()) ASSERT_TRUE(std::isfinite(ap.getRssi()));
}

TEST(SignalRobustnessTest, RandomAndAdversarialReadingsNeverGiveNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double levels[] = {0.0, 5.0, -1e308, -inf, nan, 1e308, -100.0, -99.999, -1e-300, -300.0};
    const double times[] = {nan, -5.0, 1e12, inf, -inf};
    const Variant variants[] = {
        {107, 121, false, false, false, false}, {107, 121, true, true, false, true},
        {107, 121, false, true, true, false},   {109, 121, false, false, false, false},
        {109, 121, true, false, true, false},   {114, 121, false, false, false, false},
        {108, 121, false, false, false, false}, {108, 122, true, false, false, false},
    };
    std::mt19937_64 rng(20261206);
    auto uniform = [&](double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(rng() >> 11) * 0x1.0p-53;
    };
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    for (const Variant& v : variants) {
        SCOPED_TRACE(testing::Message() << "method " << v.method << " mode " << v.gpMode);
        NavigationMap map =
            MapOf({WithHistograms(GridFloor(1, 0)), WithHistograms(GridFloor(2, 10))}, v.method,
                  EngineBehaviour::original());
        CommonNavProperties& s = map.getNavigationProperties();
        s.Sig_window_shift = 0.5;
        s.gaussianProcesses.Mode = v.gpMode;
        s.sigmaFilter.Use_sigma_filter = v.sigma;
        s.knn.Use_ap_weights = v.apWeights;
        s.knn.Differention_mode = v.difference;
        s.knn.Min_nvisible_aps = 1;
        s.Use_closest_aps = v.closest;
        s.N_closest_aps = 3;
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        nav.setAutoClearingOldMeas(true);
        nav.setMeasAccumulationTime(1.5);
        nav.initializeHistogram();
        nav.initializeGp();
        double clock = 10.0;
        for (int step = 0; step < 1500; ++step) {
            // The message clock mostly advances, sometimes repeats or jumps back.
            const int jump = pick(40);
            if (jump == 0) clock = std::max(0.0, clock - uniform(0.0, 2000.0));
            else if (jump == 1) clock += uniform(0.0, 100.0);
            else if (jump > 4) clock += 0.1;
            std::vector<AccessPoint> batch;
            const int n = pick(9);
            for (int i = 0; i < n; ++i) {
                std::string key;
                switch (pick(5)) {
                    case 0: key = BeaconKey(pick(4)); break;
                    case 1: key = BeaconKey(10 + pick(4)); break;
                    case 2: key = BeaconKey(100 + pick(4)); break;
                    case 3: key = "00:11:22:33:44:5" + std::to_string(pick(10)); break;
                    default: key = ""; break;
                }
                double rssi = pick(4) == 0 ? levels[pick(10)] : uniform(-110.0, -30.0);
                double t = clock - uniform(0.0, 0.1);
                SensorTime stamp(t);
                if (pick(20) == 0) {
                    t = times[pick(5)];
                    stamp = SensorTime(static_cast<unsigned>(rng()), static_cast<unsigned>(pick(1000)));
                }
                if (pick(10) == 0) t = clock;  // repeated time stamps
                AccessPoint ap;
                ap.setBssid(key);
                ap.setRssi(rssi);
                ap.setTime(t);
                ap.setTimeStamp(stamp);
                const int types[] = {2, 2, 2, 0, 1, 5, -1};
                ap.setType(types[pick(7)]);
                ap.setPower(pick(3) == 0 ? levels[pick(10)] : -59.0);
                batch.push_back(ap);
            }
            SensorTime now(clock);
            nav.updateSignals(batch, now);
            if (pick(15) == 0) nav.setIsStop(!nav.getIsStop());
            if (v.method == 108) nav.detectSublocation();
            else nav.calculateCoordinates();
            SCOPED_TRACE(testing::Message() << "step " << step);
            ExpectFinite(nav);
            if (HasFatalFailure()) return;
            const int cur = nav.getCurSublocIndex();
            ASSERT_TRUE(cur >= -1 && cur < 2);
            ASSERT_LE(nav.getNavSignals().size(), 5000u);
        }
    }
}

}  // namespace
