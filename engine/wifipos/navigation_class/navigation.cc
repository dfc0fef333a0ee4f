#include "wifipos/navigation_class/navigation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "server/utils.h"
#include "wifipos/mesh/triangle_mesh.h"

namespace {

// --- access to the map copy --------------------------------------------------

const CommonNavProperties& Settings(const NavigationMap& map) {
    return map.getNavigationProperties();
}
CommonNavProperties& Settings(NavigationMap& map) { return map.getNavigationProperties(); }

int FloorCount(const NavigationMap& map) { return static_cast<int>(map.getNSublocations()); }

const SublocationMap& Floor(const NavigationMap& map, int index) {
    return map.getSublocationsVector()[static_cast<size_t>(index)];
}

int FloorId(const SublocationMap& floor) { return floor.getId(); }

int PointCount(const SublocationMap& floor) { return static_cast<int>(floor.getNRp()); }

const ReferencePoint& Point(const SublocationMap& floor, int index) { return *floor.getRp(index); }

const std::vector<Beacon>& FloorBeacons(const SublocationMap& floor) { return floor.getBeacons(); }

const std::vector<std::string>& FloorKeys(const SublocationMap& floor) {
    return floor.getUniqueApsBssid();
}

const RadioMap& FloorRadioMap(const SublocationMap& floor) {
    return floor.getRadioMap();
}

// Agreeing detections of another floor before the kit switches to it while
// no level steps are counted.
constexpr size_t kStandingFloorSwitchWindows = 3;
// While level steps are counted, a window speaks for another floor only
// when that floor holds this many times the current floor's share.
constexpr double kWalkingShareMargin = 1.5;
// Off the level (no level steps counted: stairs, lifts), a window whose floor
// holds this many times the current floor's share counts as two agreeing
// windows: where beacons are sparse the windows come a second or more apart,
// and the evidence of a walker arrived on another floor rarely gets this
// one-sided by chance.
constexpr double kDecisiveShareRatio = 10.0;
// Floors whose shares lie within this ratio are a tie for the weights.
constexpr double kShareTieRatio = 1.35;
// Histogram weights compare each reading with the spread surveyed at a
// point, and a floor's beacons heard through the floor keep that spread:
// where the shares leave the floor in doubt they name the floor below or
// above as often as the walker's own. Unless the current floor holds this
// many times any other floor's share, the floor is decided by the
// nearest-neighbour match of the levels themselves (what every floor
// between loses shows there), taken for that window only.
constexpr double kClearHistogramShareRatio = 2.0;

// The first window may hold only a few readings; a first floor it names
// without a clear majority waits for the next windows (no position meanwhile)
// rather than stand on a floor that four more windows must overturn. The
// chosen floor's share of the weights must be at least this, and its
// heaviest triangle must lie on it. After this long (some methods ask
// every tick, others once per window) the heaviest triangle decides as before.
constexpr double kStartFloorShare = 0.6;
constexpr double kMaxStartWaitSec = 2.0;

// A walker who stands before the first floor is decided (at the start, while
// the phone finds its beacons) gathers many readings of one spot, often of too
// few beacons to place it. They stay pooled, and the first decision goes by
// their match together with the window's newer readings rather than by one
// window's, as long as it comes within this long of the last of them.
constexpr double kStandingPoolKeepSec = 5.0;

// A jump back of reading times beyond this is taken as a clock change.
constexpr double kClockJumpSeconds = 15.0;
// The kit's learning of the phone's level offset: the share of a window's
// median difference taken per window, the most one window may move it (a
// fix in the wrong place must not drag it far), and the largest offset
// believed (phones differ by a few dB, rarely by more than 10).
constexpr double kLevelOffsetRate = 0.02;
constexpr double kLevelOffsetStepDb = 3.0;
constexpr double kLevelOffsetLimitDb = 12.0;

// The kit's fix: the kNeighbourhoodFixPoints best-matching points of the floor that
// lie within kNeighbourhoodFixSpacings survey spacings of the best one, each weighed
// by the square of its match weight (nearest neighbours always, histograms
// over a sparse survey). A sparse survey leaves the walker
// between points most of the time, and the three corners of one triangle
// hold too little of the neighbourhood to place the fix between rows;
// points far off that match by chance must not pull it across the floor.
constexpr int kNeighbourhoodFixPoints = 8;
constexpr double kNeighbourhoodFixSpacings = 2.5;

// A transmitter heard on one side only (surveyed here but missing from the
// window, or heard but not surveyed here) is as often a reading lost near
// the edge of hearing as a sign of another place: in the fix's match its
// difference to the "not heard" level counts as a squared difference up to
// this many dB and grows only linearly beyond.
constexpr double kFixMissingDb = 4.0;

double MissingTerm(double d) {
    const double a = std::fabs(d);
    return a <= kFixMissingDb ? a * a : kFixMissingDb * (2.0 * a - kFixMissingDb);
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

// How far back a standing walker's readings reach. The histogram method
// compares the spread of the raw readings, which the kit's short window
// leaves too thin to tell floors apart where beacons are sparse; so once the
// fresh readings speak for another floor it keeps a little more than the
// accumulation time instead of all of the stop's readings, which would hold
// the floor left behind for seconds after the stairs.
constexpr double kHistogramLeavingWindowSec = 2.5;

double StandingWindowSec(int algorithm, bool leaving, double stopAveragingSec) {
    if (leaving && algorithm == 109) return std::min(kHistogramLeavingWindowSec, stopAveragingSec);
    return stopAveragingSec;
}

bool UsesBeaconFloorDetection(int algorithm, int gpMode) {
    return algorithm == 114 || algorithm == 112 || (algorithm == 108 && gpMode == 122);
}

// Triangle weights from dense per-point weights: the sums of the corners,
// or 0 when a corner weighs 1e-6 or less.
void WeighTriangles(std::vector<NavTriangle>& triangles, const std::vector<double>& local,
                    const std::vector<double>& global) {
    const size_t n = std::min(local.size(), global.size());
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

double MeanRssi(const std::vector<AccessPoint>& v) {
    double sum = 0.0;
    for (const AccessPoint& ap : v) sum += ap.getRssi();
    return sum / static_cast<double>(v.size());
}

double RawDistance(const AccessPoint& ap) {
    if (ap.getType() == 2) return ap.getDistance();
    // The distance field is meaningful for beacons only; reading it through
    // the getter on another type would log a warning per reading.
    AccessPoint copy = ap;
    copy.setType(2);
    return copy.getDistance();
}

// The floor whose beacons sound loudest among `heard` readings: the mean level
// of each floor's own, a little lowered for floors heard by many beacons (the
// beacon floor detector's score). -1 when no floor has a reading.
int LoudestFloor(const double* sum, const int* count, size_t nFloors, int heard) {
    int best = -1;
    double bestScore = 0.0;
    for (size_t f = 0; f < nFloors; ++f) {
        if (count[f] == 0) continue;
        const double score = sum[f] / count[f] / (1.0 + 0.1 * count[f] / heard);
        if (best < 0 || score > bestScore) {
            best = static_cast<int>(f);
            bestScore = score;
        }
    }
    return best;
}

}  // namespace

// --- helpers over readings -------------------------------------------------------

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

// --- construction -------------------------------------------------------------------

Navigation::Navigation() = default;

Navigation::Navigation(NavigationMap* map) {
    if (map != nullptr) {
        NavigationMap::operator=(*map);
        mAlgorithm = Settings(*map).Use_algorithm;
    }
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
}

// --- map preparation --------------------------------------------------------------

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
    return result;
}

int Navigation::initializeGp() {
    if (mAlgorithm == 108) mGp.initialize(*this);
    return 0;
}

int Navigation::initializeHistogram() {
    if (mAlgorithm == 109) mHistogram.initialize(*this);
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
            for (const FlatEntry& e : ff.entries) {
                const double d = e.rssi - weakest;
                ff.missingSum[static_cast<size_t>(e.point)] += std::fabs(d);
                ff.missingSq[static_cast<size_t>(e.point)] += MissingTerm(d);
                ++ff.surveyedCount[static_cast<size_t>(e.point)];
            }
        }
        ff.pointSpacing = MedianPointSpacing(floor);
        for (const std::string& key : FloorKeys(floor)) {
            auto it = ff.keyIndex.find(key);
            ff.knownKeys.emplace(key, it == ff.keyIndex.end() ? -1 : it->second);
        }
    }
}

