// The navigation class: construction, its copy of the map with the unusable
// floors removed, the triangles and the flattened radio maps, and the plain
// setters and getters. The signal window, the weights, the floor and the
// position live in the files beside this one.
#include "wifipos/navigation_class/navigation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>

#include "server/utils.h"
#include "wifipos/mesh/triangle_mesh.h"
#include "wifipos/navigation_class/navigation_internal.h"

using namespace navigation_internal;

namespace {

const RadioMap& FloorRadioMap(const SublocationMap& floor) {
    return floor.getRadioMap();
}

// Median distance from a surveyed point to its nearest neighbour on the
// floor, over at most kSpacingSample points spread through the list: the
// survey's own scale.
constexpr int kSpacingSample = 64;

double MedianPointSpacing(const SublocationMap& floor) {
    const int n = PointCount(floor);
    if (n < 2) return 0.0;
    const int stride = (n + kSpacingSample - 1) / kSpacingSample;
    std::vector<double> nearest;
    for (int i = 0; i < n; i += stride) {
        const ReferencePoint& a = Point(floor, i);
        double best = -1.0;
        for (int j = 0; j < n; ++j) {
            if (j == i) continue;
            const ReferencePoint& b = Point(floor, j);
            const double d = std::hypot(a.getX() - b.getX(), a.getY() - b.getY());
            if (d > 0.0 && (best < 0.0 || d < best)) best = d;
        }
        if (best > 0.0 && std::isfinite(best)) nearest.push_back(best);
    }
    if (nearest.empty()) return 0.0;
    const size_t mid = nearest.size() / 2;
    std::nth_element(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(mid), nearest.end());
    return nearest[mid];
}

bool UsesBeaconFloorDetection(int algorithm, int gpMode) {
    return algorithm == 114 || algorithm == 112 || (algorithm == 108 && gpMode == 122);
}

}  // namespace

bool isWiFIMeas(AccessPoint ap) { return ap.getType() == 0; }

bool isBeaconMeas(AccessPoint ap) { return ap.getType() == 2; }

bool isUnknownMeas(AccessPoint ap) { return ap.getType() != 0 && ap.getType() != 2; }

bool compareApTime(AccessPoint a, AccessPoint b) { return a.getTimeStamp() < b.getTimeStamp(); }

bool compareApRss(AccessPoint a, AccessPoint b) { return b.getRssi() > a.getRssi(); }

AccessPoint sumAccessPoint(AccessPoint a, AccessPoint b) {
    a.setRssi(a.getRssi() + b.getRssi());
    a.setDistance(RawDistance(a) + RawDistance(b));
    return a;
}

Navigation::Navigation(const EngineBehaviour& behaviour) : NavigationMap(behaviour), mHistogram(behaviour) {}

Navigation::Navigation(NavigationMap* map) : NavigationMap(*map), mHistogram(map->behaviour()) {
    mAlgorithm = Settings(*map).Use_algorithm;
}

void Navigation::clear() {
    mAlgorithm = 107;
    mWindowShiftTime = 0.0;
    mAccumulationTime = 1.5;
    mAutoClearingOldMeas = false;
    mCurSublocInd = -1;
    mSigTimeStart = SensorTime();
    lastMeasTime = SensorTime();
    mIsGoodSignals = false;
    mPrevStepTime = 0.0;
    mX = 0.0;
    mY = 0.0;
    mLastSignalSolutionTime = 0.0;
    mUseTriangulation = true;
    mPrevSublocInd = -1;
    mLastStepTime = 0.0;
    mIsStop = false;
    mCutoffRss = -100;
    mCurTime = SensorTime();
    mSigWindow.clear();
    mSigNew.clear();
    mSigNavigation.clear();
    mSublocStates.clear();
    mSublocHistory.clear();
    mStartWaitSince = -1.0;
    mDetectedSublocInd = -1;
    mLevelFloorShares.clear();
    mStandingPool.clear();
    mStandingPoolEnd = -1.0;
    mLevelOffset = 0.0;
    mFlatFloors.clear();
    mKeyIds.clear();
    mNavKeyIds.clear();
    mTriangleCorners.clear();
}

