// The navigation class's floor detection: the floor each window speaks for,
// by weights, level match or beacons, and the history that decides a switch.
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
// one-sided by chance. At ten times, a lift's first window on the new floor
// (0.80 against 0.20) still waited for two more, and the walker was named on
// the floor left behind for 3.4 s after arriving.
constexpr double kDecisiveShareRatio = 4.0;

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

double MeanRssi(const std::vector<AccessPoint>& v) {
    double sum = 0.0;
    for (const AccessPoint& ap : v) sum += ap.getRssi();
    return sum / static_cast<double>(v.size());
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
    int leading = -1;
    if (behaviour().choosesFloorByLargestShare() && !byBle) {
        const int heaviest = d;
        d = floorOfLargestShare(d, &leading);
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
    // A window whose largest share still names the floor counted so far, only
    // by less than the walking margin, is no evidence for staying: a short
    // window's shares often fall just under the margin, and clearing the count
    // there held the walker on the floor left behind for seconds. Nor, off the
    // level, is a window that leaves the two floors tied: in a lift one such
    // window (0.501 against 0.499) undid two agreeing ones.
    if (behaviour().holdsFloorCountThroughNarrowLeads() && d == mCurSublocInd && !mSublocHistory.empty()) {
        const int counted = mSublocHistory.back();
        const bool narrowLead = leading != d && leading == counted;
        const bool tied = mIsStop && static_cast<size_t>(counted) < mSublocStates.size() &&
                          floorShare(static_cast<size_t>(d)) <
                              kShareTieRatio * floorShare(static_cast<size_t>(counted));
        if (narrowLead || tied) return 0;
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

int Navigation::floorOfLargestShare(int heaviest, int* leading) const {
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
    if (leading != nullptr) *leading = best;
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
