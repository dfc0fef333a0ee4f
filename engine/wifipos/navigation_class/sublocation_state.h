#ifndef MARVISTO_WIFIPOS_NAVIGATION_CLASS_SUBLOCATION_STATE_H
#define MARVISTO_WIFIPOS_NAVIGATION_CLASS_SUBLOCATION_STATE_H

// Per-floor weighting state of the positioning engine: the weight of every
// reference point of a floor and the triangles of the floor's mesh with the
// summed weights of their corners.

#include <vector>

// One triangle of a floor's reference-point mesh.
class NavTriangle {
public:
    // Indexes of the three corners in the floor's reference-point list.
    std::vector<int> indexes;
    // Sum of the corners' floor-normalised weights.
    double wLocal = 0.0;
    // Sum of the corners' weights normalised over all floors.
    double wGlobal = 0.0;

    void clear() {
        indexes.clear();
        wLocal = 0.0;
        wGlobal = 0.0;
    }
};

// Weighting state of one floor. Points are named by their index in the
// floor's reference-point list, so every per-point value is a flat array of
// one entry per point, sized when the map is prepared.
class SublocationState {
public:
    // Per point: weight normalised within the floor.
    std::vector<double> weights;
    // Per point: weight normalised over all floors.
    std::vector<double> globalWeights;
    // Per point: number of terms that entered its distance sum.
    std::vector<int> visibleCounts;
    // The floor's triangulation.
    std::vector<NavTriangle> triangles;
    // Sublocation id of the floor.
    int id = 0;
    // Sum of the floor's raw (not yet normalised) weights.
    double weightSum = 0.0;

    // Zeroes every point weight and count and every triangle weight; the
    // triangle corners stay. All three arrays end with one entry per weight.
    void clear() {
        weightSum = 0.0;
        const size_t n = weights.size();
        weights.assign(n, 0.0);
        globalWeights.assign(n, 0.0);
        visibleCounts.assign(n, 0);
        for (NavTriangle& t : triangles) {
            t.wLocal = 0.0;
            t.wGlobal = 0.0;
        }
    }
};

#endif
