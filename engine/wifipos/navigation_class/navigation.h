#ifndef MARVISTO_WIFIPOS_NAVIGATION_CLASS_NAVIGATION_H
#define MARVISTO_WIFIPOS_NAVIGATION_CLASS_NAVIGATION_H

// The signal side of a navigation client: its own copy of the loaded map with
// the unusable floors removed, the sliding window of radio readings, the
// per-floor reference-point weights and triangles, the current floor with its
// switch history, and the position computed from the signals.
//
// A Navigation has no thread and no lock of its own; its caller (the
// navigation client) holds the client's mutex around every call.

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "wifipos/gaussian_processes/gp_methods.h"
#include "wifipos/histogramm/histogramm.h"
#include "wifipos/navigation_class/sigma_filter.h"
#include "wifipos/navigation_class/solution_info.h"
#include "wifipos/navigation_class/sublocation_state.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/sensor_value.h"

// Map error codes: why no floor of the map is usable.
constexpr int NAV_MAP_ERROR_NO_FLOORS = 30;
constexpr int NAV_MAP_ERROR_NO_BEACONS = 8;
constexpr int NAV_MAP_ERROR_FEW_POINTS = 7;

class Navigation : public NavigationMap {
public:
    // Without a map yet, running the given behaviour; specifyNavigationMap
    // then takes the map's, with the rest of its copy.
    explicit Navigation(const EngineBehaviour& behaviour);
    // Over a copy of the map (never null), running its behaviour and method.
    explicit Navigation(NavigationMap* map);
    Navigation(const Navigation& other) = default;
    Navigation& operator=(const Navigation& other) = default;
    ~Navigation() = default;

    // --- map preparation --------------------------------------------------
    // Copies map, removes unusable floors, builds the per-floor state and the
    // triangles. 0, or the code of checkMapCorrectness.
    int specifyNavigationMap(const NavigationMap& map);
    // Removes floors that cannot be used; 0 when one is left, else the map
    // error code (-1 for a map without floors).
    int checkMapCorrectness();
    // Builds every floor's triangle list. A floor whose points do not span a
    // plane gets no triangles; the other floors are still built. 0, or 6 when
    // some floor got no triangles.
    int triangulate();
    int getMapErrorCode() const { return mMapErrorCode; }
    int initializeGp();
    int initializeHistogram();

    // --- signal accumulation ----------------------------------------------
    // Screens one batch of readings and accumulates it; -1 for an empty batch.
    int updateSignals(std::vector<AccessPoint>& meas, SensorTime& time);
    void filterUnknownMeasurements(std::vector<AccessPoint>& meas,
                                   const std::vector<std::string>& ids);
    void setOutputSignals(SensorTime time);
    void setNavigationSignals();
    int averageDuplicateMeasurements(std::vector<AccessPoint>& v);
    void findClosestAccessPoints(std::vector<AccessPoint>& v);
    // Empties the window; part of the interface, unused by the kit.
    void clearMeasurements();
    void setIsStop(bool stop);

    // --- weights -------------------------------------------------------------
    int updateSublocationWeights();
    int updateRpWeightsKnn(const int& sublocId, const std::vector<AccessPoint>& meas);
    int calculateApTrustworthiness(const std::vector<AccessPoint>& meas, std::vector<double>& w);
    int updateRpWeightsHistogram(const int& sublocId, const std::vector<AccessPoint>& meas);
    int normalizeRpWeights();
    // Triangle weights of one floor from its points' weights; the floor
    // weighting does this itself, no caller here.
    void updateTrianglesWeight(int sublocId);

    // --- floor and position -------------------------------------------------
    int calculateCoordinates();
    int detectSublocation();
    int detectSublocIdWithHistory();
    // Whether the radio names the first floor clearly enough to start on it:
    // state index d holds the heaviest triangle and the largest share of the
    // weights, by a margin (see floor_detection.cc).
    bool startFloorIsClear(int d) const;
    int determineCurSublocation(int& index);
    int detectSublocIndexByBle(int& index);
    bool isSublocChanged();
    void calcPositionInTriangle();
    void calcWeightedAverage();
    // The kit's fix from its nearest-neighbour weights of the current floor
    // (see position.cc). False when the kit's weighting made none (the
    // original defaults, or a match it does not serve): the caller takes
    // the original fix.
    bool calcNeighbourhoodPosition();
    // The kit's histogram fix: over a survey too sparse for single points'
    // weights (Histogram::sparseSurvey), the neighbourhood fix of the
    // nearest-neighbour method from the histogram weights. False where the
    // original fix applies.
    bool calcSparseHistogramPosition();
    int estimateZone();

