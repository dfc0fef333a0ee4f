// The navigation class's reference-point weights: nearest neighbours (the
// original and the one that weighs transmitters missing on either side),
// histograms, their normalisation and the triangles' weights.
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

// Triangle weights from dense per-point weights: the sums of the corners,
// or 0 when a corner weighs 1e-6 or less.
void WeighTriangles(std::vector<NavTriangle>& triangles, const std::vector<int>* corners,
                    const std::vector<double>& local, const std::vector<double>& global) {
    const size_t n = std::min(local.size(), global.size());
    if (corners != nullptr && corners->size() == 3 * triangles.size()) {
        const int* c = corners->data();
        const double* l = local.data();
        const double* g = global.data();
        for (NavTriangle& t : triangles) {
            const size_t a = static_cast<size_t>(c[0]);
            const size_t b = static_cast<size_t>(c[1]);
            const size_t d = static_cast<size_t>(c[2]);
            c += 3;
            t.wLocal = 0.0;
            t.wGlobal = 0.0;
            if (a >= n || b >= n || d >= n) continue;
            if (l[a] <= 1e-6 || l[b] <= 1e-6 || l[d] <= 1e-6) continue;
            t.wLocal = l[a] + l[b] + l[d];
            t.wGlobal = g[a] + g[b] + g[d];
        }
        return;
    }
    for (NavTriangle& t : triangles) {
        t.wLocal = 0.0;
        t.wGlobal = 0.0;
        if (t.indexes.size() != 3) continue;
        const size_t a = static_cast<size_t>(t.indexes[0]);
        const size_t b = static_cast<size_t>(t.indexes[1]);
        const size_t c = static_cast<size_t>(t.indexes[2]);
        if (a >= n || b >= n || c >= n) continue;
        if (local[a] <= 1e-6 || local[b] <= 1e-6 || local[c] <= 1e-6) continue;
        t.wLocal = local[a] + local[b] + local[c];
        t.wGlobal = global[a] + global[b] + global[c];
    }
}

}  // namespace

int Navigation::updateSublocationWeights() {
    if (mSublocStates.empty()) {
        MV_LOG(11, "ERROR: There is no any correct sublocations\n");
        return 4;
    }
    if (!mIsGoodSignals) return -1;
    mLevelFloorShares.clear();
    if (mAlgorithm != 108) mIsGoodSignals = false;
    for (SublocationState& st : mSublocStates) {
        int r = 0;
        if (mAlgorithm == 107 || mAlgorithm == 108) {
            r = updateRpWeightsKnn(st.id, mSigNavigation, mNavKeyIds);
        } else if (mAlgorithm == 109) {
            r = updateRpWeightsHistogram(st.id, mSigWindow);
        } else {
            // Other methods weigh no point; the stale weights of an earlier
            // pass must not be taken for new ones.
            st.clear();
        }
        if (r != 0) return r;
    }
    const int r = normalizeRpWeights();
    if (r != 0) return r;
    for (SublocationState& st : mSublocStates) WeighTriangles(st.triangles, triangleCorners(st), st.weights, st.globalWeights);
    if (mAlgorithm == 109 && behaviour().matchesLevelsForDoubtfulFloor() && histogramFloorInDoubt()) levelFloorShares();
    return 0;
}

int Navigation::calculateApTrustworthiness(const std::vector<AccessPoint>& meas,
                                           std::vector<double>& w) {
    w.assign(meas.size(), 0.0);
    double sum = 0.0;
    for (size_t i = 0; i < meas.size(); ++i) {
        const double x = meas[i].getRssi();
        double p = meas[i].getPower();
        if (p == 0.0) p = -10.0;
        const double t = std::pow(std::pow(10.0, (p - x) / 30.0), 1.8);
        w[i] = 1.0 / t;
        if (!std::isfinite(w[i])) w[i] = 0.0;
        sum += w[i];
    }
    if (!(sum > 0.0) || !std::isfinite(sum)) {
        // Every reading is extreme: trust them equally rather than divide by
        // zero.
        const double u = meas.empty() ? 0.0 : 1.0 / static_cast<double>(meas.size());
        for (double& x : w) x = u;
        return 0;
    }
    for (double& x : w) x /= sum;
    return 0;
}

