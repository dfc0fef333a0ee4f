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

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench/console_output.h"

// Collects the per-call times as they are reported, so that the growth with
// the points per floor can be printed after the table.
class GrowthReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, as the library's own table does.
    GrowthReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
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
            // Repetitions of one size: keep the fastest, the least disturbed
            // by other work on the machine.
            // Benchmarks that time calls one by one report their 99th
            // percentile; the growth is taken of that.
            const auto p99 = r.counters.find("p99_ms");
            const double t = p99 != r.counters.end() ? p99->second.value : r.GetAdjustedRealTime();
            // Runs come in any order (random interleaving, repetitions), so
            // each series keeps its sizes sorted, not in the order they ran.
            const auto [kept, fresh] = times_[series].emplace(points, t);
            if (!fresh) kept->second = std::min(kept->second, t);
        }
    }
    // Exponent e of time ~ points^e between neighbouring sizes: 1 is linear.
    // False, after saying so, when a series does not step from each size to
    // the next larger one: an exponent across unordered sizes means nothing.
    bool PrintGrowth() const {
        std::printf("\nGrowth exponent of the time with the points per floor:\n");
        bool ordered = true;
        for (const auto& [series, sizes] : times_) {
            std::printf("  %-58s", series.c_str());
            const std::pair<const int, double>* last = nullptr;
            for (const auto& step : sizes) {
                if (last != nullptr) {
                    if (step.first <= last->first) ordered = false;
                    const double e = std::log(step.second / last->second) /
                                     std::log(static_cast<double>(step.first) / last->first);
                    std::printf("  %d->%d: %.2f", last->first, step.first, e);
                }
                last = &step;
            }
            std::printf("\n");
        }
        if (!ordered) std::fprintf(stderr, "growth: sizes out of order, the exponents above are wrong\n");
        return ordered;
    }

private:
    // Per series: points per floor -> the fastest time at that size.
    std::map<std::string, std::map<int, double>> times_;
};


// BENCHMARK_MAIN with the growth printed after the table.
// Another output format on the command line gets the plain run.
inline int RunWithGrowth(int argc, char** argv) {
    const bool console = ConsoleOutputAsked(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!console) {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }
    GrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool ordered = reporter.PrintGrowth();
    benchmark::Shutdown();
    return ordered ? 0 : 1;
}