bool Navigation::freshReadingsLeaveTheFloor(double newest) const {
    if (mCurSublocInd < 0 || static_cast<size_t>(mCurSublocInd) >= mFlatFloors.size()) {
        return false;
    }
    const int nFloors = static_cast<int>(mFlatFloors.size());
    if (nFloors < 2) return false;
    // Mean level of each floor's own beacons among the fresh readings, as
    // the beacon floor detector scores them.
    double sum[8] = {0.0};
    int count[8] = {0};
    std::vector<double> sums;
    std::vector<int> counts;
    double* fs = sum;
    int* fc = count;
    if (nFloors > 8) {
        sums.assign(static_cast<size_t>(nFloors), 0.0);
        counts.assign(static_cast<size_t>(nFloors), 0);
        fs = sums.data();
        fc = counts.data();
    }
    int heard = 0;
    auto add = [&](const AccessPoint& ap) {
        if (ap.getType() != 2 || newest - ap.getTime() > mAccumulationTime) return;
        auto it = mBeaconFloor.find(ap.getBssid());
        if (it == mBeaconFloor.end()) return;
        fs[it->second] += ap.getRssi();
        ++fc[it->second];
        ++heard;
    };
    for (const AccessPoint& ap : mSigWindow) add(ap);
    for (const AccessPoint& ap : mSigNew) add(ap);
    if (heard == 0) return false;
    const int best = LoudestFloor(fs, fc, static_cast<size_t>(nFloors), heard);
    return best >= 0 && best != mCurSublocInd;
}

// --- setters and getters -------------------------------------------------------------

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

// --- signal accumulation ---------------------------------------------------------------

