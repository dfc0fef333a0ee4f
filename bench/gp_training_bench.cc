// Cost of training the Gaussian-process state of one floor (the regression
// coefficients of every transmitter, one dense solve per transmitter over the
// points where it was surveyed) against the points per floor. The training
// runs once per client creation, on the thread that creates the client.
//
// The floor is a square with a beacon every 8 m, surveyed within 20 m of
// each beacon, so a transmitter's share of the points stays the same and its
// system grows with the points: the expected growth is close to cubic.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/growth_reporter.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace {

std::string Key(int b) {
    std::string num = std::to_string(b);
    return "(00001," + std::string(5 - num.size(), '0') + num + ",F7826DA6-4FA2-4E98-8024-BC5B71E0893E)";
}

NavigationMap MakeFloor(int nPoints, int nBeacons) {
    const double side = 8.0 * std::ceil(std::sqrt(static_cast<double>(nBeacons)));
    const int perRow = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(nPoints))));
    const int perRowB = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(nBeacons))));
    SublocationMap floor;
    floor.setId(1);
    std::vector<double> px, py;
    for (int i = 0; i < nPoints; ++i) {
        px.push_back((i % perRow + 0.5) * side / perRow);
        py.push_back((i / perRow + 0.5) * side / perRow);
        ReferencePoint rp;
        rp.setX(px.back());
        rp.setY(py.back());
        rp.setIndex(i);
        floor.getReferencePoints().push_back(rp);
    }
    uint64_t s = static_cast<uint64_t>(nPoints) * 131 + nBeacons;
    auto uniform = [&s] {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) * 0x1.0p-53;
    };
    for (int b = 0; b < nBeacons; ++b) {
        const double bx = (b % perRowB + 0.5) * 8.0, by = (b / perRowB + 0.5) * 8.0;
        for (int i = 0; i < nPoints; ++i) {
            const double d = std::hypot(px[i] - bx, py[i] - by);
            if (d > 20.0) continue;
            AccessPoint ap;
            ap.setBssid(Key(b));
            ap.setType(2);
            ap.setRssi(std::round(-55.0 - 20.0 * std::log10(std::max(d, 0.5)) + 4.0 * (uniform() - 0.5)));
            ap.setRefPointIndex(i);
            floor.getRadioMap().emplace(Key(b), ap);
        }
    }
    floor.updateUniqueApsBssid();
    for (size_t k = 0; k < floor.getUniqueApsBssid().size(); ++k) {
        // Mean -50 dBm, path loss 2, the beacon's place, sf 1, sn 0.5, ell 2 m
        // (as logarithms where the parameter file holds them so).
        const int b = static_cast<int>(k);
        floor.getGpParams().push_back(GpParams{-50.0, 0.0, 2.0, (b % perRowB + 0.5) * 8.0,
                                               (b / perRowB + 0.5) * 8.0, 0.0, std::log(0.5),
                                               std::log(2.0)});
    }
    NavigationMap map(EngineBehaviour::kit());
    map.getNavigationProperties().Use_algorithm = 108;
    map.getNavigationProperties().gaussianProcesses.Mode = 121;
    map.addSublocation(floor);
    return map;
}

void BM_GpTraining(benchmark::State& state) {
    const int nPoints = static_cast<int>(state.range(0));
    const int nBeacons = static_cast<int>(state.range(1));
    NavigationMap map = MakeFloor(nPoints, nBeacons);
    size_t active = 0;
    for (auto _ : state) {
        GaussianProcesses gp;
        gp.initialize(map);
        benchmark::DoNotOptimize(gp.getSublocations().data());
        active = 0;
        for (int c : gp.getSublocations()[0].getCounts()) active += static_cast<size_t>(c);
    }
    const size_t keys = map.getSublocationsVector()[0].getUniqueApsBssid().size();
    state.counters["points_per_key"] = keys == 0 ? 0.0 : static_cast<double>(active) / keys;
}

}  // namespace

BENCHMARK(BM_GpTraining)
    ->Args({500, 60})
    ->Args({1000, 60})
    ->Args({2000, 60})
    ->Args({4000, 60})
    ->ArgNames({"points", "beacons"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return RunWithGrowth(argc, argv); }
