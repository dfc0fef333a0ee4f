// Walks through generated venues (2 and 3 floors, beacons every 8 m, 4 dB
// shadowing) and scores the signal side: floor per window and position.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "venue_map.h"
#include "walk_score.h"
#include "venuesim/rng.h"
#include "wifipos/gaussian_processes/particle.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

using namespace positioning_test;

struct Walk {
    venuesim::Venue venue;
    std::vector<venuesim::RadioTick> ticks;
    std::vector<double> floorStart;  // time each floor's segment starts
};

// Random waypoints among the surveyed points, 50 s per floor, floors in order
// and back to the first one.
Walk MakeWalk(int floors, uint64_t seed) {
    Walk w;
    venuesim::VenueSpec setup;
    setup.seed = seed;
    setup.floors = floors;
    setup.beaconSpacing = 8.0;
    setup.shadowSigma = 4.0;
    std::string error;
    EXPECT_EQ(venuesim::GenerateVenue(setup, &w.venue, &error), 0) << error;
    venuesim::Rng rng(seed * 7 + 3);
    std::vector<venuesim::WalkPoint> path;
    double t = 10.0;
    std::vector<int> order;
    for (int f = 0; f < floors; ++f) order.push_back(f);
    order.push_back(0);
    for (int f : order) {
        const venuesim::VenueFloor& vf = w.venue.floors[static_cast<size_t>(f)];
        std::vector<venuesim::Point> wp;
        for (int k = 0; k < 5; ++k) {
            const auto& p = vf.points[static_cast<size_t>(rng.uniformInt(0, int(vf.points.size()) - 1))];
            wp.push_back({p.x, p.y});
        }
        auto seg = venuesim::WalkAlong(f, wp, 1.2, 0.1, t);
        if (seg.size() > 500) seg.resize(500);
        w.floorStart.push_back(t);
        path.insert(path.end(), seg.begin(), seg.end());
        t = path.back().time + 0.1;
    }
    const venuesim::PropagationModel model(w.venue);
    w.ticks = venuesim::SimulateRadioWalk(model, path,
                                          venuesim::RadioWalkOptions::FromSpec(setup, seed + 11));
    return w;
}

// Gaussian-process position: the likelihood of every surveyed point of the
// current floor for the averaged window, as candidate particles.
bool GpPosition(Navigation& nav, int floor, double& x, double& y) {
    const SublocationMap& f = nav.getSublocationsVector()[static_cast<size_t>(floor)];
    const std::vector<std::string>& keys = f.getUniqueApsBssid();
    std::vector<double> signals(keys.size(), 1.0);
    for (const AccessPoint& ap : nav.getNavAveragedSignals()) {
        auto it = std::lower_bound(keys.begin(), keys.end(), ap.getBssid());
        if (it != keys.end() && *it == ap.getBssid()) signals[size_t(it - keys.begin())] = ap.getRssi();
    }
    std::vector<Particle> candidates;
    for (unsigned i = 0; i < f.getNRp(); ++i)
        candidates.push_back(Particle{f.getRp(int(i))->getX(), f.getRp(int(i))->getY(), 0.0, 1.0});
    std::vector<BeaconMeas> beacons;
    for (const AccessPoint& ap : nav.getNavAveragedSignals()) {
        BeaconMeas m;
        m.setBeaconId(ap.getBssid());
        m.setRssi(ap.getRssi());
        beacons.push_back(m);
    }
    nav.mGp.setSublocationIndex(floor);
    nav.mGp.setCurrentSignals(signals);
    nav.mGp.setBleSignals(beacons);
    nav.mGp.setParticles(candidates);
    if (nav.mGp.correction() != 0) return false;
    const std::vector<double> w = nav.mGp.getNewWeights();
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (size_t i = 0; i < w.size() && i < candidates.size(); ++i) {
        sw += w[i];
        sx += w[i] * candidates[i].x;
        sy += w[i] * candidates[i].y;
    }
    if (!(sw > 0.0)) return false;
    x = sx / sw;
    y = sy / sw;
    return true;
}