int Navigation::updateSignals(std::vector<AccessPoint>& meas, SensorTime& time) {
    mCurTime = time;
    if (meas.empty()) return -1;
    std::stable_sort(meas.begin(), meas.end(), [](const AccessPoint& a, const AccessPoint& b) {
        return a.getTimeStamp() < b.getTimeStamp();
    });
    const CommonNavProperties& s = Settings(*this);
    if (s.Clear_unknown_beacons) filterUnknownMeasurements(meas, mBeaconIds);
    if (!mAutoClearingOldMeas) {
        MV_LOG(11,
               "Make sure you don't need automatic removal of old measurements\nuse "
               "setAutoClearingOldMeas method for that\n");
    }
    if (mWindowShiftTime > mAccumulationTime) {
        mWindowShiftTime = mAccumulationTime;
        MV_LOG(11,
               "WARNING: mWindowShiftTime >= mAccumulationTime Make sure you specified it "
               "correctly\nWe set mWindowShiftTime = mAccumulationTime\n");
    }
    const bool useSigma = s.sigmaFilter.Use_sigma_filter;
    if (useSigma) {
        const double now = mCurTime.getTimeInSeconds();
        for (auto it = mSigmaFilters.begin(); it != mSigmaFilters.end();) {
            const double last = it->second.getLastMeasTime();
            // The subtraction of a later time falls back to the earlier value,
            // so a filter stamped after the message counts as idle too.
            const double idle = last <= now ? now - last : now;
            if (last > now) {
                MV_LOG(11,
                       "ERROR: Other time is more than current. Can't subtract correctly. You "
                       "should subtract less time!\n");
            }
            if (idle > 15.0 || it->second.inputTimeLabel.empty()) {
                it = mSigmaFilters.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::vector<AccessPoint> accepted;
    for (const AccessPoint& ap : meas) {
        const double rssi = ap.getRssi();
        if (!(rssi < 0.0 && rssi > static_cast<double>(mCutoffRss))) continue;
        const double t = ap.getTime();
        // A reading without a usable time cannot be placed in any window.
        if (!std::isfinite(t) || t < 0.0 || t >= 4294967295.0) continue;
        if (useSigma) {
            auto it = mSigmaFilters.find(ap.getBssid());
            if (it == mSigmaFilters.end()) {
                SigmaFilter<double> f;
                f.setWindowTimeSize(SensorTime(3u, 500u));
                f.minBordersTimeDif = SensorTime(0u, 200u);
                f.minVariance = 7.0;
                it = mSigmaFilters.emplace(ap.getBssid(), f).first;
            }
            bool rejected = false;
            it->second.addToInput(rssi, SensorTime(t), rejected);
            if (rejected) continue;
        }
        const int type = ap.getType();
        if (type == 2) {
            if (s.Use_Signals != 101 && s.Use_Signals != 103) continue;
        } else if (type == 0) {
            if (s.Use_Signals != 101 && s.Use_Signals != 102) continue;
        } else {
            continue;
        }
        accepted.push_back(ap);
    }
    if (!accepted.empty() && !(lastMeasTime == SensorTime())) {
        const auto late = [this](const SensorTime& t) {
            return t < lastMeasTime && (lastMeasTime - t).getTimeInSeconds() > kClockJumpSeconds;
        };
        if (late(mCurTime)) {
            // The current time itself lies far before the newest reading: the
            // clock went back. The window would never move again and its
            // readings would never age out, so it starts over from this batch.
            MV_LOG(11, "WARNING: time went back by %lf s; the signal window starts again\n",
                   (lastMeasTime - mCurTime).getTimeInSeconds());
            mSigWindow.clear();
            mSigNew.clear();
            lastMeasTime = SensorTime();
            mSigTimeStart = SensorTime();
        } else {
            // A single reading stamped long before the others is dropped; the
            // window it would have wiped stays.
            const size_t before = accepted.size();
            accepted.erase(std::remove_if(accepted.begin(), accepted.end(),
                                          [&](const AccessPoint& ap) {
                                              return late(ap.getTimeStamp());
                                          }),
                           accepted.end());
            if (accepted.size() != before) {
                MV_LOG(11, "WARNING: %d readings more than %lf s late dropped\n",
                       static_cast<int>(before - accepted.size()), kClockJumpSeconds);
            }
        }
    }
    if (mCurSublocInd < 0 && mIsStop && behaviour().poolsReadingsWhileStanding() && !floorByBeacons())
        poolStandingReadings(accepted);
    mSigNew.insert(mSigNew.end(), accepted.begin(), accepted.end());

    if (!mSigNew.empty()) {
        SensorTime earliest = mSigNew.front().getTimeStamp();
        for (const AccessPoint& ap : mSigNew) {
            const SensorTime& ts = ap.getTimeStamp();
            if (ts < earliest) earliest = ts;
            if (lastMeasTime < ts) lastMeasTime = ts;
        }
        if (mSigTimeStart == SensorTime() && mSigWindow.empty()) mSigTimeStart = earliest;
    } else if (mSigTimeStart == SensorTime()) {
        return 0;
    }
    if (mCurTime < mSigTimeStart) {
        MV_LOG(11,
               "ERROR: Other time is more than current. Can't subtract correctly. You should "
               "subtract less time!\n");
    }
    const double d = (lastMeasTime - mSigTimeStart).getTimeInSeconds();
    if (d < mWindowShiftTime) return 0;
    MV_LOG(11, "lastMeasTime - mSigTimeStar = %lf\n", d);

    if (mAutoClearingOldMeas) {
        const double last = lastMeasTime.getTimeInSeconds();
        // Standing keeps older readings for a steadier fix, but not once the
        // fresh ones speak for another floor: on stairs the gait often goes
        // unnoticed, and the floor left behind would hold for seconds.
        const bool trims = behaviour().trimsStandingWindowOnLeavingFloor();
        const bool leaving = mIsStop && trims && freshReadingsLeaveTheFloor(last);
        const bool keepOld = mIsStop && (!trims || mAlgorithm == 109 || !leaving);
        const double keptAge = StandingWindowSec(mAlgorithm, leaving, s.Stop_averaging_time);
        size_t size = mSigWindow.size();
        size_t out = 0;
        for (size_t i = 0; i < mSigWindow.size(); ++i) {
            const double age = last - mSigWindow[i].getTime();
            bool remove = false;
            if (age > mAccumulationTime) {
                remove = !keepOld || age > keptAge || size >= 500;
            }
            if (remove) {
                --size;
                continue;
            }
            if (out != i) mSigWindow[out] = std::move(mSigWindow[i]);
            ++out;
        }
        mSigWindow.resize(out);
    }
    MV_LOG(13, "new RSSI measurements:\n");
    if (_Logger.enabled(13, __FILE__)) {
        for (const AccessPoint& ap : mSigNew) {
            MV_LOG(13, "%s: RSSI = %lf\n", ap.getBssid().c_str(), ap.getRssi());
        }
    }
    setOutputSignals(mCurTime);
    setNavigationSignals();
    return 0;
}

void Navigation::filterUnknownMeasurements(std::vector<AccessPoint>& meas,
                                           const std::vector<std::string>& ids) {
    if (meas.empty()) {
        MV_LOG(11, "Measurements vector is empty\n");
        return;
    }
    if (ids.empty()) {
        MV_LOG(11, "ERROR: Can't filter measurements. There is no APs at this floor\n");
        return;
    }
    const bool sorted = std::is_sorted(ids.begin(), ids.end());
    auto known = [&](const std::string& key) {
        if (sorted) return std::binary_search(ids.begin(), ids.end(), key);
        return std::find(ids.begin(), ids.end(), key) != ids.end();
    };
    meas.erase(std::remove_if(meas.begin(), meas.end(),
                              [&](const AccessPoint& ap) { return !known(ap.getBssid()); }),
               meas.end());
}

void Navigation::setOutputSignals(SensorTime time) {
    mSigOutput.clear();
    const double from = time.getTimeInSeconds() - mWindowShiftTime;
    for (const AccessPoint& ap : mSigNew) {
        if (ap.getTime() > from) mSigOutput.push_back(ap);
    }
}

void Navigation::setNavigationSignals() {
    if (mSigNew.empty()) return;
    mSigWindow.insert(mSigWindow.end(), mSigNew.begin(), mSigNew.end());
    mSigNew.clear();
    mSigTimeStart = lastMeasTime;
    mIsGoodSignals = true;
    mSigNavigation = mSigWindow;
    averageDuplicateMeasurements(mSigNavigation);
    if (Settings(*this).Use_closest_aps) findClosestAccessPoints(mSigNavigation);
}

int Navigation::averageDuplicateMeasurements(std::vector<AccessPoint>& v) {
    std::stable_sort(v.begin(), v.end());
    size_t out = 0;
    for (size_t i = 0; i < v.size();) {
        size_t j = i + 1;
        // The sums of sumAccessPoint, in the same order, without copying
        // the readings.
        double rssi = v[i].getRssi();
        double distance = RawDistance(v[i]);
        while (j < v.size() && v[j] == v[i]) {
            rssi += v[j].getRssi();
            distance += RawDistance(v[j]);
            ++j;
        }
        const double n = static_cast<double>(j - i);
        if (out != i) v[out] = std::move(v[i]);
        v[out].setRssi(rssi / n);
        v[out].setDistance(distance / n);
        ++out;
        i = j;
    }
    v.resize(out);
    return 0;
}

void Navigation::findClosestAccessPoints(std::vector<AccessPoint>& v) {
    const int n = Settings(*this).N_closest_aps;
    if (n <= 0 || static_cast<size_t>(n) >= v.size()) return;
    // Stable, so equal readings keep their order as an exchange sort would.
    std::stable_sort(v.begin(), v.end(), [](const AccessPoint& a, const AccessPoint& b) {
        return a.getRssi() > b.getRssi();
    });
    v.resize(static_cast<size_t>(n));
}

void Navigation::clearMeasurements() { mSigWindow.clear(); }

void Navigation::setIsStop(bool stop) {
    if (stop != mIsStop) setNavigationSignals();
    mIsStop = stop;
}

// --- weights -------------------------------------------------------------------------------

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
            r = updateRpWeightsKnn(st.id, mSigNavigation);
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
    for (SublocationState& st : mSublocStates) WeighTriangles(st.triangles, st.weights, st.globalWeights);
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
    std::vector<AccessPoint>& m = mScanBuf;
    const int fi = floorIndexOfState(sublocId);
    bool found = false;
    SublocationState* st = getSublocationStateById(sublocId, found);
    if (fi < 0 || !found || static_cast<size_t>(fi) >= mFlatFloors.size()) {
        MV_LOG(11, "ERROR Bad sublocation index = %d\n", fi);
        return -1;
    }
    if (meas.size() <= 2) MV_LOG(13, "Warning: MEasurements vector size = %d\n", (int)meas.size());
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    selectFloorReadings(fi, meas);
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    if (sel.empty() || static_cast<int>(sel.size()) < knn.Min_nvisible_aps) {
        st->clear();
        MV_LOG(11, "ERROR: %d visible beacons. Minimum %d visible beacons is required. \n",
               (int)sel.size(), knn.Min_nvisible_aps);
        return 0;
    }
    std::vector<double>& w = mKnn.readingWeight;
    w.assign(sel.size(), 1.0);
    if (knn.Use_ap_weights) {
        m.clear();
        for (const AccessPoint* ap : sel) m.push_back(*ap);
        calculateApTrustworthiness(m, w);
    }

    const size_t nP = static_cast<size_t>(ff.nPoints);
    // Per-window sums in buffers kept between windows.
    std::vector<double>& dsum = mKnn.dsum;
    std::vector<double>& psum = mKnn.psum;
    std::vector<int>& count = mKnn.count;
    dsum.assign(nP, 0.0);
    psum.assign(nP, 0.0);
    count.assign(nP, 0);
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    if (knn.Differention_mode) {
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
                    psum[p] += w[i] * w[j];
                    const double t = std::fabs((e.rssi - rj) - (xi - xj)) * w[i] * w[j];
                    dsum[p] += t == 0.0 ? 1e-6 : t;
                    ++count[p];
                }
            }
        }
    } else if (behaviour().weighsMissingTransmitters() && !knn.Use_ap_weights) {
        st->weightSum = weighSelectedWithMissing(ff, meas);
        for (NavTriangle& t : st->triangles) {
            t.wLocal = 0.0;
            t.wGlobal = 0.0;
        }
        st->weights.assign(mKnn.result.begin(), mKnn.result.end());
        st->globalWeights.assign(mKnn.result.begin(), mKnn.result.end());
        st->visibleCounts.assign(count.begin(), count.end());
        return 0;
    } else {
        for (size_t i = 0; i < sel.size(); ++i) {
            if (rows[i] < 0) continue;
            const double xi = sel[i]->getRssi();
            const double wi = w[i];
            for (int r = rowStart[rows[i]]; r < rowStart[rows[i] + 1]; ++r) {
                const FlatEntry& e = entries[r];
                const size_t p = static_cast<size_t>(e.point);
                psum[p] += wi;
                const double t = std::fabs(e.rssi - xi) * wi;
                dsum[p] += t == 0.0 ? 1e-6 : t;
                ++count[p];
            }
        }
    }

    const int k = std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps);
    // Final weight of every point from its summed mismatch D and term count c.
    std::vector<double>& result = mKnn.result;
    result.assign(nP, 0.0);
    double weightSum = 0.0;
    for (size_t q = 0; q < nP; ++q) {
        const double d = dsum[q];
        if (d == 0.0) continue;
        const int c = count[q];
        double r;
        if (c < k) {
            r = 0.0;
        } else if (c == 0) {
            MV_LOG(11, "ERROR: nVisible APs == 0! something wrong\n");
            r = d;
        } else {
            double dd = d;
            if (knn.Use_ap_weights && psum[q] > 0.0) dd = d / psum[q];
            r = static_cast<double>(c) / std::sqrt(dd);
        }
        if (!std::isfinite(r) || r < 0.0) r = 0.0;
        result[q] = r;
        weightSum += r;
    }
    for (NavTriangle& t : st->triangles) {
        t.wLocal = 0.0;
        t.wGlobal = 0.0;
    }
    st->weightSum = weightSum;
    st->weights.assign(result.begin(), result.end());
    st->globalWeights.assign(result.begin(), result.end());
    st->visibleCounts.assign(count.begin(), count.end());
    return 0;
}

