// The navigation class's sliding window of radio readings: screening and
// accumulating each batch, duplicates, the strongest readings, and the
// readings pooled while the walker stands before the first floor.
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

// How far back a standing walker's readings reach. The histogram method
// compares the spread of the raw readings, which the kit's short window
// leaves too thin to tell floors apart where beacons are sparse; so once the
// fresh readings speak for another floor it keeps a little more than the
// accumulation time instead of all of the stop's readings, which would hold
// the floor left behind for seconds after the stairs.
constexpr double kHistogramLeavingWindowSec = 2.5;

// A window of the accumulation time that hears fewer beacons than this is
// stretched back to the window reach (the stored window length): with sparse
// beacons a second holds two or three readings of a handful of them, too few
// for a steady fix, while where beacons are dense the short window costs
// nothing and lags less. Any count from 6 to 10 parts the sparse venues
// (about 4 heard a second) from the dense ones (16 and more) alike.
constexpr long kFewestBeaconsInShortWindow = 8;

double StandingWindowSec(int algorithm, bool leaving, double stopAveragingSec) {
    if (leaving && algorithm == 109) return std::min(kHistogramLeavingWindowSec, stopAveragingSec);
    return stopAveragingSec;
}

}  // namespace

bool Navigation::thinWindow(double newest) const {
    if (!(mWindowReach > mAccumulationTime)) return false;
    std::vector<const std::string*> keys;
    auto add = [&](const AccessPoint& ap) {
        if (newest - ap.getTime() <= mAccumulationTime) keys.push_back(&ap.getBssid());
    };
    for (const AccessPoint& ap : mSigWindow) add(ap);
    for (const AccessPoint& ap : mSigNew) add(ap);
    std::sort(keys.begin(), keys.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
    const auto heard = std::unique(keys.begin(), keys.end(),
                                   [](const std::string* a, const std::string* b) { return *a == *b; }) -
                       keys.begin();
    return heard < kFewestBeaconsInShortWindow;
}

int Navigation::updateSignals(std::vector<AccessPoint>& meas, SensorTime& time) {
    mCurTime = time;
    if (meas.empty()) return -1;
    prepareBatch(meas);
    if (Settings(*this).sigmaFilter.Use_sigma_filter) dropIdleSigmaFilters();
    std::vector<AccessPoint> accepted = screenReadings(meas);
    dropLateReadings(accepted);
    if (mCurSublocInd < 0 && mIsStop && behaviour().poolsReadingsWhileStanding() && !floorByBeacons())
        poolStandingReadings(accepted);
    mSigNew.insert(mSigNew.end(), accepted.begin(), accepted.end());
    if (!windowMoveIsDue()) return 0;
    if (mAutoClearingOldMeas) dropAgedReadings();
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

void Navigation::prepareBatch(std::vector<AccessPoint>& meas) {
    std::stable_sort(meas.begin(), meas.end(), [](const AccessPoint& a, const AccessPoint& b) {
        return a.getTimeStamp() < b.getTimeStamp();
    });
    if (Settings(*this).Clear_unknown_beacons) filterUnknownMeasurements(meas, mBeaconIds);
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
}

void Navigation::dropIdleSigmaFilters() {
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

std::vector<AccessPoint> Navigation::screenReadings(const std::vector<AccessPoint>& meas) {
    const CommonNavProperties& s = Settings(*this);
    const bool useSigma = s.sigmaFilter.Use_sigma_filter;
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
    return accepted;
}

void Navigation::dropLateReadings(std::vector<AccessPoint>& accepted) {
    if (accepted.empty() || lastMeasTime == SensorTime()) return;
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
        return;
    }
    // A single reading stamped long before the others is dropped; the
    // window it would have wiped stays.
    const size_t before = accepted.size();
    accepted.erase(std::remove_if(accepted.begin(), accepted.end(),
                                  [&](const AccessPoint& ap) { return late(ap.getTimeStamp()); }),
                   accepted.end());
    if (accepted.size() != before) {
        MV_LOG(11, "WARNING: %d readings more than %lf s late dropped\n",
               static_cast<int>(before - accepted.size()), kClockJumpSeconds);
    }
}

bool Navigation::windowMoveIsDue() {
    if (!mSigNew.empty()) {
        SensorTime earliest = mSigNew.front().getTimeStamp();
        for (const AccessPoint& ap : mSigNew) {
            const SensorTime& ts = ap.getTimeStamp();
            if (ts < earliest) earliest = ts;
            if (lastMeasTime < ts) lastMeasTime = ts;
        }
        if (mSigTimeStart == SensorTime() && mSigWindow.empty()) mSigTimeStart = earliest;
    } else if (mSigTimeStart == SensorTime()) {
        return false;
    }
    if (mCurTime < mSigTimeStart) {
        MV_LOG(11,
               "ERROR: Other time is more than current. Can't subtract correctly. You should "
               "subtract less time!\n");
    }
    const double d = (lastMeasTime - mSigTimeStart).getTimeInSeconds();
    if (d < mWindowShiftTime) return false;
    MV_LOG(11, "lastMeasTime - mSigTimeStar = %lf\n", d);
    return true;
}

void Navigation::dropAgedReadings() {
    const double last = lastMeasTime.getTimeInSeconds();
    // Standing keeps older readings for a steadier fix, but not once the
    // fresh ones speak for another floor: on stairs the gait often goes
    // unnoticed, and the floor left behind would hold for seconds.
    const bool trims = behaviour().trimsStandingWindowOnLeavingFloor();
    const bool leaving = mIsStop && trims && freshReadingsLeaveTheFloor(last);
    const bool keepOld = mIsStop && (!trims || mAlgorithm == 109 || !leaving);
    const double keptAge = StandingWindowSec(mAlgorithm, leaving, Settings(*this).Stop_averaging_time);
    const double span = thinWindow(last) ? mWindowReach : mAccumulationTime;
    size_t size = mSigWindow.size();
    size_t out = 0;
    for (size_t i = 0; i < mSigWindow.size(); ++i) {
        const double age = last - mSigWindow[i].getTime();
        bool remove = false;
        if (age > span) {
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
    keyIdsOf(mSigNavigation, mNavKeyIds);
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