int Navigation::updateRpWeightsKnn(const int& sublocId, const std::vector<AccessPoint>& meas) {
    std::vector<int> ids;
    keyIdsOf(meas, ids);
    return updateRpWeightsKnn(sublocId, meas, ids);
}

int Navigation::updateRpWeightsKnn(const int& sublocId, const std::vector<AccessPoint>& meas,
                                   const std::vector<int>& ids) {
    const int fi = floorIndexOfState(sublocId);
    bool found = false;
    SublocationState* st = getSublocationStateById(sublocId, found);
    if (fi < 0 || !found || static_cast<size_t>(fi) >= mFlatFloors.size()) {
        MV_LOG(11, "ERROR Bad sublocation index = %d\n", fi);
        return -1;
    }
    if (meas.size() <= 2) MV_LOG(13, "Warning: MEasurements vector size = %d\n", (int)meas.size());
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    selectFloorReadings(fi, meas, ids);
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    const size_t nSelected = mKnn.selected.size();
    if (nSelected == 0 || static_cast<int>(nSelected) < knn.Min_nvisible_aps) {
        st->clear();
        MV_LOG(11, "ERROR: %d visible beacons. Minimum %d visible beacons is required. \n",
               (int)nSelected, knn.Min_nvisible_aps);
        return 0;
    }
    const bool kitWeights = !knn.Differention_mode && behaviour().weighsMissingTransmitters() && !knn.Use_ap_weights;
    weighSelectedReadings(knn.Use_ap_weights);
    mKnn.dsum.assign(static_cast<size_t>(ff.nPoints), 0.0);
    if (!kitWeights) mKnn.psum.assign(static_cast<size_t>(ff.nPoints), 0.0);
    mKnn.count.assign(static_cast<size_t>(ff.nPoints), 0);
    if (kitWeights) {
        storeKitKnnWeights(*st, ff, meas);
        return 0;
    }
    if (knn.Differention_mode) {
        sumDifferenceMismatches(ff);
    } else {
        sumLevelMismatches(ff);
    }
    storeKnnWeights(*st, knnPointWeights(ff, knn));
    return 0;
}

void Navigation::weighSelectedReadings(bool byTrust) {
    std::vector<double>& w = mKnn.readingWeight;
    w.assign(mKnn.selected.size(), 1.0);
    if (!byTrust) return;
    std::vector<AccessPoint>& m = mScanBuf;
    m.clear();
    for (const AccessPoint* ap : mKnn.selected) m.push_back(*ap);
    calculateApTrustworthiness(m, w);
}

void Navigation::sumDifferenceMismatches(const FlatFloor& ff) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    const std::vector<double>& w = mKnn.readingWeight;
    const size_t nP = static_cast<size_t>(ff.nPoints);
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    // First surveyed level of each reading's transmitter at each point.
    constexpr double kNone = 1.0;
    std::vector<std::vector<double>> firstAt(sel.size());
    for (size_t j = 0; j < sel.size(); ++j) {
        firstAt[j].assign(nP, kNone);
        if (rows[j] < 0) continue;
        for (int e = rowStart[rows[j] + 1]; e-- > rowStart[rows[j]];) {
            firstAt[j][static_cast<size_t>(entries[e].point)] = entries[e].rssi;
        }
    }
    for (size_t i = 0; i < sel.size(); ++i) {
        if (rows[i] < 0) continue;
        const double xi = sel[i]->getRssi();
        for (int r = rowStart[rows[i]]; r < rowStart[rows[i] + 1]; ++r) {
            const FlatEntry& e = entries[r];
            const size_t p = static_cast<size_t>(e.point);
            for (size_t j = 0; j < i; ++j) {
                const double rj = firstAt[j][p];
                if (rj == kNone) continue;
                const double xj = sel[j]->getRssi();
                mKnn.psum[p] += w[i] * w[j];
                const double t = std::fabs((e.rssi - rj) - (xi - xj)) * w[i] * w[j];
                mKnn.dsum[p] += t == 0.0 ? 1e-6 : t;
                ++mKnn.count[p];
            }
        }
    }
}