void Navigation::selectFloorReadings(int fi, const std::vector<AccessPoint>& meas) {
    const SublocationMap& floor = Floor(*this, fi);
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    // The readings of the floor's transmitters, as filterUnknownMeasurements
    // keeps them (an empty key list keeps every reading), found by one hash
    // lookup each, with their rows.
    std::vector<const AccessPoint*>& sel = mKnn.selected;
    std::vector<int>& rows = mKnn.rows;
    sel.clear();
    rows.clear();
    if (meas.empty()) {
        MV_LOG(11, "Measurements vector is empty\n");
    } else if (FloorKeys(floor).empty()) {
        MV_LOG(11, "ERROR: Can't filter measurements. There is no APs at this floor\n");
        for (const AccessPoint& ap : meas) {
            sel.push_back(&ap);
            rows.push_back(-1);
        }
    } else {
        for (const AccessPoint& ap : meas) {
            auto it = ff.knownKeys.find(ap.getBssid());
            if (it == ff.knownKeys.end()) continue;
            sel.push_back(&ap);
            rows.push_back(it->second);
        }
    }
}

double Navigation::weighSelectedWithMissing(const FlatFloor& ff, const std::vector<AccessPoint>& meas, int minMatched) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    // Readings of transmitters this floor does not know speak against
    // every point of it alike.
    int nOther = static_cast<int>(meas.size() - sel.size());
    double otherMissing = 0.0;
    if (nOther > 0) {
        for (const AccessPoint& ap : meas) {
            if (ff.knownKeys.count(ap.getBssid()) == 0) {
                otherMissing += std::fabs(ap.getRssi() - ff.missingRssi);
            }
        }
    }
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