int Navigation::specifyNavigationMap(const NavigationMap& map) {
    clear();
    NavigationMap::operator=(map);
    const int r = checkMapCorrectness();
    if (r != 0) return r;

    const int n = FloorCount(*this);
    mSublocStates.assign(static_cast<size_t>(n), SublocationState());
    mBeaconIds.clear();
    for (int i = 0; i < n; ++i) {
        const SublocationMap& floor = Floor(*this, i);
        SublocationState& st = mSublocStates[static_cast<size_t>(i)];
        st.id = FloorId(floor);
        const int nRp = PointCount(floor);
        st.weights.assign(static_cast<size_t>(std::max(nRp, 0)), 0.0);
        st.globalWeights.assign(st.weights.size(), 0.0);
        st.visibleCounts.assign(st.weights.size(), 0);
        for (const Beacon& b : FloorBeacons(floor)) mBeaconIds.push_back(b.getId());
    }
    std::sort(mBeaconIds.begin(), mBeaconIds.end());

    const CommonNavProperties& s = Settings(map);
    mAlgorithm = s.Use_algorithm;
    mWindowShiftTime = s.Sig_window_shift;
    // Also refuses NaN and infinity, with which the window would never move.
    if (!(mWindowShiftTime >= 0.0) || !std::isfinite(mWindowShiftTime)) {
        MV_LOG(11, "WARNING: window shift time < 0. It will be set to 0.5 by default\n");
        mWindowShiftTime = 0.5;
    }
    buildFlatRadioMaps();

    switch (mAlgorithm) {
        case 107:
        case 109:
            triangulate();
            break;
        case 108:
            if (s.gaussianProcesses.Mode != 122) triangulate();
            break;
        case 114:
            Settings(*this).Use_particle_filter = false;
            break;
        default:
            break;
    }
    return 0;
}

int Navigation::checkMapCorrectness() {
    if (FloorCount(*this) == 0) {
        MV_LOG(11, "There is no any correct sublocations for navigation\n");
        mMapErrorCode = NAV_MAP_ERROR_NO_FLOORS;
        return -1;
    }
    mAlgorithm = Settings(*this).Use_algorithm;
    const bool byBeacons =
        UsesBeaconFloorDetection(mAlgorithm, Settings(*this).gaussianProcesses.Mode);
    int reason = 0;
    for (int i = 0; i < FloorCount(*this);) {
        const SublocationMap& floor = Floor(*this, i);
        if (byBeacons) {
            if (FloorBeacons(floor).empty()) {
                MV_LOG(11, "There is no beacons on %d sublocation. It'll be removed\n",
                       FloorId(floor));
                removeSublocation(i);
                reason = NAV_MAP_ERROR_NO_BEACONS;
                continue;
            }
        } else if (PointCount(floor) < 3) {
            MV_LOG(11, "ERROR: There is no enough RPs on %d sublocation. It'll be removed\n",
                   FloorId(floor));
            removeSublocation(i);
            reason = NAV_MAP_ERROR_FEW_POINTS;
            continue;
        }
        ++i;
    }
    if (FloorCount(*this) > 0) return 0;
    mMapErrorCode = reason;
    return reason;
}

