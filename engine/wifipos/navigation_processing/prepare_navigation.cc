#include "wifipos/navigation_processing/prepare_navigation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "server/utils.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// A sensor kind whose newest sample is older than this is taken as absent.
constexpr double kSensorAbsentAfterSec = 2.5;
// Standing still: no step for longer than this.
constexpr double kStopAfterSec = 1.5;
// Coefficients that switch both corrections of the fusion off while moving.
constexpr double kNoCorrectionCoef = 1e15;

// Seconds and milliseconds of an entry on the time base: message seconds
// minus the base, message milliseconds minus the entry's offset. False for a
// corrupt offset or time whose arithmetic would overflow, so the entry can be
// dropped instead of wrapping.
bool EntryTime(const WScanMessage* message, int64_t timeBase, int64_t offset, int64_t* sec,
               int64_t* ms) {
  constexpr int64_t kMax = std::numeric_limits<int>::max();
  constexpr int64_t kMin = std::numeric_limits<int>::min();
  constexpr int64_t kMaxSec = int64_t{1} << 52;
  // Offsets come from outside: refuse any the subtraction below could overflow.
  if (offset > kMax || offset < kMin) return false;
  if (message->tmUnixTime > kMaxSec || message->tmUnixTime < -kMaxSec) return false;
  const int64_t s = message->tmUnixTime - timeBase;
  const int64_t m = static_cast<int64_t>(message->tmMillisecond) - offset;
  if (s > kMaxSec || s < -kMaxSec || m > kMax || m < kMin) return false;
  *sec = s;
  *ms = m;
  return true;
}

double Seconds(const SensorTime& t) { return t.getTimeInSeconds(); }

// The one process-wide diagnostic value of the preprocessing; atomic because
// clients may run on different threads.
std::atomic<int> gLastPacketNumber{0};

// |a - b| in seconds, exact for large second counts.
double AbsDiff(const SensorTime& a, const SensorTime& b) {
  const double secs = static_cast<double>(static_cast<int64_t>(a.sec) - b.sec);
  const double millis = static_cast<double>(static_cast<int64_t>(a.ms) - b.ms);
  return std::fabs(secs + millis / 1000.0);
}

}  // namespace

int GetLastPacketNumber() { return gLastPacketNumber.load(std::memory_order_relaxed); }

void ClientNavigationState::checkSensorPresense(std::vector<SensorValue>& values,
                                                const SensorTime& now) {
  ClientSensorsStatus& st = sensorsStatus;
  for (const SensorValue& v : values) {
    bool* flag = nullptr;
    SensorTime* newest = nullptr;
    bool partOfAll = true;
    switch (v.type) {
      case SENSOR_ACCELEROMETER:
        flag = &st.isAccPresent;
        newest = &st.accTime;
        break;
      case SENSOR_MAGNETOMETER:
        flag = &st.isMagnPresent;
        newest = &st.magnTime;
        break;
      case SENSOR_GYROSCOPE:
        flag = &st.isGyroPresent;
        newest = &st.gyroTime;
        break;
      case SENSOR_106:
        flag = &st.isSensor106Present;
        newest = &st.sensor106Time;
        partOfAll = false;
        break;
      default:
        continue;
    }
    if (v.time > *newest) {
      *newest = v.time;
      *flag = true;
    }
    if (now != *newest && AbsDiff(now, *newest) > kSensorAbsentAfterSec) {
      *flag = false;
      if (partOfAll) st.isAllPresent = false;
    }
  }
  if (st.isAccPresent && st.isMagnPresent && st.isGyroPresent) st.isAllPresent = true;
}

void wscanEntryToAccessPoint(const WScanMessage* message, std::vector<AccessPoint>& accessPoints,
                             int64_t timeBase) {
  accessPoints.clear();
  if (message == nullptr) return;
  for (const WScanEntry& e : message->entries) {
    if (e.type != 0 && e.type != 2) continue;
    if (!(e.rssi < 0.0) || !std::isfinite(e.rssi)) {
      MV_LOG(11, "Warning: RSSI >= 0!\n");
      continue;
    }
    int64_t sec = 0;
    int64_t ms = 0;
    if (!EntryTime(message, timeBase, e.offset, &sec, &ms)) {
      MV_LOG(11, "ERROR: radio entry time out of range, entry dropped\n");
      continue;
    }
    AccessPoint ap;
    ap.setBssid(e.bssid);
    ap.setSsid(e.ssid);
    ap.setType(e.type);
    ap.setRssi(e.rssi);
    ap.setPower(e.power);
    ap.setFrequency(e.frequency);
    ap.setDistance(e.distance);
    ap.setTime(static_cast<double>(sec) + static_cast<double>(ms) / 1000.0);
    SensorTime stamp;
    stamp.setTime(sec, ms);
    ap.setTimeStamp(stamp);
    accessPoints.push_back(ap);
  }
  std::stable_sort(accessPoints.begin(), accessPoints.end());
}