    // --- setters and getters -------------------------------------------------
    void setCutoffRss(double cutoff);
    // A window length that is not a finite non-negative number is refused.
    void setMeasAccumulationTime(double t);
    // Readings up to this age stay while the accumulation time alone holds
    // too few (see signal_window.cc); at or below the accumulation time, none.
    void setWindowReach(double t);
    void setAutoClearingOldMeas(bool on) { mAutoClearingOldMeas = on; }
    void setUseTriangulation(bool on) { mUseTriangulation = on; }
    void setCurTime(SensorTime t) { mCurTime = t; }
    SensorTime getCurTime() const { return mCurTime; }
    void setIsGoodSignals(const bool& good) { mIsGoodSignals = good; }
    bool getIsGoodSignals() const { return mIsGoodSignals; }
    bool getIsStop() const { return mIsStop; }
    void setLastStepTime(double t) { mLastStepTime = t; }
    double getLastStepTime() const { return mLastStepTime; }
    void setLastStepLength(double l) { mLastStepLength = l; }
    double getLastStepLength() const { return mLastStepLength; }
    void setLastSignalSolutionTime(const double& t) { mLastSignalSolutionTime = t; }
    double getLastSignalSolutionTime() const { return mLastSignalSolutionTime; }
    double getLastMeasTime() const { return lastMeasTime.getTimeInSeconds(); }
    double getShiftTime() const { return mWindowShiftTime; }
    double getX() const { return mX; }
    double getY() const { return mY; }
    void setSolutionInfo(SolutionInfo& s) { mSolutionInfo = s; }
    SolutionInfo getSolutionInfo() const { return mSolutionInfo; }
    std::vector<AccessPoint> getNavSignals() const { return mSigWindow; }
    std::vector<AccessPoint> getNavAveragedSignals() const { return mSigNavigation; }
    std::vector<AccessPoint> getOutputSignals() const { return mSigOutput; }
    int getCurSublocIndex() const { return mCurSublocInd; }
    int getCurSublocId() const;
    void setCurSublocInd(int index);
    int getSublocStateIndexById(int id) const;
    SublocationState* getSublocationStateById(int id, bool& found);
    SublocationState* getSublocationStateByIndex(int index);

    // Read-only views for the client's diagnostics and for tests.
    int getAlgorithm() const { return mAlgorithm; }
    double getAccumulationTime() const { return mAccumulationTime; }
    const std::vector<AccessPoint>& getNewSignals() const { return mSigNew; }
    const NavTriangle& getHeaviestTriangle() const { return mHeaviestTriangle; }
    double getLevelOffset() const { return mLevelOffset; }
    const std::vector<int>& getSublocHistory() const { return mSublocHistory; }
    const std::vector<SublocationState>& getSublocationStates() const { return mSublocStates; }

    // Puts the window, the floor state and the timing back to their initial
    // values (see the member list for what is kept).
    void clear();