void Navigation::sumLevelMismatches(const FlatFloor& ff) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    for (size_t i = 0; i < sel.size(); ++i) {
        if (rows[i] < 0) continue;
        const double xi = sel[i]->getRssi();
        const double wi = mKnn.readingWeight[i];
        for (int r = rowStart[rows[i]]; r < rowStart[rows[i] + 1]; ++r) {
            const FlatEntry& e = entries[r];
            const size_t p = static_cast<size_t>(e.point);
            mKnn.psum[p] += wi;
            const double t = std::fabs(e.rssi - xi) * wi;
            mKnn.dsum[p] += t == 0.0 ? 1e-6 : t;
            ++mKnn.count[p];
        }
    }
}

double Navigation::knnPointWeights(const FlatFloor& ff, const CommonNavProperties::Knn& knn) {
    const size_t nP = static_cast<size_t>(ff.nPoints);
    const int k = std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps);
    std::vector<double>& result = mKnn.result;
    result.assign(nP, 0.0);
    double weightSum = 0.0;
    for (size_t q = 0; q < nP; ++q) {
        const double d = mKnn.dsum[q];
        if (d == 0.0) continue;
        const int c = mKnn.count[q];
        double r;
        if (c < k) {
            r = 0.0;
        } else if (c == 0) {
            MV_LOG(11, "ERROR: nVisible APs == 0! something wrong\n");
            r = d;
        } else {
            double dd = d;
            if (knn.Use_ap_weights && mKnn.psum[q] > 0.0) dd = d / mKnn.psum[q];
            r = static_cast<double>(c) / std::sqrt(dd);
        }
        if (!std::isfinite(r) || r < 0.0) r = 0.0;
        result[q] = r;
        weightSum += r;
    }
    return weightSum;
}

void Navigation::storeKnnWeights(SublocationState& st, double weightSum) {
    for (NavTriangle& t : st.triangles) {
        t.wLocal = 0.0;
        t.wGlobal = 0.0;
    }
    st.weightSum = weightSum;
    st.weights.assign(mKnn.result.begin(), mKnn.result.end());
    st.globalWeights.assign(mKnn.result.begin(), mKnn.result.end());
    st.visibleCounts.assign(mKnn.count.begin(), mKnn.count.end());
}

void Navigation::storeKitKnnWeights(SublocationState& st, const FlatFloor& ff, const std::vector<AccessPoint>& meas) {
    st.weightSum = weighSelectedWithMissing(ff, meas);
    for (NavTriangle& t : st.triangles) {
        t.wLocal = 0.0;
        t.wGlobal = 0.0;
    }
    st.globalWeights.assign(mKnn.result.begin(), mKnn.result.end());
    // The floor's buffer takes the weights over; the next pass writes
    // every entry of the one it gets back.
    st.weights.swap(mKnn.result);
    st.visibleCounts.assign(mKnn.count.begin(), mKnn.count.end());
}

void Navigation::selectFloorReadings(int fi, const std::vector<AccessPoint>& meas) {
    keyIdsOf(meas, mKnn.keyIds);
    selectFloorReadings(fi, meas, mKnn.keyIds);
}

