#ifndef MARVISTO_WIFIPOS_NAVIGATION_CLASS_SUBLOCATION_STATE_H
#define MARVISTO_WIFIPOS_NAVIGATION_CLASS_SUBLOCATION_STATE_H

// Per-floor weighting state of the positioning engine: the weight of every
// reference point of a floor and the triangles of the floor's mesh with the
// summed weights of their corners.

#include <map>
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

// Weighting state of one floor.
class SublocationState {
public:
    // Reference-point index -> weight normalised within the floor.
    std::map<int, double> weights;
    // Reference-point index -> weight normalised over all floors.
    std::map<int, double> globalWeights;
    // Reference-point index -> number of terms that entered its distance sum.
    std::map<int, int> visibleCounts;
    // The floor's triangulation.
    std::vector<NavTriangle> triangles;
    // Sublocation id of the floor.
    int id = 0;
    // Sum of the floor's raw (not yet normalised) weights.
    double weightSum = 0.0;

    // Zeroes every point weight and count and every triangle weight; the
    // point keys and the triangle corners stay, so the state can be refilled
    // for the next window without reallocating. Entries 0..n-1 (n the number
    // of weights) are set, and created where missing.
    void clear() {
        weightSum = 0.0;
        const int n = static_cast<int>(weights.size());
        zeroKeys(weights, n, 0.0);
        zeroKeys(globalWeights, n, 0.0);
        zeroKeys(visibleCounts, n, 0);
        for (NavTriangle& t : triangles) {
            t.wLocal = 0.0;
            t.wGlobal = 0.0;
        }
    }

private:
    // Sets entries 0..n-1 of m to zero. A map holding exactly those keys (as
    // every state is built) is walked once instead of looked up n times.
    template <class M, class V>
    static void zeroKeys(M& m, int n, V zero) {
        if (static_cast<int>(m.size()) == n &&
            (n == 0 || (m.begin()->first == 0 && m.rbegin()->first == n - 1))) {
            for (auto& kv : m) kv.second = zero;
            return;
        }
        for (int k = 0; k < n; ++k) m[k] = zero;
    }
};

#endif
