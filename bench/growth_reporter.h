// Benchmarks whose arguments include "points": after the usual table, the
// growth exponent of the time (or of the counter p99_ms where there is one)
// with the points per floor, per series (the
// same name with the points left out), so that a change that makes the
// growth worse shows at a glance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

// Collects the per-call times as they are reported, so that the growth with
// the points per floor can be printed after the table.
class GrowthReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            const std::string name = r.benchmark_name();
            const auto at = name.find("points:");
            if (at == std::string::npos) continue;
            const auto end = name.find('/', at);
            const int points = std::stoi(name.substr(at + 7, end - at - 7));
            const std::string series = name.substr(0, at) + (end == std::string::npos ? "" : name.substr(end + 1));
            auto& v = times_[series];
            // Repetitions of one size: keep the fastest, the least disturbed
            // by other work on the machine.
            // Benchmarks that time calls one by one report their 99th
            // percentile; the growth is taken of that.
            const auto p99 = r.counters.find("p99_ms");
            const double t = p99 != r.counters.end() ? p99->second.value : r.GetAdjustedRealTime();
            if (!v.empty() && v.back().first == points) {
                v.back().second = std::min(v.back().second, t);
            } else {
                v.emplace_back(points, t);
            }
        }
    }
    // Exponent e of time ~ points^e between neighbouring sizes: 1 is linear.
    void PrintGrowth() const {
        std::printf("\nGrowth exponent of the time with the points per floor:\n");
        for (const auto& [series, v] : times_) {
            std::printf("  %-58s", series.c_str());
            for (size_t i = 1; i < v.size(); ++i) {
                const double e = std::log(v[i].second / v[i - 1].second) /
                                 std::log(static_cast<double>(v[i].first) / v[i - 1].first);
                std::printf("  %d->%d: %.2f", v[i - 1].first, v[i].first, e);
            }
            std::printf("\n");
        }
    }

private:
    std::map<std::string, std::vector<std::pair<int, double>>> times_;
};


// BENCHMARK_MAIN with the growth printed after the table.
// Another output format on the command line gets the plain run.
inline int RunWithGrowth(int argc, char** argv) {
    bool console = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--benchmark_format=", 0) == 0 && a != "--benchmark_format=console") console = false;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!console) {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }
    GrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintGrowth();
    benchmark::Shutdown();
    return 0;
}