    // State shared with the client's own step code.
    GaussianProcesses mGp;
    Histogram mHistogram;
    SolutionInfo mSolutionInfo;
    bool mIsStop = false;
    bool mIsPdr = false;
    double mPrevStepTime = 0.0;

private:
    // Flat copy of one floor's radio map for the weighting passes: entries
    // grouped by transmitter key, each (point index, surveyed rssi).
    struct FlatEntry {
        int point;
        double rssi;
    };
    struct FlatFloor {
        // Row of key k: entries[rowStart[k]] .. entries[rowStart[k + 1] - 1],
        // in radio-map order.
        std::unordered_map<std::string, int> keyIndex;
        // Every key of the floor's transmitter-key list, with its row or -1.
        std::unordered_map<std::string, int> knownKeys;
        // The same by key id (see mKeyIds): the row, -1 for a key of the
        // floor's list without one, kNotOnFloor for any other key.
        std::vector<int> rowOfKey;
        std::vector<int> rowStart;
        std::vector<FlatEntry> entries;
        int nPoints = 0;
        // For the kit's weighting of transmitters missing on one side: the
        // level taken for "not heard" (the weakest surveyed level), and per
        // point the sum of |surveyed - that level| over its entries, the
        // same as the fix's match counts them (missingSq), and their number.
        double missingRssi = -100.0;
        std::vector<double> missingSum;
        std::vector<double> missingSq;
        std::vector<int> surveyedCount;
        // Per entry its own term of missingSq.
        std::vector<double> entryMissingSq;
        // Median distance between neighbouring surveyed points, metres.
        double pointSpacing = 0.0;
    };
    static constexpr int kNotOnFloor = -2;
    // Buffers of the nearest-neighbour pass, kept so that a window
    // allocates nothing; their contents do not outlive one floor's pass.
    struct KnnScratch {
        std::vector<double> readingWeight;
        std::vector<double> dsum;
        std::vector<double> psum;
        std::vector<int> count;
        std::vector<const AccessPoint*> selected;  // the readings of the floor's keys
        std::vector<int> rows;  // per selected reading its key's row, -1 for none
        std::vector<int> keyIds;  // per reading of the pass its key id, -1 for none
        // Sum of |reading - "not heard" level| over the readings the floor
        // does not know, in reading order, and their number.
        double unknownMissing = 0.0;
        int nUnknown = 0;
        std::vector<double> result;
        // Per point, side by side so that an entry touches one place: the
        // sum of the differences of the heard keys it has (squared for the
        // fix), of |surveyed - missing level| of those keys (the fix's own
        // terms), of |heard - missing level| of them, and their number.
        struct PointSums {
            double diff, matched, heard;
            int count;
        };
        std::vector<PointSums> pointSums;
        std::vector<double> levelDiffs;      // per heard key: reading less the survey at the fix
        // The fix's weights, for the current floor only.
        std::vector<double> fixWeights;
        std::vector<std::pair<double, int>> best;  // (weight, point) candidates of the kit's fix
        std::vector<double> floorSums;  // per floor: the level match's weight sum
        std::vector<AccessPoint> freshReadings;  // the level match's readings
    };
    // The kit's nearest-neighbour weights: every transmitter heard or
    // surveyed counts, one missing on either side at the "not heard" level.
    // Readings are matched less the phone's estimated level offset. A point
    // is weighed when it surveyed `minMatched` of the heard transmitters (0:
    // the archive's minimums).
    void knnWeightsWithMissing(const FlatFloor& ff, int nHeardOther, double heardOtherMissing, int minMatched = 0);
    // The kit's fix weights of floor index fi for the navigation window: the
    // inverse square of a root-mean-square match (see position.cc).
    void rmsFixWeights(int fi, std::vector<double>& weights);
    // The weighted mean of the best points of the current floor near the
    // best one (see position.cc), from per-point weights; false when no
    // point has a weight.
    bool neighbourhoodFix(const std::vector<double>& weights);
    // Moves the phone's level offset a step towards the median difference
    // between the readings and the survey at the points the fix came from.
    void updateLevelOffset();

    void buildFlatRadioMaps();
    // Key ids of `meas` into `ids` (-1 for a key no floor lists): one hash
    // lookup per reading, after which the floors' passes index arrays.
    void keyIdsOf(const std::vector<AccessPoint>& meas, std::vector<int>& ids) const;
    // Row of key id `id` on a floor: as rowOfKey, kNotOnFloor for -1.
    static int RowOf(const FlatFloor& ff, int id) {
        return id < 0 || static_cast<size_t>(id) >= ff.rowOfKey.size() ? kNotOnFloor
                                                                         : ff.rowOfKey[static_cast<size_t>(id)];
    }
    int updateRpWeightsKnn(const int& sublocId, const std::vector<AccessPoint>& meas, const std::vector<int>& ids);
    int floorIndexOfState(int sublocId) const;