bool Navigation::histogramFloorInDoubt() const {
    const size_t n = mSublocStates.size();
    if (n < 2) return false;
    if (mCurSublocInd < 0 || static_cast<size_t>(mCurSublocInd) >= n) return true;
    const double mine = weightShare(static_cast<size_t>(mCurSublocInd));
    double other = 0.0;
    for (size_t s = 0; s < n; ++s) {
        if (static_cast<int>(s) != mCurSublocInd) other = std::max(other, weightShare(s));
    }
    return !(mine > 0.0 && mine >= kClearHistogramShareRatio * other);
}

void Navigation::levelFloorShares() {
    // The readings of the last accumulation time only: a standing walker's
    // window keeps older ones for a steadier histogram fix, but on stairs and
    // in lifts they hold the floor left behind.
    std::vector<AccessPoint>& fresh = mKnn.freshReadings;
    const double newest = lastMeasTime.getTimeInSeconds();
    size_t kept = 0;
    for (const AccessPoint& ap : mSigWindow) {
        if (newest - ap.getTime() > mAccumulationTime) continue;
        // Assigned over the last window's readings, whose keys' storage it reuses.
        if (kept < fresh.size()) {
            fresh[kept] = ap;
        } else {
            fresh.push_back(ap);
        }
        ++kept;
    }
    fresh.resize(kept);
    averageDuplicateMeasurements(fresh);
    if (Settings(*this).Use_closest_aps) findClosestAccessPoints(fresh);
    levelSharesOf(fresh);
}

void Navigation::levelSharesOf(const std::vector<AccessPoint>& readings, bool pooled) {
    mLevelFloorShares.clear();
    const size_t n = mSublocStates.size();
    if (n < 2 || mFlatFloors.size() < n) return;
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    std::vector<double>& sums = mKnn.floorSums;
    sums.assign(n, 0.0);
    double total = 0.0;
    for (size_t fi = 0; fi < n; ++fi) {
        const FlatFloor& ff = mFlatFloors[fi];
        selectFloorReadings(static_cast<int>(fi), readings);
        if (mKnn.selected.empty() || static_cast<int>(mKnn.selected.size()) < knn.Min_nvisible_aps) continue;
        const size_t nP = static_cast<size_t>(ff.nPoints);
        mKnn.dsum.assign(nP, 0.0);
        mKnn.count.assign(nP, 0);
        // Readings pooled over a stop are means of many: a point's mismatch
        // to them tells more than to one window's, so their weights count
        // squared. And every point that surveyed any of them is weighed,
        // not only those surveying the archive's minimum of them (which is
        // for the fix): where a walker stands hearing few beacons, the spot's
        // own survey often lists no more than it hears.
        sums[fi] = weighSelectedWithMissing(ff, readings, pooled ? 1 : 0);
        if (pooled) {
            sums[fi] = 0.0;
            for (double w : mKnn.result) sums[fi] += w * w;
        }
        total += sums[fi];
    }
    if (!(total > 0.0) || !std::isfinite(total)) return;
    for (size_t fi = 0; fi < n; ++fi) mLevelFloorShares.push_back(sums[fi] / total);
}

double Navigation::weightShare(size_t s) const {
    double share = 0.0;
    for (double w : mSublocStates[s].globalWeights) share += std::isfinite(w) && w > 0.0 ? w : 0.0;
    return share;
}

double Navigation::floorShare(size_t s) const {
    if (!mLevelFloorShares.empty()) return s < mLevelFloorShares.size() ? mLevelFloorShares[s] : 0.0;
    return weightShare(s);
}