int Navigation::triangulate() {
    // The mesh takes integer coordinates in units of 0.1 mm.
    constexpr double kScale = 10000.0;
    constexpr double kLimit = static_cast<double>(INT_MAX) / kScale;
    int result = 0;
    const int n = FloorCount(*this);
    if (mSublocStates.size() < static_cast<size_t>(n)) mSublocStates.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const SublocationMap& floor = Floor(*this, i);
        SublocationState& st = mSublocStates[static_cast<size_t>(i)];
        st.triangles.clear();
        const int nRp = PointCount(floor);
        if (nRp < 3) {
            MV_LOG(11,
                   "Less ther 3 RPs on the %d sublocation. It will be excluded from navigation\n",
                   FloorId(floor));
        }
        if (nRp == 0) {
            MV_LOG(11, "ERROR. Number of RPs for triangulation = %d\n ", nRp);
            result = 6;
            continue;
        }
        std::vector<int32_t> coords(static_cast<size_t>(2 * nRp));
        bool representable = true;
        for (int j = 0; j < nRp; ++j) {
            const ReferencePoint& rp = Point(floor, j);
            const double x = rp.getX();
            const double y = rp.getY();
            // Converting a value outside the int range is undefined; such a
            // floor cannot be meshed.
            if (!(std::fabs(x) < kLimit) || !(std::fabs(y) < kLimit)) {
                representable = false;
                break;
            }
            coords[static_cast<size_t>(2 * j)] = static_cast<int32_t>(x * kScale);
            coords[static_cast<size_t>(2 * j + 1)] = static_cast<int32_t>(y * kScale);
        }
        if (!representable) {
            MV_LOG(11, "ERROR: reference point coordinates of %d sublocation are out of range\n",
                   FloorId(floor));
            result = 6;
            continue;
        }
        int count = 0;
        int* list = BuildTriangleIndexList(coords.data(), 0.0f, nRp, 2, 0, &count);
        if (list == nullptr || count <= 2) {
            MV_LOG(11, "number of triangles <= 0\n");
            std::free(list);
            result = 6;
            continue;
        }
        if (count % 3 != 0) {
            MV_LOG(11, "Numver of vertices is not a multiple of 3\n");
            std::free(list);
            result = 6;
            continue;
        }
        st.triangles.reserve(static_cast<size_t>(count / 3));
        for (int k = 0; k + 2 < count; k += 3) {
            NavTriangle t;
            bool valid = true;
            for (int v = 0; v < 3; ++v) {
                const int idx = list[k + v];
                if (idx < 0 || idx >= nRp) valid = false;
                t.indexes.push_back(idx);
            }
            if (valid) st.triangles.push_back(t);
        }
        std::free(list);
    }
    // The corners again in one flat array per floor, read by every window's
    // triangle weights without a heap block per triangle.
    mTriangleCorners.assign(mSublocStates.size(), {});
    for (size_t s = 0; s < mSublocStates.size(); ++s) {
        std::vector<int>& corners = mTriangleCorners[s];
        corners.reserve(3 * mSublocStates[s].triangles.size());
        for (const NavTriangle& t : mSublocStates[s].triangles) corners.insert(corners.end(), t.indexes.begin(), t.indexes.end());
    }
    return result;
}

int Navigation::initializeGp() {
    if (mAlgorithm == 108) mGp.initialize(*this);
    return 0;
}

int Navigation::initializeHistogram() {
    if (mAlgorithm == 109) {
        // Built over this copy of the map, with its behaviour.
        mHistogram = Histogram(behaviour());
        mHistogram.initialize(*this);
    }
    return 0;
}

void Navigation::buildFlatRadioMaps() {
    const int n = FloorCount(*this);
    mFlatFloors.assign(static_cast<size_t>(n), FlatFloor());
    mBeaconFloor.clear();
    for (int i = 0; i < n; ++i) {
        const SublocationMap& floor = Floor(*this, i);
        FlatFloor& ff = mFlatFloors[static_cast<size_t>(i)];
        ff.nPoints = PointCount(floor);
        // The radio map holds each key's entries together, so rows are
        // appended one key at a time.
        const RadioKey* last = nullptr;
        for (const auto& [key, ap] : FloorRadioMap(floor)) {
            const int p = ap.getRefPointIndex();
            // An entry must name a point of its own floor.
            if (p < 0 || p >= ff.nPoints) continue;
            if (last == nullptr || *last != key) {
                ff.keyIndex.emplace(key, static_cast<int>(ff.rowStart.size()));
                ff.rowStart.push_back(static_cast<int>(ff.entries.size()));
                last = &key;
            }
            ff.entries.push_back(FlatEntry{p, ap.getRssi()});
        }
        ff.rowStart.push_back(static_cast<int>(ff.entries.size()));
        for (const Beacon& b : FloorBeacons(floor)) mBeaconFloor.emplace(b.getId(), i);
        ff.missingSq.assign(static_cast<size_t>(std::max(ff.nPoints, 0)), 0.0);
        ff.missingSum.assign(ff.missingSq.size(), 0.0);
        ff.surveyedCount.assign(ff.missingSq.size(), 0);
        if (!ff.entries.empty()) {
            double weakest = ff.entries.front().rssi;
            for (const FlatEntry& e : ff.entries) weakest = std::min(weakest, e.rssi);
            ff.missingRssi = weakest;
            ff.entryMissingSq.reserve(ff.entries.size());
            for (const FlatEntry& e : ff.entries) {
                const double d = e.rssi - weakest;
                ff.entryMissingSq.push_back(MissingTerm(d));
                ff.missingSum[static_cast<size_t>(e.point)] += std::fabs(d);
                ff.missingSq[static_cast<size_t>(e.point)] += ff.entryMissingSq.back();
                ++ff.surveyedCount[static_cast<size_t>(e.point)];
            }
        }
        ff.pointSpacing = MedianPointSpacing(floor);
        for (const std::string& key : FloorKeys(floor)) {
            auto it = ff.keyIndex.find(key);
            ff.knownKeys.emplace(key, it == ff.keyIndex.end() ? -1 : it->second);
        }
    }
    // Ids in the keys' byte order: one map gives the same ids whatever order
    // its floors list their keys in.
    std::map<std::string_view, int> order;
    for (const FlatFloor& ff : mFlatFloors) {
        for (const auto& [key, row] : ff.knownKeys) order.emplace(key, 0);
    }
    mKeyIds.clear();
    mKeyIds.reserve(order.size());
    for (auto& [key, id] : order) {
        id = static_cast<int>(mKeyIds.size());
        mKeyIds.emplace(std::string(key), id);
    }
    for (FlatFloor& ff : mFlatFloors) {
        ff.rowOfKey.assign(order.size(), kNotOnFloor);
        for (const auto& [key, row] : ff.knownKeys) ff.rowOfKey[static_cast<size_t>(order.at(key))] = row;
    }
    mNavKeyIds.clear();
    keyIdsOf(mSigNavigation, mNavKeyIds);
}