    std::map<std::string, SigmaFilter<double>> mSigmaFilters;
    std::vector<AccessPoint> mSigWindow;
    std::vector<AccessPoint> mSigNew;
    std::vector<AccessPoint> mSigNavigation;
    std::vector<AccessPoint> mSigOutput;
    std::vector<std::string> mBeaconIds;
    SensorTime mSigTimeStart;
    SensorTime lastMeasTime;
    bool mIsGoodSignals = false;
    int mAlgorithm = 107;
    double mAccumulationTime = 1.5;
    double mWindowReach = 0.0;
    double mWindowShiftTime = 0.0;
    bool mAutoClearingOldMeas = false;
    int mCurSublocInd = -1;
    double mX = 0.0;
    double mY = 0.0;
    double mLastSignalSolutionTime = 0.0;
    NavTriangle mHeaviestTriangle;
    std::vector<SublocationState> mSublocStates;
    bool mUseTriangulation = true;
    std::vector<int> mSublocHistory;
    double mStartWaitSince = -1.0;  // s, since when no window named the first floor clearly
    int mPrevSublocInd = -1;
    double mLastStepTime = 0.0;
    int mCutoffRss = -100;
    SensorTime mCurTime;
    double mLastStepLength = 0.0;
    int mMapErrorCode = 0;