void wscanToSensorValue(WScanMessage* message, std::vector<SensorValue>& values,
                        int64_t timeBase) {
  if (message == nullptr) return;
  for (const SensorEntry& e : message->sensorEntries) {
    int64_t sec = 0;
    int64_t ms = 0;
    if (!EntryTime(message, timeBase, e.offset, &sec, &ms)) {
      MV_LOG(11, "ERROR: sensor entry time out of range, entry dropped\n");
      continue;
    }
    SensorValue v;
    v.type = e.type;
    v.fillComponents(e.values[0], e.values[1], e.values[2]);
    v.setQuality(e.values[3]);
    v.setTime(sec, ms);
    values.push_back(v);
  }
}

void updateFusion(ClientNavigationState* client, std::vector<SensorValue>& values) {
  if (client == nullptr) return;
  const CommonNavProperties& s = client->navigation.getNavigationProperties();
  const SolutionInfo solution = client->particleFilter.getSolutionInfo();
  if (values.empty()) {
    MV_LOG(11, "There is no any sensor measurements\n");
    return;
  }
  SensorFusion& fusion = client->sensorFusion;
  const SensorTime now = client->navigation.getCurTime();
  const SensorTime aligned0 = fusion.getAlignmentTime();
  const double gap = AbsDiff(now, aligned0);
  const bool neverAligned = aligned0.sec == 0 && aligned0.ms == 0;
  const bool align = gap > s.sensorFusion.Minimal_alignment_gap_sec ||
                     (s.Use_pf_estimated_angle && solution.angleDeviation * 180.0 / kPi >=
                                                      s.sensorFusion.Angles_var_correction_threshold_deg) ||
                     neverAligned;
  if (client->motionState != 0) {
    fusion.setAccCoef(kNoCorrectionCoef);
    fusion.setMagnCoef(kNoCorrectionCoef);
  } else {
    // A coefficient that is negative or not finite would make the blend
    // divide by zero or diverge; the fusion's own default is kept instead.
    const double acc = s.sensorFusion.Fusion_acc_coef;
    const double magn = s.sensorFusion.Fusion_magn_coef;
    fusion.setAccCoef(std::isfinite(acc) && acc >= 0.0 ? acc : SensorFusion::Properties().accCoef);
    fusion.setMagnCoef(std::isfinite(magn) && magn >= 0.0 ? magn
                                                          : SensorFusion::Properties().magnCoef);
  }
  bool aligned = false;
  fusion.setMotionState(client->motionState, align, aligned);
  fusion.updateMeasurements(values);
  if (aligned) fusion.setAlignmentTime(now);

  double orientation[3] = {0.0, 0.0, 0.0};
  fusion.getFusedOrientation(orientation);
  const double sigma = s.Use_pf_estimated_angle ? s.sensorFusion.Pf_init_angle_noise : 0.0;
  if (client->navigation.getCurSublocIndex() < 0) return;
  if (!std::isfinite(orientation[0])) {
    MV_LOG(11, "ERROR: fused heading is not finite; particle headings kept\n");
    return;
  }
  if (aligned) {
    client->particleFilter.setAngleDistribution(orientation[0], sigma);
  } else {
    client->particleFilter.propogateHeadingAngle(orientation[0]);
  }
  client->particleFilter.getSolution();
  if (!s.Use_pf_estimated_angle &&
      std::fabs(client->particleFilter.getSolutionInfo().filteredAngle - orientation[0]) > 1e-6) {
    MV_LOG(11, "WARNING: angles of SF and PF differs. Something is wrong\n");
  }
}

void updatePedometer(Pedometer& pedometer, std::vector<SensorValue>& values) {
  std::vector<SensorValue> acc;
  for (const SensorValue& v : values) {
    if (v.type == SENSOR_ACCELEROMETER) acc.push_back(v);
  }
  if (acc.empty()) return;
  pedometer.setAutoDeleteOldMeasurements(true);
  pedometer.updateAccMeasurements(acc);
  pedometer.detectSteps();
}

