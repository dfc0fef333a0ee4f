// Gaussian-process models trained on small in-memory floors, for the tests of
// their sums.
#pragma once

#include <hwy/targets.h>

#include <string>
#include <utility>
#include <vector>

#include "map_builder.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace positioning_test {

// The model of `floors` in `mode` (121 full, 123 fixed), on the first floor,
// with the kit's behaviour or the original one.
inline GaussianProcesses TrainGp(std::vector<SublocationMap> floors, int mode, bool classic = false) {
    NavigationMap nav(classic ? EngineBehaviour::original() : EngineBehaviour::kit());
    auto& gp = nav.getNavigationProperties().gaussianProcesses;
    gp.Mode = mode;
    gp.Correction_noise = 10.0;
    for (SublocationMap& f : floors) {
        f.updateUniqueApsBssid();
        nav.getSublocationsVector().push_back(std::move(f));
    }
    GaussianProcesses out;
    out.initialize(nav);
    out.setSublocationIndex(0);
    return out;
}

// The kernel's 2 * length scale^2 for key k: the floor's own in fixed mode.
inline double KernelTwoEll2(const SublocationGP& s, int k, int mode) {
    return mode == 123 ? 2.0 * s.getEll() * s.getEll() : s.getParameters()[k][GP_PARAM_ELL];
}

// One instruction set the vector sums were built for and this processor runs.
struct InstructionSet {
    long long target;
    std::string name;
    bool fused;  // multiply-adds rounded once
};

// Runs fn(set) with the sums restricted to each such instruction set, best
// first, and lifts the restriction afterwards.
template <typename Fn>
void ForEachInstructionSet(Fn fn) {
    const long long usable = gp_detail::VectorTargets() & hwy::SupportedTargets();
    std::vector<InstructionSet> sets;
    for (long long bits = usable; bits != 0; bits &= bits - 1) {
        const long long target = bits & -bits;
        hwy::SetSupportedTargetsForTest(target);
        sets.push_back({target, hwy::TargetName(target), gp_detail::VectorFusesMultiplyAdd()});
    }
    struct Restore {
        ~Restore() { hwy::SetSupportedTargetsForTest(0); }
    } restore;
    for (const InstructionSet& set : sets) {
        hwy::SetSupportedTargetsForTest(set.target);
        fn(set);
    }
}

}  // namespace positioning_test