    // Derived from the map copy by specifyNavigationMap; not part of the
    // positioning state proper.
    std::vector<FlatFloor> mFlatFloors;
    // An id per transmitter key listed by any floor, assigned at load in the
    // keys' byte order; and the ids of the navigation window's readings.
    std::unordered_map<std::string, int> mKeyIds;
    std::vector<int> mNavKeyIds;
    // Per floor state the corners of its triangles, three per triangle, as
    // triangulate() left them.
    std::vector<std::vector<int>> mTriangleCorners;
    const std::vector<int>* triangleCorners(const SublocationState& st) const;
    // Floor index of every beacon key (the first floor listing it).
    std::unordered_map<std::string, int> mBeaconFloor;
    // True when the beacons heard within the accumulation time before
    // `newest` (seconds) score another floor above the current one.
    bool freshReadingsLeaveTheFloor(double newest) const;
    // Counts floor index d towards a switch: a switch needs agreeing
    // detections of one other floor in a row.
    void countFloorDetection(int d);
    // The floor whose beacons are the only ones of the map that the
    // navigation window hears; -1 when it hears none, or several floors'.
    int onlyFloorHeard() const;
    // The floor whose own beacons the navigation window hears loudest (the
    // beacon detector's score); -1 when it hears none of the map's.
    int loudestFloorHeard() const;
    // True when the readings of the accumulation time before `newest` hear
    // too few beacons and the window reach is longer.
    bool thinWindow(double newest) const;
    // The steps of updateSignals: the batch sorted by time, unknown beacons
    // left out where the settings ask; the outlier filters of transmitters
    // idle for 15 s dropped; the readings that pass the cutoff, their
    // outlier filter and the signal type; readings far older than the
    // newest one dropped (or the window restarted when the clock went
    // back); whether the window moves now; and the readings older than the
    // window (or, standing, the stop's window) dropped from it.
    void prepareBatch(std::vector<AccessPoint>& meas);
    void dropIdleSigmaFilters();
    std::vector<AccessPoint> screenReadings(const std::vector<AccessPoint>& meas);
    void dropLateReadings(std::vector<AccessPoint>& accepted);
    bool windowMoveIsDue();
    void dropAgedReadings();
    // The floor state holding the largest share of the window's weights;
    // `heaviest` when no floor holds any.
    // `leading`, if given, receives the floor of the largest share before the
    // walking margin is applied.
    int floorOfLargestShare(int heaviest, int* leading = nullptr) const;
    // The kit's floor evidence from a window too thin to weigh any floor's
    // points (fewer beacons than the weighting asks for): a window that
    // hears one floor's beacons only counts as a detection of that floor.
    // False when nothing was counted.
    bool countFloorOfThinWindow();
    // Whether the method detects the floor by beacons alone, not from the
    // points' weights.
    bool floorByBeacons() const;
    // The readings of `meas` known to floor index fi into mKnn.selected,
    // with their rows into mKnn.rows.
    void selectFloorReadings(int fi, const std::vector<AccessPoint>& meas);
    // The same with the readings' key ids at hand.
    void selectFloorReadings(int fi, const std::vector<AccessPoint>& meas, const std::vector<int>& ids);
    // The kit's nearest-neighbour weights of the selected readings into
    // mKnn.result (dsum and count must come zeroed; minMatched as for
    // knnWeightsWithMissing); their sum.
    double weighSelectedWithMissing(const FlatFloor& ff, const std::vector<AccessPoint>& meas, int minMatched = 0);
    // The steps of updateRpWeightsKnn over the selected readings: each
    // reading's weight into mKnn.readingWeight (1, or its trustworthiness);
    // the per-point sums of mismatches, weights and terms into mKnn.dsum,
    // psum and count (zeroed before), by pairs of readings or level by
    // level; the points' weights from them into mKnn.result, with their sum;
    // and the weights stored into a floor's state, the original's or the
    // kit's (which weighs missing transmitters too).
    void weighSelectedReadings(bool byTrust);
    void sumDifferenceMismatches(const FlatFloor& ff);
    void sumLevelMismatches(const FlatFloor& ff);
    double knnPointWeights(const FlatFloor& ff, const CommonNavProperties::Knn& knn);
    void storeKnnWeights(SublocationState& st, double weightSum);
    void storeKitKnnWeights(SublocationState& st, const FlatFloor& ff, const std::vector<AccessPoint>& meas);
    // Whether the histogram weights of the window leave the floor in doubt:
    // no floor yet, or the current one short of a clear lead.
    bool histogramFloorInDoubt() const;
    // Fills mLevelFloorShares from the kit's nearest-neighbour match of the
    // window's fresh readings on every floor; leaves it empty when no floor
    // matched.
    void levelFloorShares();
    // mLevelFloorShares from the kit's nearest-neighbour match of `readings`
    // (one averaged reading per key) on every floor; `pooled` for readings
    // pooled over a stop (see floor_detection.cc).
    void levelSharesOf(const std::vector<AccessPoint>& readings, bool pooled = false);
    // Floor state s's share of the window's weights.
    double weightShare(size_t s) const;
    // The share the floor decision goes by: the level match's where taken,
    // else the weights'.
    double floorShare(size_t s) const;
    // The heaviest triangle of floor state d into mHeaviestTriangle.
    void heaviestTriangleOn(int d);
    // Per floor state the share of the level match: for a histogram window
    // whose own weights left the floor in doubt, or for the first floor after
    // a stop (the pooled readings); empty otherwise.
    std::vector<double> mLevelFloorShares;
    // Per transmitter, the readings heard while the walker stood before the
    // first floor was decided (see navigation_internal.h): one of them, and the sum
    // and number of their levels; and the time of the newest.
    struct PooledReading {
        AccessPoint reading;
        double sum;
        int count;
    };
    std::vector<PooledReading> mStandingPool;
    double mStandingPoolEnd = -1.0;
    // Adds a reading to its transmitter's entry of `pool`.
    static void addToPool(std::vector<PooledReading>& pool, const AccessPoint& ap);
    void poolStandingReadings(const std::vector<AccessPoint>& readings);
    // mLevelFloorShares from the pooled readings of the stop and the window's
    // newer ones; clears a pool too old to speak for the walker's floor.
    void standingFloorShares();
    // Buffer for the filtered readings of a floor's weighting.
    std::vector<AccessPoint> mScanBuf;
    KnnScratch mKnn;
    // Floor index detected by the last detection (may differ from the
    // current floor while a switch is pending).
    int mDetectedSublocInd = -1;
    // What the phone reads above the survey (dB), learnt by the kit while
    // positioning: another phone or another day shifts every level alike.
    double mLevelOffset = 0.0;
};

// Helpers over readings (part of the engine's interface; nothing in the kit
// calls them).
bool isWiFIMeas(AccessPoint ap);
bool isBeaconMeas(AccessPoint ap);
bool isUnknownMeas(AccessPoint ap);
bool compareApTime(AccessPoint a, AccessPoint b);
bool compareApRss(AccessPoint a, AccessPoint b);
AccessPoint sumAccessPoint(AccessPoint a, AccessPoint b);

#endif
