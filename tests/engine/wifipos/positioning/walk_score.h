// Scoring of a walk: position errors of the windows placed on the right
// floor and the share of windows on the right floor.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace positioning_test {

struct WalkScore {
    std::vector<double> errors;
    int windows = 0;
    int rightFloor = 0;

    void add(bool floorRight, bool hasPosition, double error) {
        ++windows;
        if (!floorRight) return;
        ++rightFloor;
        if (hasPosition && std::isfinite(error)) errors.push_back(error);
    }
    double percentile(double p) const {
        if (errors.empty()) return INFINITY;
        std::vector<double> e = errors;
        std::sort(e.begin(), e.end());
        const size_t i = std::min(e.size() - 1, static_cast<size_t>(p * (e.size() - 1) + 0.5));
        return e[i];
    }
    double floorShare() const { return windows == 0 ? 0.0 : double(rightFloor) / windows; }
    void print(const std::string& name) const {
        std::printf("[ score    ] %-40s windows %4d floor %.3f median %.2f p75 %.2f p95 %.2f m\n",
                    name.c_str(), windows, floorShare(), percentile(0.5), percentile(0.75),
                    percentile(0.95));
    }
};

}  // namespace positioning_test
