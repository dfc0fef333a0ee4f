// The navigation class's position from the signals: the step's driver, the
// fix in the heaviest triangle, the neighbourhood fix, the weighted average
// and the zone estimate.
#include "wifipos/navigation_class/navigation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "server/utils.h"
#include "wifipos/navigation_class/navigation_internal.h"

using namespace navigation_internal;

namespace {

// The kit's fix: the kNeighbourhoodFixPoints best-matching points of the floor that
// lie within kNeighbourhoodFixSpacings survey spacings of the best one, each weighed
// by the square of its match weight (nearest neighbours always, histograms
// over a sparse survey). A sparse survey leaves the walker
// between points most of the time, and the three corners of one triangle
// hold too little of the neighbourhood to place the fix between rows;
// points far off that match by chance must not pull it across the floor.
constexpr int kNeighbourhoodFixPoints = 8;

constexpr double kNeighbourhoodFixSpacings = 2.5;

}  // namespace

void Navigation::rmsFixWeights(int fi, std::vector<double>& weights) {
    weights.clear();
    if (fi < 0 || static_cast<size_t>(fi) >= mFlatFloors.size()) return;
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    const size_t nP = static_cast<size_t>(ff.nPoints);
    std::vector<KnnScratch::PointSums>& sums = mKnn.pointSums;
    sums.assign(nP, KnnScratch::PointSums{0.0, 0.0, 0.0, 0});
    KnnScratch::PointSums* at = sums.data();
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    const double* missingSq = ff.entryMissingSq.data();
    const double level = ff.missingRssi;
    // Every heard transmitter adds its term against the "not heard" level
    // to every point; the points that have it take it back below, so that
    // this sum is the "heard, not surveyed here" part of each point.
    double heardAll = 0.0;
    int nHeard = 0;
    if (mNavKeyIds.size() != mSigNavigation.size()) keyIdsOf(mSigNavigation, mNavKeyIds);
    for (size_t i = 0; i < mSigNavigation.size(); ++i) {
        const AccessPoint& ap = mSigNavigation[i];
        const int row = RowOf(ff, mNavKeyIds[i]);
        if (row < 0) {
            // Unknown to the floor, or known without a surveyed level: the
            // weights of the floor count it so, at the reading as heard.
            heardAll += MissingTerm(ap.getRssi() - level);
            ++nHeard;
            continue;
        }
        const double xi = ap.getRssi() - mLevelOffset;
        const double xm = MissingTerm(xi - level);
        heardAll += xm;
        ++nHeard;
        // (diff holds the squared differences less the heard level's own
        // term.)
        for (int r = rowStart[row], end = rowStart[row + 1]; r < end; ++r) {
            const FlatEntry& e = entries[r];
            KnnScratch::PointSums& ps = at[e.point];
            const double d = e.rssi - xi;
            ps.diff += d * d - xm;
            ps.matched += missingSq[r];
            ++ps.count;
        }
    }
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    const int k = std::max(1, std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps));
    weights.assign(nP, 0.0);
    for (size_t q = 0; q < nP; ++q) {
        const KnnScratch::PointSums& ps = at[q];
        if (ps.count < k) continue;
        const int terms = ff.surveyedCount[q] + nHeard - ps.count;
        if (terms <= 0) continue;
        // Squared differences of the transmitters heard on both sides; each
        // heard on one side only counts by MissingTerm. Where every
        // transmitter is heard, one far off its surveyed level speaks more
        // against a point than several a little off.
        const double notHeard = std::max(0.0, ff.missingSq[q] - ps.matched);
        const double total = std::max(0.0, ps.diff + heardAll + notHeard);
        const double rms = std::sqrt(total / static_cast<double>(terms));
        const double m = std::max(rms, 0.5);
        const double r = 1.0 / (m * m);
        weights[q] = std::isfinite(r) ? r : 0.0;
    }
}

