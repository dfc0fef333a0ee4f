// Cost of one window move of the signal side (averaging, reference-point
// weights, triangle weights, floor, position) on two floors of N reference
// points each with B beacons, next to a bare loop over the same radio map as
// a dense beacon x point matrix: the memory-bound limit of touching every
// surveyed level of the heard beacons once.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/growth_reporter.h"
#include "wifipos/navigation_class/navigation.h"

namespace {

constexpr int kFloors = 2;
constexpr double kRange = 20.0;     // metres within which a beacon is surveyed / heard
constexpr double kFloorLoss = 15.0;

struct Lcg {
    uint64_t s;
    double uniform() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) * 0x1.0p-53;
    }
};

std::string Key(int b) {
    std::string num = std::to_string(b);
    return "(00001," + std::string(5 - num.size(), '0') + num + ",F7826DA6-4FA2-4E98-8024-BC5B71E0893E)";
}

struct Scene {
    NavigationMap map{EngineBehaviour::kit()};
    double side = 0.0;
    std::vector<double> bx, by;            // beacons, same places on every floor
    std::vector<std::vector<float>> dense;  // per floor: B x N surveyed rssi, 1.0 = not surveyed
    std::vector<double> px, py;             // points, same grid on every floor
};

double Level(double d, int floorsBetween) {
    return -55.0 - 20.0 * std::log10(std::max(d, 0.5)) - kFloorLoss * floorsBetween;
}

Scene MakeScene(int nPoints, int nBeacons, int method, bool differential = false) {
    Scene s;
    // Beacons every 8 m on a square floor; the points on a grid over it.
    s.side = 8.0 * std::ceil(std::sqrt(static_cast<double>(nBeacons)));
    const int perRow = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(nPoints))));
    for (int i = 0; i < nPoints; ++i) {
        s.px.push_back((i % perRow + 0.5) * s.side / perRow);
        s.py.push_back((i / perRow + 0.5) * s.side / perRow);
    }
    Lcg rng{static_cast<uint64_t>(nPoints) * 31 + nBeacons};
    const int perRowB = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(nBeacons))));
    for (int b = 0; b < nBeacons; ++b) {
        s.bx.push_back((b % perRowB + 0.5) * 8.0 + rng.uniform() - 0.5);
        s.by.push_back((b / perRowB + 0.5) * 8.0 + rng.uniform() - 0.5);
    }
    CommonNavProperties& p = s.map.getNavigationProperties();
    p.Use_algorithm = method;
    p.Sig_window_shift = 0.5;
    p.knn.Differention_mode = differential;
    for (int f = 0; f < kFloors; ++f) {
        SublocationMap floor;
        floor.setId(f + 1);
        SublocationNavProperties props;
        props.width_meters = s.side;
        props.height_meters = s.side;
        props.Histogram_interval_width = 3;
        floor.setProperties(props);
        std::vector<float> dense(static_cast<size_t>(nBeacons) * nPoints, 1.0f);
        for (int i = 0; i < nPoints; ++i) {
            ReferencePoint rp;
            rp.setX(s.px[i]);
            rp.setY(s.py[i]);
            rp.setIndex(i);
            floor.getReferencePoints().push_back(rp);
        }
        for (int b = 0; b < nBeacons; ++b) {
            const int beaconFloor = b % kFloors;
            const std::string key = Key(b);
            if (beaconFloor == f) {
                Beacon beacon;
                beacon.setBeaconId(key);
                beacon.setX(s.bx[b]);
                beacon.setY(s.by[b]);
                floor.getBeacons().push_back(beacon);
            }
            for (int i = 0; i < nPoints; ++i) {
                const double d = std::hypot(s.px[i] - s.bx[b], s.py[i] - s.by[b]);
                if (d > kRange) continue;
                const double level = Level(d, std::abs(f - beaconFloor)) + 4.0 * (rng.uniform() - 0.5);
                AccessPoint ap;
                ap.setBssid(key);
                ap.setType(2);
                const int m = static_cast<int>(-level);
                ap.setDistribution(std::to_string(m - 2) + ":4 " + std::to_string(m) + ":8 " +
                                   std::to_string(m + 2) + ":4");
                ap.parseDistributionString();
                ap.calculateMeanRssi();
                ap.setRefPointIndex(i);
                floor.getRadioMap().emplace(key, ap);
                dense[static_cast<size_t>(b) * nPoints + i] = static_cast<float>(ap.getRssi());
            }
        }
        floor.updateUniqueApsBssid();
        s.dense.push_back(std::move(dense));
        s.map.addSublocation(floor);
    }
    return s;
}