void Navigation::keyIdsOf(const std::vector<AccessPoint>& meas, std::vector<int>& ids) const {
    ids.resize(meas.size());
    for (size_t i = 0; i < meas.size(); ++i) {
        auto it = mKeyIds.find(meas[i].getBssid());
        ids[i] = it == mKeyIds.end() ? -1 : it->second;
    }
}

void Navigation::setCutoffRss(double cutoff) {
    if (std::isnan(cutoff)) return;
    // Truncation toward zero; values beyond the int range are clamped since
    // converting them would be undefined.
    if (cutoff <= static_cast<double>(INT_MIN)) {
        mCutoffRss = INT_MIN;
    } else if (cutoff >= static_cast<double>(INT_MAX)) {
        mCutoffRss = INT_MAX;
    } else {
        mCutoffRss = static_cast<int>(cutoff);
    }
}

void Navigation::setMeasAccumulationTime(double t) {
    // With NaN or infinity no reading would ever age out of the window.
    if (!(t >= 0.0) || !std::isfinite(t)) {
        MV_LOG(11, "ERROR: bad accumulation time %lf; it stays %lf\n", t, mAccumulationTime);
        return;
    }
    mAccumulationTime = t;
}

void Navigation::setWindowReach(double t) { mWindowReach = std::isfinite(t) && t > 0.0 ? t : 0.0; }

int Navigation::getCurSublocId() const {
    if (mCurSublocInd < 0) {
        MV_LOG(11, "ERROR: Current sublocation was not detected yet\n");
        return -1;
    }
    if (mCurSublocInd >= FloorCount(*this)) return -1;
    return FloorId(Floor(*this, mCurSublocInd));
}

void Navigation::setCurSublocInd(int index) {
    if (index < 0) {
        MV_LOG(11, "ERROR: Bad curSublocInd = %d\n", index);
        return;
    }
    mCurSublocInd = index;
}

int Navigation::getSublocStateIndexById(int id) const {
    for (size_t i = 0; i < mSublocStates.size(); ++i) {
        if (mSublocStates[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

SublocationState* Navigation::getSublocationStateById(int id, bool& found) {
    const int i = getSublocStateIndexById(id);
    found = i >= 0;
    return found ? &mSublocStates[static_cast<size_t>(i)] : nullptr;
}

SublocationState* Navigation::getSublocationStateByIndex(int index) {
    if (index < 0 || static_cast<size_t>(index) >= mSublocStates.size()) return nullptr;
    return &mSublocStates[static_cast<size_t>(index)];
}

int Navigation::floorIndexOfState(int sublocId) const {
    const int n = FloorCount(*this);
    for (int i = 0; i < n; ++i) {
        if (FloorId(Floor(*this, i)) == sublocId) return i;
    }
    return -1;
}
