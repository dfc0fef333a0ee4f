// Gaussian-process models trained on small in-memory floors, for the tests of
// their sums.
#pragma once

#include <utility>
#include <vector>

#include "map_builder.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace positioning_test {

// The model of `floors` in `mode` (121 full, 123 fixed), on the first floor.
inline GaussianProcesses TrainGp(std::vector<SublocationMap> floors, int mode) {
    NavigationMap nav;
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

}  // namespace positioning_test