void Navigation::heaviestTriangleOn(int d) {
    mHeaviestTriangle.clear();
    if (d < 0 || static_cast<size_t>(d) >= mSublocStates.size()) return;
    for (const NavTriangle& t : mSublocStates[static_cast<size_t>(d)].triangles) {
        if (t.wGlobal > 0.0 && t.wGlobal > mHeaviestTriangle.wGlobal) mHeaviestTriangle = t;
    }
}

void Navigation::knnWeightsWithMissing(const FlatFloor& ff, int nHeardOther, double heardOtherMissing, int minMatched) {
    const std::vector<const AccessPoint*>& sel = mKnn.selected;
    const std::vector<int>& rows = mKnn.rows;
    const size_t nP = static_cast<size_t>(ff.nPoints);
    std::vector<double>& dsum = mKnn.dsum;
    std::vector<int>& count = mKnn.count;
    std::vector<double>& matched = mKnn.matchedMissing;
    std::vector<double>& heardAt = mKnn.heardMissing;
    matched.assign(nP, 0.0);
    heardAt.assign(nP, 0.0);
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
        for (int r = rowStart[rows[i]]; r < rowStart[rows[i] + 1]; ++r) {
            const FlatEntry& e = entries[r];
            const size_t p = static_cast<size_t>(e.point);
            dsum[p] += std::fabs(e.rssi - xi);
            matched[p] += std::fabs(e.rssi - level);
            heardAt[p] += xm;
            ++count[p];
        }
    }
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    const int k = minMatched > 0 ? minMatched : std::max(1, std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps));
    std::vector<double>& result = mKnn.result;
    result.assign(nP, 0.0);
    for (size_t q = 0; q < nP; ++q) {
        if (count[q] < k) continue;
        // Surveyed here but not heard now, and heard now but not surveyed
        // here, each against the "not heard" level.
        const double notHeard = std::max(0.0, ff.missingSum[q] - matched[q]);
        const double notSurveyed = std::max(0.0, heardAll - heardAt[q]);
        const int terms = ff.surveyedCount[q] + nHeard - count[q];
        if (terms <= 0) continue;
        const double mean = (dsum[q] + notHeard + notSurveyed) / static_cast<double>(terms);
        // Squared, so that the best-matching points stand out of the many
        // middling ones; a floor of 0.5 dB keeps a perfect match finite.
        const double m = std::max(mean, 0.5);
        const double r = 1.0 / (m * m);
        result[q] = std::isfinite(r) ? r : 0.0;
    }
}

