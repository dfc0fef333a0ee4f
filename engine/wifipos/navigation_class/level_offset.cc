// The navigation class's estimate of how much the phone reads above or below
// the survey, learnt from the fixes while positioning.
#include "wifipos/navigation_class/navigation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "wifipos/navigation_class/navigation_internal.h"

using namespace navigation_internal;

namespace {

// The kit's learning of the phone's level offset: the share of a window's
// median difference taken per window, the most one window may move it (a
// fix in the wrong place must not drag it far), and the largest offset
// believed (phones differ by a few dB, rarely by more than 10).
constexpr double kLevelOffsetRate = 0.02;

constexpr double kLevelOffsetStepDb = 3.0;

constexpr double kLevelOffsetLimitDb = 12.0;

}  // namespace

void Navigation::updateLevelOffset() {
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    // Only the kit's own match reads the offset.
    if (!behaviour().learnsLevelOffset() || knn.Differention_mode || knn.Use_ap_weights) return;
    // A phone known to stand still sees one place's shadowing window after
    // window, which looks just like a phone reading low or high: only readings
    // taken across places tell the two apart.
    if (mIsStop) return;
    if (mDetectedSublocInd != mCurSublocInd || mCurSublocInd < 0 ||
        static_cast<size_t>(mCurSublocInd) >= mFlatFloors.size()) {
        return;
    }
    if (mHeaviestTriangle.indexes.size() != 3) return;
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(mCurSublocInd)];
    const int* corner = mHeaviestTriangle.indexes.data();
    for (int v = 0; v < 3; ++v) {
        if (corner[v] < 0 || corner[v] >= ff.nPoints) return;
    }
    // Per heard transmitter of the floor: its reading less the mean surveyed
    // level at the corners that have it. Levels near the "not heard" level
    // are left out: there the survey cut off what the phone could not hear,
    // and the difference says nothing about the phone.
    std::vector<double>& diff = mKnn.levelDiffs;
    diff.clear();
    constexpr double kAboveMissingDb = 6.0;
    if (mNavKeyIds.size() != mSigNavigation.size()) keyIdsOf(mSigNavigation, mNavKeyIds);
    for (size_t i = 0; i < mSigNavigation.size(); ++i) {
        const AccessPoint& ap = mSigNavigation[i];
        const int row = RowOf(ff, mNavKeyIds[i]);
        if (row < 0) continue;
        const double x = ap.getRssi() - mLevelOffset;
        if (x < ff.missingRssi + kAboveMissingDb) continue;
        double sum = 0.0;
        int n = 0;
        for (int r = ff.rowStart[row]; r < ff.rowStart[row + 1]; ++r) {
            const FlatEntry& e = ff.entries[static_cast<size_t>(r)];
            if (e.point != corner[0] && e.point != corner[1] && e.point != corner[2]) continue;
            if (e.rssi < ff.missingRssi + kAboveMissingDb) continue;
            sum += e.rssi;
            ++n;
        }
        if (n > 0) diff.push_back(x - sum / n);
    }
    // One or two transmitters are too few to tell the phone from the place.
    if (diff.size() < 3) return;
    const size_t mid = diff.size() / 2;
    std::nth_element(diff.begin(), diff.begin() + static_cast<std::ptrdiff_t>(mid), diff.end());
    double median = diff[mid];
    if (diff.size() % 2 == 0) {
        median = 0.5 * (median + *std::max_element(diff.begin(), diff.begin() + static_cast<std::ptrdiff_t>(mid)));
    }
    if (!std::isfinite(median)) return;
    const double step = std::clamp(median, -kLevelOffsetStepDb, kLevelOffsetStepDb);
    mLevelOffset = std::clamp(mLevelOffset + kLevelOffsetRate * step, -kLevelOffsetLimitDb,
                                 kLevelOffsetLimitDb);
}