WalkScore RunWalk(const Walk& w, int method, int gpMode, const std::string& name, int minVisible = 2,
                  int minRpVisible = 1) {
    NavigationMap map = VenueToMap(w.venue, method, gpMode);
    map.getNavigationProperties().knn.Min_nvisible_aps = minVisible;
    map.getNavigationProperties().knn.Min_rpvis_aps = minRpVisible;
    Navigation nav;
    EXPECT_EQ(nav.specifyNavigationMap(map), 0);
    nav.setAutoClearingOldMeas(true);
    nav.setMeasAccumulationTime(map.getNavigationProperties().Sig_averaging_time);
    nav.setUseTriangulation(true);
    nav.setCutoffRss(map.getNavigationProperties().Cutoff_rss);
    nav.initializeGp();
    nav.initializeHistogram();
    WalkScore score;
    for (const venuesim::RadioTick& tick : w.ticks) {
        std::vector<AccessPoint> readings = TickReadings(tick);
        SensorTime now(tick.at.time);
        nav.updateSignals(readings, now);
        const bool fresh = nav.getIsGoodSignals();
        const int rc = method == 108 ? nav.detectSublocation() : nav.calculateCoordinates();
        if (!fresh) continue;
        // Settling: the first 3 s of each floor's segment are not scored.
        bool settling = false;
        for (double s : w.floorStart) settling |= tick.at.time >= s && tick.at.time < s + 3.0;
        if (settling) continue;
        const int cur = nav.getCurSublocIndex();
        const bool floorRight = rc == 0 && cur == tick.at.floor;
        double x = nav.getX(), y = nav.getY();
        bool hasPosition = method != 108 && method != 114;
        if (method == 108 && floorRight) hasPosition = GpPosition(nav, cur, x, y);
        if (method == 108) nav.setIsGoodSignals(false);
        score.add(floorRight, hasPosition, std::hypot(x - tick.at.x, y - tick.at.y));
    }
    score.print(name);
    return score;
}

class VenueWalkTest : public ::testing::TestWithParam<int> {};

TEST_P(VenueWalkTest, NearestNeighboursHistogramsAndGaussianProcesses) {
    const int floors = GetParam();
    const Walk w = MakeWalk(floors, 4100 + floors);
    ASSERT_GT(w.ticks.size(), 1000u);
    const std::string tag = std::to_string(floors) + " floors ";
    // With the default visibility minimum (k = min(1, 2) = 1) a point matched
    // through one transmitter whose surveyed level happens to equal the heard
    // one gets c / sqrt(1e-6)-like weights and wins, often on another floor:
    // a limit of the distance form. Its score is printed, not asserted, so
    // that an engine which does better passes.
    RunWalk(w, 107, 121, tag + "knn k=1 (defaults)");
    // Requiring three matched transmitters per point removes it.
    const WalkScore knn = RunWalk(w, 107, 121, tag + "knn k=3", 3, 3);
    const WalkScore hist = RunWalk(w, 109, 121, tag + "histogram");
    const WalkScore gpK1 = RunWalk(w, 108, 121, tag + "gp full, knn floor k=1");
    const WalkScore gp = RunWalk(w, 108, 121, tag + "gp full, knn floor k=3", 3, 3);
    const WalkScore gpNormal = RunWalk(w, 108, 122, tag + "gp normal, beacon floor");
    EXPECT_GE(knn.floorShare(), 0.98);
    EXPECT_LE(knn.percentile(0.5), 2.0);
    EXPECT_LE(knn.percentile(0.95), 4.0);
    EXPECT_GE(hist.floorShare(), 0.98);
    EXPECT_LE(hist.percentile(0.5), 2.0);
    EXPECT_LE(hist.percentile(0.95), 4.0);
    EXPECT_GE(gp.floorShare(), 0.98);
    EXPECT_LE(gp.percentile(0.5), 2.5);
    EXPECT_GE(gpNormal.floorShare(), 0.98);
    // The Gaussian-process likelihood itself still places well where the
    // floor was right.
    EXPECT_LE(gpK1.percentile(0.5), 2.5);
}

INSTANTIATE_TEST_SUITE_P(Floors, VenueWalkTest, ::testing::Values(2, 3));

}  // namespace