// One tick's readings at point i of floor 0.
std::vector<AccessPoint> Tick(const Scene& s, int i, double t, Lcg& rng) {
    std::vector<AccessPoint> out;
    for (size_t b = 0; b < s.bx.size(); ++b) {
        const double d = std::hypot(s.px[i] - s.bx[b], s.py[i] - s.by[b]);
        if (d > kRange) continue;
        AccessPoint ap;
        ap.setBssid(Key(static_cast<int>(b)));
        ap.setType(2);
        ap.setRssi(std::round(Level(d, static_cast<int>(b % kFloors)) + 4.0 * (rng.uniform() - 0.5)));
        ap.setTime(t);
        ap.setTimeStamp(SensorTime(t));
        out.push_back(ap);
    }
    return out;
}

void RunWindowMoves(benchmark::State& state, bool differential) {
    const int nPoints = static_cast<int>(state.range(0));
    const int nBeacons = static_cast<int>(state.range(1));
    const int method = static_cast<int>(state.range(2));
    Scene s = MakeScene(nPoints, nBeacons, method, differential);
    Navigation nav(EngineBehaviour::kit());
    nav.specifyNavigationMap(s.map);
    nav.setAutoClearingOldMeas(true);
    nav.initializeHistogram();
    Lcg rng{7};
    double t = 10.0;
    int i = 0;
    int failures = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<AccessPoint> batch = Tick(s, i, t, rng);
        SensorTime now(t);
        i = (i + 37) % nPoints;
        t += 0.5;
        state.ResumeTiming();
        nav.updateSignals(batch, now);
        if (nav.calculateCoordinates() != 0) ++failures;
        benchmark::DoNotOptimize(nav.getX());
    }
    state.counters["failures"] = failures;
    state.counters["window"] = static_cast<double>(nav.getNavSignals().size());
    state.SetLabel(method == 107 ? "knn" : "histogram");
}

void BM_WindowMove(benchmark::State& state) { RunWindowMoves(state, false); }

// Transmitter pairs instead of single levels: every reading of the raw
// window is paired with every earlier one at each point.
void BM_WindowMoveDifferential(benchmark::State& state) { RunWindowMoves(state, true); }

// The same number of readings, each compared with its beacon's whole row
// of the dense matrix on every floor: one load and one add per cell.
void BM_BareMatrixLoop(benchmark::State& state) {
    const int nPoints = static_cast<int>(state.range(0));
    const int nBeacons = static_cast<int>(state.range(1));
    const int method = static_cast<int>(state.range(2));
    Scene s = MakeScene(nPoints, nBeacons, method);
    Lcg rng{7};
    // Readings per window: averaged (one per beacon) for knn, the raw
    // window (three ticks) for histograms, as the weighting passes use them.
    const int ticksPerWindow = method == 107 ? 1 : 3;
    std::vector<double> d(static_cast<size_t>(nPoints));
    std::vector<int> c(static_cast<size_t>(nPoints));
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::pair<int, double>> heard;
        for (int k = 0; k < ticksPerWindow; ++k) {
            for (const AccessPoint& ap : Tick(s, i, 10.0, rng)) {
                heard.emplace_back(std::stoi(ap.getBssid().substr(7, 5)), ap.getRssi());
            }
        }
        i = (i + 37) % nPoints;
        state.ResumeTiming();
        double best = 0.0;
        for (int f = 0; f < kFloors; ++f) {
            std::fill(d.begin(), d.end(), 0.0);
            std::fill(c.begin(), c.end(), 0);
            for (const auto& [b, x] : heard) {
                const float* row = s.dense[static_cast<size_t>(f)].data() + static_cast<size_t>(b) * nPoints;
                for (int p = 0; p < nPoints; ++p) {
                    const bool surveyed = row[p] != 1.0f;
                    d[static_cast<size_t>(p)] += surveyed ? std::fabs(row[p] - x) : 0.0;
                    c[static_cast<size_t>(p)] += surveyed;
                }
            }
            for (int p = 0; p < nPoints; ++p) {
                if (c[static_cast<size_t>(p)] > 0) best = std::max(best, c[p] / std::sqrt(d[p] + 1e-6));
            }
        }
        benchmark::DoNotOptimize(best);
    }
    state.SetLabel(method == 107 ? "knn" : "histogram");
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int method : {107, 109}) {
        for (int beacons : {60, 200}) {
            for (int points : {500, 2000, 8000, 32000}) b->Args({points, beacons, method});
        }
    }
    b->ArgNames({"points", "beacons", "method"})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_WindowMove)->Apply(Sizes);
BENCHMARK(BM_WindowMoveDifferential)
    ->Args({500, 60, 109})
    ->Args({2000, 60, 109})
    ->Args({8000, 60, 109})
    ->Args({32000, 60, 109})
    ->ArgNames({"points", "beacons", "method"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareMatrixLoop)->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) { return RunWithGrowth(argc, argv); }
