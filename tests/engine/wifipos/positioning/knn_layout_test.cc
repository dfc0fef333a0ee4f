// Nearest-neighbour weights over the flat rows built when the map is
// prepared, against a plain walk over the radio map as the weighting is
// described: the same sums in the same order, so the same weights bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "map_builder.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

struct Expected {
    std::vector<double> weights;
    std::vector<int> counts;
    double sum = 0.0;
};

Expected PlainWalk(Navigation& nav, const SublocationMap& floor, const std::vector<AccessPoint>& meas) {
    const CommonNavProperties::Knn& knn = nav.getNavigationProperties().knn;
    const int n = static_cast<int>(floor.getNRp());
    Expected r;
    r.weights.assign(n, 0.0);
    r.counts.assign(n, 0);
    const std::vector<std::string>& keys = floor.getUniqueApsBssid();
    std::vector<AccessPoint> m;
    for (const AccessPoint& ap : meas) {
        if (keys.empty() || std::find(keys.begin(), keys.end(), ap.getBssid()) != keys.end()) m.push_back(ap);
    }
    if (m.empty() || static_cast<int>(m.size()) < knn.Min_nvisible_aps) return r;
    std::vector<double> w(m.size(), 1.0);
    if (knn.Use_ap_weights) nav.calculateApTrustworthiness(m, w);
    std::map<int, double> d, pw;
    const RadioMap& radio = floor.getRadioMap();
    for (size_t i = 0; i < m.size(); ++i) {
        auto range = radio.equal_range(m[i].getBssid());
        for (auto e = range.first; e != range.second; ++e) {
            const int p = e->second.getRefPointIndex();
            if (p < 0 || p >= n) continue;
            const double ri = e->second.getRssi(), xi = m[i].getRssi();
            if (!knn.Differention_mode) {
                pw[p] += w[i];
                const double t = std::fabs(ri - xi) * w[i];
                d[p] += t == 0.0 ? 1e-6 : t;
                ++r.counts[p];
                continue;
            }
            for (size_t j = 0; j < i; ++j) {
                auto rj = radio.equal_range(m[j].getBssid());
                auto f = rj.first;
                while (f != rj.second && f->second.getRefPointIndex() != p) ++f;
                if (f == rj.second) continue;
                pw[p] += w[i] * w[j];
                const double t =
                    std::fabs((ri - f->second.getRssi()) - (xi - m[j].getRssi())) * w[i] * w[j];
                d[p] += t == 0.0 ? 1e-6 : t;
                ++r.counts[p];
            }
        }
    }
    const int k = std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps);
    for (int p = 0; p < n; ++p) {
        const double dp = d.count(p) ? d[p] : 0.0;
        if (dp == 0.0) continue;
        const int c = r.counts[p];
        double v = dp;
        if (c < k) {
            v = 0.0;
        } else if (c != 0) {
            const double dd = knn.Use_ap_weights && pw[p] > 0.0 ? dp / pw[p] : dp;
            v = c / std::sqrt(dd);
        }
        if (!std::isfinite(v) || v < 0.0) v = 0.0;
        r.weights[p] = v;
        r.sum += v;
    }
    return r;
}

TEST(KnnLayout, RandomSurveysWeighAsThePlainWalk) {
    std::mt19937 rng(1707);
    for (int round = 0; round < 300; ++round) {
        const int nPoints = 3 + static_cast<int>(rng() % 25);
        const int nKeys = static_cast<int>(rng() % 7);
        SublocationMap f = MakeFloor(1);
        for (int i = 0; i < nPoints; ++i) AddPoint(f, static_cast<double>(i % 5), static_cast<double>(i / 5));
        for (int k = 0; k < nKeys; ++k) {
            for (int i = 0; i < nPoints; ++i) {
                if (rng() % 3 == 0) continue;
                // Now and then a second entry at the same point, or one naming no point.
                const int point = rng() % 23 == 0 ? nPoints + 2 : i;
                AddEntry(f, BeaconKey(k), point, -40.0 - static_cast<double>(rng() % 60));
                if (rng() % 11 == 0) AddEntry(f, BeaconKey(k), point, -45.0 - static_cast<double>(rng() % 50));
            }
        }
        // A transmitter in the key list whose every entry names no point:
        // its readings count as the floor's, though they match nothing.
        if (rng() % 2) AddEntry(f, BeaconKey(7), nPoints + 1, -60.0);
        NavigationMap map = MapOf({f}, 107, EngineBehaviour::original());
        CommonNavProperties::Knn& knn = map.getNavigationProperties().knn;
        knn.Differention_mode = rng() % 2;
        knn.Use_ap_weights = rng() % 2;
        knn.Min_nvisible_aps = static_cast<int>(rng() % 4);
        knn.Min_rpvis_aps = static_cast<int>(rng() % 4);
        Navigation nav(EngineBehaviour::kit());
        ASSERT_EQ(nav.specifyNavigationMap(map), 0);
        std::vector<AccessPoint> meas;
        const int heard = static_cast<int>(rng() % 9);
        for (int i = 0; i < heard; ++i) {
            // Unknown keys, repeated keys and levels equal to the survey's.
            const std::string key = rng() % 6 == 0 ? "unknown" : BeaconKey(static_cast<int>(rng() % 8));
            AccessPoint ap = Reading(key, -40.0 - static_cast<double>(rng() % 60), 10.0);
            ap.setPower(rng() % 2 ? 0.0 : -12.0);
            meas.push_back(ap);
        }
        const SublocationMap& floor = nav.getSublocationsVector()[0];
        const Expected e = PlainWalk(nav, floor, meas);
        ASSERT_EQ(nav.updateRpWeightsKnn(1, meas), 0);
        const SublocationState& st = nav.getSublocationStates()[0];
        ASSERT_EQ(st.weights.size(), e.weights.size()) << round;
        for (size_t p = 0; p < e.weights.size(); ++p) {
            EXPECT_EQ(st.weights[p], e.weights[p]) << round << " point " << p;
            EXPECT_EQ(st.globalWeights[p], e.weights[p]) << round << " point " << p;
            EXPECT_EQ(st.visibleCounts[p], e.counts[p]) << round << " point " << p;
        }
        EXPECT_EQ(st.weightSum, e.sum) << round;
    }
}

}  // namespace