void Navigation::selectFloorReadings(int fi, const std::vector<AccessPoint>& meas, const std::vector<int>& ids) {
    const SublocationMap& floor = Floor(*this, fi);
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    // The readings of the floor's transmitters, as filterUnknownMeasurements
    // keeps them (an empty key list keeps every reading), with their rows.
    std::vector<const AccessPoint*>& sel = mKnn.selected;
    std::vector<int>& rows = mKnn.rows;
    sel.clear();
    rows.clear();
    mKnn.unknownMissing = 0.0;
    mKnn.nUnknown = 0;
    if (meas.empty()) {
        MV_LOG(11, "Measurements vector is empty\n");
    } else if (FloorKeys(floor).empty()) {
        MV_LOG(11, "ERROR: Can't filter measurements. There is no APs at this floor\n");
        for (const AccessPoint& ap : meas) {
            sel.push_back(&ap);
            rows.push_back(-1);
        }
    } else {
        for (size_t i = 0; i < meas.size(); ++i) {
            const int row = i < ids.size() ? RowOf(ff, ids[i]) : kNotOnFloor;
            if (row == kNotOnFloor) {
                mKnn.unknownMissing += std::fabs(meas[i].getRssi() - ff.missingRssi);
                ++mKnn.nUnknown;
                continue;
            }
            sel.push_back(&meas[i]);
            rows.push_back(row);
        }
    }
}

double Navigation::weighSelectedWithMissing(const FlatFloor& ff, const std::vector<AccessPoint>& meas, int minMatched) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    // Readings of transmitters this floor does not know speak against
    // every point of it alike (summed while they were sorted out).
    int nOther = static_cast<int>(meas.size() - sel.size());
    double otherMissing = mKnn.unknownMissing;
    for (size_t i = 0; i < sel.size(); ++i) {
        if (rows[i] >= 0) continue;
        ++nOther;
        otherMissing += std::fabs(sel[i]->getRssi() - ff.missingRssi);
    }
    knnWeightsWithMissing(ff, nOther, otherMissing, minMatched);
    double sum = 0.0;
    for (double r : mKnn.result) sum += r;
    return sum;
}

void Navigation::knnWeightsWithMissing(const FlatFloor& ff, int nHeardOther, double heardOtherMissing, int minMatched) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    const size_t nP = static_cast<size_t>(ff.nPoints);
    std::vector<int>& count = mKnn.count;
    std::vector<KnnScratch::PointSums>& sums = mKnn.pointSums;
    sums.assign(nP, KnnScratch::PointSums{0.0, 0.0, 0.0, 0});
    KnnScratch::PointSums* at = sums.data();
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    const double level = ff.missingRssi;
    double heardAll = heardOtherMissing;
    int nHeard = nHeardOther;
    for (size_t i = 0; i < sel.size(); ++i) {
        if (rows[i] < 0) continue;
        const double xi = sel[i]->getRssi() - mLevelOffset;
        const double xm = std::fabs(xi - level);
        heardAll += xm;
        ++nHeard;
        const FlatEntry* e = entries + rowStart[rows[i]];
        const FlatEntry* const end = entries + rowStart[rows[i] + 1];
        for (; e != end; ++e) {
            KnnScratch::PointSums& ps = at[e->point];
            ps.diff += std::fabs(e->rssi - xi);
            ps.matched += std::fabs(e->rssi - level);
            ps.heard += xm;
            ++ps.count;
        }
    }
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    const int k = minMatched > 0 ? minMatched : std::max(1, std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps));
    std::vector<double>& result = mKnn.result;
    result.resize(nP);
    count.resize(nP);
    for (size_t q = 0; q < nP; ++q) {
        const KnnScratch::PointSums& ps = at[q];
        count[q] = ps.count;
        result[q] = 0.0;
        if (ps.count < k) continue;
        // Surveyed here but not heard now, and heard now but not surveyed
        // here, each against the "not heard" level.
        const double notHeard = std::max(0.0, ff.missingSum[q] - ps.matched);
        const double notSurveyed = std::max(0.0, heardAll - ps.heard);
        const int terms = ff.surveyedCount[q] + nHeard - ps.count;
        if (terms <= 0) continue;
        const double mean = (ps.diff + notHeard + notSurveyed) / static_cast<double>(terms);
        // Squared, so that the best-matching points stand out of the many
        // middling ones; a floor of 0.5 dB keeps a perfect match finite.
        const double m = std::max(mean, 0.5);
        const double r = 1.0 / (m * m);
        result[q] = std::isfinite(r) ? r : 0.0;
    }
}