void Navigation::rmsFixWeights(int fi, std::vector<double>& weights) {
    weights.clear();
    if (fi < 0 || static_cast<size_t>(fi) >= mFlatFloors.size()) return;
    const FlatFloor& ff = mFlatFloors[static_cast<size_t>(fi)];
    const size_t nP = static_cast<size_t>(ff.nPoints);
    std::vector<double>& dsq = mKnn.dsq;
    std::vector<double>& matched = mKnn.matchedMissingSq;
    std::vector<int>& count = mKnn.count;
    dsq.assign(nP, 0.0);
    matched.assign(nP, 0.0);
    count.assign(nP, 0);
    const FlatEntry* entries = ff.entries.data();
    const int* rowStart = ff.rowStart.data();
    const double level = ff.missingRssi;
    // Every heard transmitter adds its term against the "not heard" level
    // to every point; the points that have it take it back below, so that
    // this sum is the "heard, not surveyed here" part of each point.
    double heardAll = 0.0;
    int nHeard = 0;
    for (const AccessPoint& ap : mSigNavigation) {
        auto it = ff.knownKeys.find(ap.getBssid());
        if (it == ff.knownKeys.end() || it->second < 0) {
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
        for (int r = rowStart[it->second]; r < rowStart[it->second + 1]; ++r) {
            const FlatEntry& e = entries[r];
            const size_t p = static_cast<size_t>(e.point);
            const double d = e.rssi - xi;
            dsq[p] += d * d - xm;
            matched[p] += MissingTerm(e.rssi - level);
            ++count[p];
        }
    }
    const CommonNavProperties::Knn& knn = Settings(*this).knn;
    const int k = std::max(1, std::min(knn.Min_rpvis_aps, knn.Min_nvisible_aps));
    weights.assign(nP, 0.0);
    for (size_t q = 0; q < nP; ++q) {
        if (count[q] < k) continue;
        const int terms = ff.surveyedCount[q] + nHeard - count[q];
        if (terms <= 0) continue;
        // Squared differences of the transmitters heard on both sides; each
        // heard on one side only counts by MissingTerm. Where every
        // transmitter is heard, one far off its surveyed level speaks more
        // against a point than several a little off.
        const double notHeard = std::max(0.0, ff.missingSq[q] - matched[q]);
        const double total = std::max(0.0, dsq[q] + heardAll + notHeard);
        const double rms = std::sqrt(total / static_cast<double>(terms));
        const double m = std::max(rms, 0.5);
        const double r = 1.0 / (m * m);
        weights[q] = std::isfinite(r) ? r : 0.0;
    }
}

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
    for (const AccessPoint& ap : mSigNavigation) {
        auto it = ff.knownKeys.find(ap.getBssid());
        if (it == ff.knownKeys.end() || it->second < 0) continue;
        const double x = ap.getRssi() - mLevelOffset;
        if (x < ff.missingRssi + kAboveMissingDb) continue;
        double sum = 0.0;
        int n = 0;
        for (int r = ff.rowStart[it->second]; r < ff.rowStart[it->second + 1]; ++r) {
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
    WeighTriangles(st->triangles, st->weights, st->globalWeights);
}

// --- floor detection ------------------------------------------------------------------------

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

int Navigation::detectSublocation() {
    if (!mIsGoodSignals) return 0;
    if (mAlgorithm == 108 && mGp.getMode() == 122) return detectSublocIdWithHistory();
    if (mAlgorithm != 114) {
        const int r = updateSublocationWeights();
        if (r != 0) {
            if (r == -1) countFloorOfThinWindow();
            return r;
        }
    }
    return detectSublocIdWithHistory();
}

int Navigation::detectSublocIdWithHistory() {
    int d = 0;
    int r;
    const bool byBle = floorByBeacons();
    r = byBle ? detectSublocIndexByBle(d) : determineCurSublocation(d);
    if (r != 0) return r;
    // While the walker still stands, the window itself holds the stop's
    // readings.
    if (mCurSublocInd < 0 && !mStandingPool.empty() && !mIsStop) standingFloorShares();
    if (behaviour().choosesFloorByLargestShare() && !byBle) {
        const int heaviest = d;
        d = floorOfLargestShare(d);
        // The fix in the heaviest triangle reads its corners on the floor
        // decided, so the triangle must lie on it.
        if (d != heaviest) heaviestTriangleOn(d);
    }
    mDetectedSublocInd = d;
    if (mCurSublocInd == -1) {
        const double now = mCurTime.getTimeInSeconds();
        if (behaviour().waitsForClearFirstFloor() && !byBle && !startFloorIsClear(d)) {
            if (mStartWaitSince < 0.0 || now < mStartWaitSince) mStartWaitSince = now;
            if (now - mStartWaitSince < kMaxStartWaitSec) return -1;
        }
        mStartWaitSince = -1.0;
        mPrevSublocInd = -1;
        mCurSublocInd = d;
        mStandingPool.clear();
        return 0;
    }
    const auto decisive = [&] {
        const double share = floorShare(static_cast<size_t>(d));
        return share > 0.0 && share >= kDecisiveShareRatio * floorShare(static_cast<size_t>(mCurSublocInd));
    };
    if (behaviour().switchesFloorSoonerWhileStanding() && !byBle && mIsStop && d != mCurSublocInd &&
        static_cast<size_t>(mCurSublocInd) < mSublocStates.size() && decisive()) {
        countFloorDetection(d);
        // A third agreeing count has switched already; a second call would
        // count the new floor's window against itself.
        if (mCurSublocInd == d) return 0;
    }
    countFloorDetection(d);
    return 0;
}

void Navigation::countFloorDetection(int d) {
    if (mSublocHistory.empty()) {
        if (d != mCurSublocInd) mSublocHistory.push_back(d);
        return;
    }
    if (d == mCurSublocInd || d != mSublocHistory.back()) {
        mSublocHistory.clear();
    } else {
        mSublocHistory.push_back(d);
    }
    // Floors change on stairs and in lifts, where the pedometer counts no
    // level steps: there the kit switches on three agreeing windows (its
    // window is no longer stretched while standing, so they hold fresh
    // evidence). While level steps are counted a switch still needs four,
    // which keeps a noisy floor estimate from flapping.
    const size_t needed = !behaviour().switchesFloorSoonerWhileStanding() || !mIsStop ? 4 : kStandingFloorSwitchWindows;
    if (mSublocHistory.size() >= needed) {
        mPrevSublocInd = mCurSublocInd;
        mCurSublocInd = mSublocHistory.back();
        mSublocHistory.clear();
    }
}

int Navigation::floorOfLargestShare(int heaviest) const {
    int best = -1;
    double bestShare = 0.0;
    for (size_t s = 0; s < mSublocStates.size(); ++s) {
        const double share = floorShare(s);
        if (share > bestShare) {
            best = static_cast<int>(s);
            bestShare = share;
        }
    }
    if (best < 0) return heaviest;
    // Two floors the histogram weights barely tell apart: the one whose own
    // beacons are heard loudest decides. Nearest-neighbour weights (of the
    // method, or taken for a histogram window in doubt) fall off slowly with
    // the match and spread over the floors, so near ties are common for them
    // and the beacons would overrule the radio map.
    const int loud = mAlgorithm == 109 && mLevelFloorShares.empty() ? loudestFloorHeard() : -1;
    if (loud >= 0 && loud != best && static_cast<size_t>(loud) < mSublocStates.size() &&
        kShareTieRatio * floorShare(static_cast<size_t>(loud)) >= bestShare) {
        best = loud;
        bestShare = floorShare(static_cast<size_t>(loud));
    }
    // While level steps are counted the walker is seldom changing floors: a
    // share only a little above the current floor's is noise.
    if (mIsStop || mCurSublocInd < 0 || best == mCurSublocInd ||
        static_cast<size_t>(mCurSublocInd) >= mSublocStates.size()) {
        return best;
    }
    return bestShare >= kWalkingShareMargin * floorShare(static_cast<size_t>(mCurSublocInd)) ? best : mCurSublocInd;
}

int Navigation::loudestFloorHeard() const {
    const size_t nFloors = mFlatFloors.size();
    std::vector<double> sum(nFloors, 0.0);
    std::vector<int> count(nFloors, 0);
    int heard = 0;
    for (const AccessPoint& ap : mSigNavigation) {
        if (ap.getType() != 2) continue;
        auto it = mBeaconFloor.find(ap.getBssid());
        if (it == mBeaconFloor.end() || static_cast<size_t>(it->second) >= nFloors) continue;
        sum[static_cast<size_t>(it->second)] += ap.getRssi();
        ++count[static_cast<size_t>(it->second)];
        ++heard;
    }
    return LoudestFloor(sum.data(), count.data(), nFloors, heard);
}

int Navigation::onlyFloorHeard() const {
    int floor = -1;
    for (const AccessPoint& ap : mSigNavigation) {
        if (ap.getType() != 2) continue;
        auto it = mBeaconFloor.find(ap.getBssid());
        if (it == mBeaconFloor.end()) continue;
        if (floor >= 0 && it->second != floor) return -1;
        floor = it->second;
    }
    return floor;
}

bool Navigation::floorByBeacons() const {
    return mAlgorithm == 114 || mAlgorithm == 112 || (mAlgorithm == 108 && mGp.getMode() == 122);
}

bool Navigation::countFloorOfThinWindow() {
    if (!behaviour().countsThinWindowForItsFloor() || mCurSublocInd < 0) return false;
    if (floorByBeacons()) return false;
    const int d = onlyFloorHeard();
    if (d < 0) return false;
    mDetectedSublocInd = d;
    countFloorDetection(d);
    return true;
}

void Navigation::addToPool(std::vector<PooledReading>& pool, const AccessPoint& ap) {
    auto it = std::find_if(pool.begin(), pool.end(),
                           [&](const PooledReading& p) { return p.reading.getBssid() == ap.getBssid(); });
    if (it == pool.end()) {
        pool.push_back(PooledReading{ap, 0.0, 0});
        it = pool.end() - 1;
    }
    it->sum += ap.getRssi();
    ++it->count;
}

void Navigation::poolStandingReadings(const std::vector<AccessPoint>& readings) {
    for (const AccessPoint& ap : readings) {
        // A stop long after the last one (the walker went on meanwhile, with
        // no floor decided) starts the pool again.
        const double t = ap.getTime();
        if (!mStandingPool.empty() &&
            (t - mStandingPoolEnd > kStandingPoolKeepSec || t < mStandingPoolEnd - kClockJumpSeconds)) {
            mStandingPool.clear();
            mStandingPoolEnd = -1.0;
        }
        addToPool(mStandingPool, ap);
        mStandingPoolEnd = std::max(mStandingPoolEnd, t);
    }
}

void Navigation::standingFloorShares() {
    const double now = mCurTime.getTimeInSeconds();
    if (now - mStandingPoolEnd > kStandingPoolKeepSec || now < mStandingPoolEnd - kClockJumpSeconds) {
        // The walker has gone on too long since the stop to be on its floor
        // for sure.
        mStandingPool.clear();
        mStandingPoolEnd = -1.0;
        return;
    }
    // Each transmitter's mean over the stop and the window's readings since.
    std::vector<PooledReading> merged = mStandingPool;
    for (const AccessPoint& ap : mSigWindow) {
        if (ap.getTime() > mStandingPoolEnd) addToPool(merged, ap);
    }
    std::vector<AccessPoint> readings;
    readings.reserve(merged.size());
    for (PooledReading& p : merged) {
        p.reading.setRssi(p.sum / p.count);
        readings.push_back(std::move(p.reading));
    }
    if (Settings(*this).Use_closest_aps) findClosestAccessPoints(readings);
    levelSharesOf(readings, true);
}

bool Navigation::startFloorIsClear(int d) const {
    if (d < 0 || static_cast<size_t>(d) >= mSublocStates.size()) return false;
    if (mSublocStates.size() == 1) return true;
    double total = 0.0, mine = 0.0, other = 0.0;
    for (size_t s = 0; s < mSublocStates.size(); ++s) {
        const double share = floorShare(s);
        total += share;
        if (static_cast<int>(s) == d) {
            mine = share;
        } else {
            other = std::max(other, share);
        }
    }
    return total > 0.0 && mine >= kStartFloorShare * total && mine > other;
}

int Navigation::determineCurSublocation(int& index) {
    mHeaviestTriangle.clear();
    if (mSublocStates.empty()) {
        MV_LOG(11, "ERROR: can't determine current sublocation\n");
        return -1;
    }
    for (size_t s = 0; s < mSublocStates.size(); ++s) {
        const NavTriangle* best = nullptr;
        double bestW = 0.0;
        for (const NavTriangle& t : mSublocStates[s].triangles) {
            if (t.wGlobal > 0.0 && t.wGlobal > bestW) {
                best = &t;
                bestW = t.wGlobal;
            }
        }
        if (best != nullptr && bestW > mHeaviestTriangle.wGlobal) {
            mHeaviestTriangle = *best;
            index = static_cast<int>(s);
        }
    }
    if (mHeaviestTriangle.wGlobal == 0.0) {
        MV_LOG(11, "ERROR: can't determine current sublocation\n");
        return -1;
    }
    return 0;
}

int Navigation::detectSublocIndexByBle(int& index) {
    const int nFloors = FloorCount(*this);
    if (nFloors == 0) {
        MV_LOG(11, "\nERROR: There is no any sublocations in the map!\n\n");
        return -1;
    }
    if (mSigNavigation.empty()) {
        MV_LOG(11, "ERROR: Can't detect floor. mSigNavigation is empty\n");
        return -1;
    }
    std::vector<AccessPoint> beacons;
    for (const AccessPoint& ap : mSigNavigation) {
        if (ap.getType() == 2) beacons.push_back(ap);
    }
    const double nB = static_cast<double>(beacons.size());
    double best = -1000.0;
    int bestIndex = -1;
    bool anyFound = false;
    const bool byCount = Settings(*this).Use_number_of_beacons;
    for (int i = 0; i < nFloors && !beacons.empty(); ++i) {
        const SublocationMap& floor = Floor(*this, i);
        std::vector<std::string> keys;
        for (const Beacon& b : FloorBeacons(floor)) keys.push_back(b.getId());
        if (keys.empty()) continue;
        std::vector<AccessPoint> m = beacons;
        filterUnknownMeasurements(m, keys);
        if (m.empty()) continue;
        anyFound = true;
        double score = MeanRssi(m);
        if (byCount) score = score / (1.0 + 0.1 * static_cast<double>(m.size()) / nB);
        if (score > best) {
            best = score;
            // The first floor carrying that id, as a lookup by id would give.
            bestIndex = floorIndexOfState(FloorId(floor));
            if (bestIndex < 0) bestIndex = i;
        }
    }
    if (!anyFound || bestIndex < 0) {
        MV_LOG(11,
               "ERROR: couldn't detect current sublocation id! There is no measurements "
               "corresponding to sublocation beacons\n");
        return -1;
    }
    index = bestIndex;
    return 0;
}

bool Navigation::isSublocChanged() {
    if (mCurSublocInd == mPrevSublocInd) return false;
    mPrevSublocInd = mCurSublocInd;
    return true;
}

// --- position --------------------------------------------------------------------------------

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