int Navigation::calculateCoordinates() {
    if (!mIsGoodSignals) return -1;
    if (mAlgorithm == 114) {
        int r = detectSublocation();
        if (r != 0) {
            MV_LOG(11, "ERROR: Cannot detect sublocation\n");
            return r;
        }
        r = estimateZone();
        if (r != 0) return r;
        mIsGoodSignals = false;
    } else {
        int r = updateSublocationWeights();
        if (r != 0) {
            if (r == -1 && countFloorOfThinWindow()) mLastSignalSolutionTime = mCurTime.getTimeInSeconds();
            return r;
        }
        r = detectSublocIdWithHistory();
        if (r != 0) return r;
        if (mAlgorithm == 107 || mAlgorithm == 109) {
            if (mAlgorithm == 107 && calcNeighbourhoodPosition()) {
                // The kit's fix is set.
            } else if (mAlgorithm == 109 && calcSparseHistogramPosition()) {
                // The kit's fix is set.
            } else if (mUseTriangulation) {
                calcPositionInTriangle();
            } else {
                calcWeightedAverage();
            }
        }
        if (mAlgorithm == 107) updateLevelOffset();
    }
    mLastSignalSolutionTime = mCurTime.getTimeInSeconds();
    return 0;
}

void Navigation::calcPositionInTriangle() {
    if (mDetectedSublocInd != mCurSublocInd) return;
    if (mCurSublocInd < 0 || mCurSublocInd >= FloorCount(*this) ||
        static_cast<size_t>(mCurSublocInd) >= mSublocStates.size()) {
        return;
    }
    if (mHeaviestTriangle.indexes.size() != 3) return;
    const SublocationMap& floor = Floor(*this, mCurSublocInd);
    const SublocationState& st = mSublocStates[static_cast<size_t>(mCurSublocInd)];
    const int nRp = PointCount(floor);
    double w[3];
    double norm = 0.0;
    for (int v = 0; v < 3; ++v) {
        const int k = mHeaviestTriangle.indexes[static_cast<size_t>(v)];
        if (k < 0 || k >= nRp) return;
        w[v] = static_cast<size_t>(k) < st.weights.size() ? st.weights[static_cast<size_t>(k)] : 0.0;
        norm += w[v];
    }
    if (norm == 0.0 || !std::isfinite(norm)) {
        MV_LOG(11, "ERROR: norm = %lf at calc position in heaviest triangle\n", norm);
        return;
    }
    double x = 0.0;
    double y = 0.0;
    for (int v = 0; v < 3; ++v) {
        const ReferencePoint& rp = Point(floor, mHeaviestTriangle.indexes[static_cast<size_t>(v)]);
        x += w[v] * rp.getX() / norm;
        y += w[v] * rp.getY() / norm;
    }
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    mX = x;
    mY = y;
}

bool Navigation::calcNeighbourhoodPosition() {
    if (!behaviour().fixesFromNeighbourhood() || mCurSublocInd < 0 || mCurSublocInd >= FloorCount(*this) ||
        static_cast<size_t>(mCurSublocInd) >= mFlatFloors.size()) {
        return false;
    }
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    // Only the kit's own weighting has a fix of its own.
    if (knn.Differention_mode || knn.Use_ap_weights) return false;
    // Like the original fix, none while the floor is in doubt.
    if (mDetectedSublocInd != mCurSublocInd) return true;
    std::vector<double>& fw = mKnn.fixWeights;
    rmsFixWeights(mCurSublocInd, fw);
    return neighbourhoodFix(fw);
}