int Navigation::updateRpWeightsHistogram(const int& sublocId,
                                         const std::vector<AccessPoint>& meas) {
    int fi = floorIndexOfState(sublocId);
    bool found = false;
    SublocationState* st = getSublocationStateById(sublocId, found);
    if (fi < 0 || !found) {
        MV_LOG(11, "ERROR Bad sublocation index = %d\n", fi);
        return -1;
    }
    // The window is filtered in a buffer kept from window to window, whose
    // readings and key texts are reused instead of allocated again.
    std::vector<AccessPoint>& m = mScanBuf;
    m.assign(meas.begin(), meas.end());
    filterUnknownMeasurements(m, FloorKeys(Floor(*this, fi)));
    st->clear();
    if (m.empty()) {
        // Cleared all the same: the last window's weights must not stand
        // for this one.
        MV_LOG(11, "MEasurements vector size = %d. It's not enough\n", 0);
        return 0;
    }
    mHistogram.calculateWeights(*st, m, fi);
    // A floor where nothing matched is left with every weight at 1.0 and a
    // zero sum; it has no evidence and gets no weight.
    double sum = 0.0;
    bool usable = std::isfinite(st->weightSum) && st->weightSum > 0.0;
    if (usable) {
        for (double& weight : st->weights) {
            if (!std::isfinite(weight) || weight < 0.0) weight = 0.0;
            sum += weight;
        }
        usable = sum > 0.0 && std::isfinite(sum);
    }
    if (!usable) {
        std::fill(st->weights.begin(), st->weights.end(), 0.0);
        sum = 0.0;
    }
    st->weightSum = sum;
    st->globalWeights.assign(st->weights.begin(), st->weights.end());
    return 0;
}

int Navigation::normalizeRpWeights() {
    double total = 0.0;
    for (const SublocationState& st : mSublocStates) total += st.weightSum;
    if (mSublocStates.empty() || total == 0.0 || !std::isfinite(total)) {
        MV_LOG(11, "Weight of all RPs == 0. It's impossible to obtain coordinates\n");
        return -1;
    }
    double globalSum = 0.0;
    for (size_t s = 0; s < mSublocStates.size(); ++s) {
        SublocationState& st = mSublocStates[s];
        if (st.weightSum == 0.0) continue;
        double localSum = 0.0;
        for (double& weight : st.weights) {
            if (weight != 0.0) {
                weight /= st.weightSum;
                localSum += weight;
            }
        }
        if (st.weights.empty() || localSum < 0.999999 || localSum > 1.000001) {
            MV_LOG(11, "ERROR: Sum of probabilities at %d subloc != 1.0!\n", (int)s);
        }
        for (double& weight : st.globalWeights) {
            if (weight != 0.0) {
                weight /= total;
                globalSum += weight;
            }
        }
    }
    if (globalSum < 0.999999 || globalSum > 1.000001) {
        MV_LOG(11, "ERROR: Sum of probabilities over all sublocs != 1.0!\n");
    }
    return 0;
}

void Navigation::updateTrianglesWeight(int sublocId) {
    bool found = false;
    SublocationState* st = getSublocationStateById(sublocId, found);
    if (!found) {
        MV_LOG(11, "ERROR: Can't find sublocation state with id = %d\n", sublocId);
        return;
    }
    // A corner beyond the arrays counts as 0, and so zeroes its triangle.
    WeighTriangles(st->triangles, triangleCorners(*st), st->weights, st->globalWeights);
}

const std::vector<int>* Navigation::triangleCorners(const SublocationState& st) const {
    const SublocationState* first = mSublocStates.data();
    if (&st < first || &st >= first + mSublocStates.size()) return nullptr;
    const size_t s = static_cast<size_t>(&st - first);
    return s < mTriangleCorners.size() ? &mTriangleCorners[s] : nullptr;
}