void detectIsStop(double now, double lastStepTime, bool& isStop) {
  if (now - lastStepTime < 0.0) {
    MV_LOG(11, "WARNING: Current time is less then time of last step\n");
  }
  isStop = now - lastStepTime > kStopAfterSec;
  if (isStop) MV_LOG(11, "----------------------------------------------isStop = true\n");
}

int checkConnectionTime(ClientNavigationState* client, const double& curTime) {
  if (client == nullptr) return NAV_RC_NO_SOLUTION;
  const double last = client->navigation.getLastSignalSolutionTime();
  if (last == 0.0) {
    MV_LOG(11, "There was no solution yet\n");
    return 0;
  }
  if (last - curTime > 1e-6) {
    MV_LOG(11, "ERROR: Time in checkConenctionTime = -%lf < 0\n", last - curTime);
    return NAV_RC_NO_SOLUTION;
  }
  const double limit = client->navigation.getNavigationProperties().Dead_reckon_time;
  if (curTime - last > limit) {
    MV_LOG(11, "Time from last good signal solution (%lf - %lf) = %lf > %lf sec.\n", curTime,
           last, curTime - last, limit);
    client->isNavigationInitialized = false;
    return NAV_RC_NO_SOLUTION;
  }
  return 0;
}

void wscanAccessPointToBleSignals(const std::vector<AccessPoint>& accessPoints,
                                  std::vector<BeaconMeas>& beacons) {
  beacons.clear();
  for (const AccessPoint& ap : accessPoints) {
    if (ap.getType() != 2) continue;
    BeaconMeas m;
    m.setBeaconId(ap.getBssid());
    m.setRssi(ap.getRssi());
    m.setDistance(ap.getDistance());
    m.setPower(ap.getPower());
    beacons.push_back(m);
  }
}

void wscanAccessPointToCurrentSignals(const std::vector<AccessPoint>& accessPoints,
                                      const SublocationMap* floor, std::vector<double>& signals) {
  signals.clear();
  if (floor == nullptr) return;
  const std::vector<std::string>& keys = std::as_const(*floor).getUniqueApsBssid();
  signals.assign(keys.size(), 1.0);
  // Keys are ascending, so each reading finds its key by binary search.
  for (const AccessPoint& ap : accessPoints) {
    auto range = std::equal_range(keys.begin(), keys.end(), ap.getBssid());
    for (auto it = range.first; it != range.second; ++it) {
      signals[static_cast<size_t>(it - keys.begin())] = ap.getRssi();
    }
  }
}

void preprocessSensorMeasurements(ClientNavigationState* client, WScanMessage* message,
                                  std::vector<AccessPoint>& accessPoints,
                                  const SensorTime& curTime) {
  if (client == nullptr || message == nullptr) return;
  gLastPacketNumber.store(message->packetNumber, std::memory_order_relaxed);
  message->sortEntries();
  message->sortSensorEntries();
  std::vector<SensorValue> values;
  wscanEntryToAccessPoint(message, accessPoints, client->timeBase);
  wscanToSensorValue(message, values, client->timeBase);

  client->checkSensorPresense(values, curTime);
  updateFusion(client, values);
  updatePedometer(client->pedometer, values);

  Navigation& nav = client->navigation;
  if (client->pedometer.getLastStepLength() != 0.0 && client->pedometer.isHasAccelerometer()) {
    nav.setLastStepTime(client->pedometer.getLastStepTime());
    nav.setLastStepLength(client->pedometer.getLastStepLength());
  }

  const CommonNavProperties& s = nav.getNavigationProperties();
  if (!s.Use_stops) {
    MV_LOG(11, "WARNING isUseStops = false. Angle can be estimated incorrectly!\n");
    nav.setIsStop(false);
  } else if (client->sensorsStatus.isAccPresent) {
    bool isStop = false;
    detectIsStop(Seconds(curTime), nav.getLastStepTime(), isStop);
    nav.setIsStop(isStop);
  } else {
    nav.setIsStop(false);
  }

  bool computed = false;
  const bool rotating = client->sensorFusion.checkRotation(computed);
  const bool stopped = nav.getIsStop();
  if (stopped && !rotating) {
    client->motionState = 0;
    MV_LOG(11, "-------------------------------------------STOP---------------------------------\n");
  } else if (stopped) {
    client->motionState = 1;
  } else if (rotating) {
    client->motionState = 3;
  } else {
    client->motionState = 2;
  }

  const double stepLength = nav.getLastStepLength();
  message->outStepLength = std::isfinite(stepLength) ? stepLength : 0.0;
  message->outStepCounter = client->pedometer.getTotalStepsNumber();
  MV_LOG(13, "Total steps = %d\n", message->outStepCounter);
}