bool Navigation::neighbourhoodFix(const std::vector<double>& weights) {
    const SublocationMap& floor = Floor(*this, mCurSublocInd);
    const int nRp = std::min(PointCount(floor), static_cast<int>(weights.size()));
    std::vector<std::pair<double, int>>& best = mKnn.best;
    best.clear();
    for (int q = 0; q < nRp; ++q) {
        const double w = weights[static_cast<size_t>(q)];
        if (w > 0.0 && std::isfinite(w)) best.emplace_back(w, q);
    }
    // No point matched enough transmitters: the original fix.
    if (best.empty()) return false;
    const size_t n = std::min(best.size(), static_cast<size_t>(kNeighbourhoodFixPoints));
    // Ties go to the lower point index, so the fix does not depend on how
    // the sort orders equal weights.
    std::partial_sort(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(n), best.end(),
                      [](const auto& a, const auto& b) {
                          return a.first > b.first || (a.first == b.first && a.second < b.second);
                      });
    const double reach = kNeighbourhoodFixSpacings * mFlatFloors[static_cast<size_t>(mCurSublocInd)].pointSpacing;
    const ReferencePoint& top = Point(floor, best[0].second);
    double x = 0.0, y = 0.0, sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const ReferencePoint& rp = Point(floor, best[i].second);
        if (i > 0 && std::hypot(rp.getX() - top.getX(), rp.getY() - top.getY()) > reach) continue;
        // Relative to the best weight, so that squaring cannot overflow.
        const double r = best[i].first / best[0].first;
        x += r * r * rp.getX();
        y += r * r * rp.getY();
        sum += r * r;
    }
    if (!(sum > 0.0)) return true;
    x /= sum;
    y /= sum;
    if (!std::isfinite(x) || !std::isfinite(y)) return true;
    mX = x;
    mY = y;
    return true;
}

bool Navigation::calcSparseHistogramPosition() {
    if (!behaviour().fixesSparseHistogramFromNeighbourhood() || mCurSublocInd < 0 || mCurSublocInd >= FloorCount(*this) ||
        static_cast<size_t>(mCurSublocInd) >= mFlatFloors.size() ||
        static_cast<size_t>(mCurSublocInd) >= mSublocStates.size()) {
        return false;
    }
    // Histograms of thousands of samples weigh single points well, and the
    // heaviest triangle places the walker between its corners best there.
    if (!mHistogram.sparseSurvey(mCurSublocInd)) return false;
    // Like the original fix, none while the floor is in doubt.
    if (mDetectedSublocInd != mCurSublocInd) return true;
    return neighbourhoodFix(mSublocStates[static_cast<size_t>(mCurSublocInd)].weights);
}

void Navigation::calcWeightedAverage() {
    if (mCurSublocInd < 0 || mCurSublocInd >= FloorCount(*this) ||
        static_cast<size_t>(mCurSublocInd) >= mSublocStates.size()) {
        return;
    }
    const SublocationMap& floor = Floor(*this, mCurSublocInd);
    const SublocationState& st = mSublocStates[static_cast<size_t>(mCurSublocInd)];
    const int nRp = PointCount(floor);
    double x = 0.0;
    double y = 0.0;
    const int n = static_cast<int>(st.weights.size());
    for (int k = 0; k < n; ++k) {
        const double w = st.weights[static_cast<size_t>(k)];
        if (k >= nRp || w == 0.0) continue;
        const ReferencePoint& rp = Point(floor, k);
        x += w * rp.getX();
        y += w * rp.getY();
    }
    mX = std::isfinite(x) ? x : 0.0;
    mY = std::isfinite(y) ? y : 0.0;
}

int Navigation::estimateZone() {
    if (mCurSublocInd < 0 || mCurSublocInd >= FloorCount(*this)) return -1;
    const SublocationMap& floor = Floor(*this, mCurSublocInd);
    std::vector<std::string> keys;
    for (const Beacon& b : FloorBeacons(floor)) keys.push_back(b.getId());
    std::vector<AccessPoint> m = mSigNavigation;
    filterUnknownMeasurements(m, keys);
    // An empty key list leaves the readings unfiltered; none of them can be
    // a beacon of this floor then.
    if (keys.empty()) m.clear();
    if (m.empty()) {
        MV_LOG(12, "Cant detect nearest AP, all signals are either empty or filtered out\n");
        return 4;
    }
    size_t nearest = 0;
    for (size_t i = 1; i < m.size(); ++i) {
        if (m[i].getRssi() > m[nearest].getRssi()) nearest = i;
    }
    for (const Beacon& b : FloorBeacons(floor)) {
        if (b.getId() == m[nearest].getBssid()) {
            mX = b.getX();
            mY = b.getY();
            return 0;
        }
    }
    MV_LOG(11, "ERROR in estimateZone: beacon with bssid = %s wasn't found\n",
           m[nearest].getBssid().c_str());
    return 4;
}
