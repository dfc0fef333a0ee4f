// Feeding simulated phone sensors to the motion objects the way a navigation
// client does: one message per 100 ms, fusion first, then the pedometer,
// then the stop and turn decisions that set the next message's motion state.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "venuesim/gait.h"
#include "wifipos/motion/pedometer.h"
#include "wifipos/motion/sensor_fusion.h"
#include "wifipos/sensor_value.h"

namespace motiontest {

inline SensorValue ToSensorValue(const venuesim::MotionSample& m) {
  SensorValue v;
  v.type = m.type;
  v.fillComponents(m.x, m.y, m.z);
  const long ms = std::lround(m.time * 1000.0);
  v.setTime(static_cast<int>(ms / 1000), static_cast<int>(ms % 1000));
  return v;
}

// Samples grouped into messages of `period` seconds, oldest first.
inline std::vector<std::vector<SensorValue>> Messages(const venuesim::GaitRecording& rec,
                                                      double period = 0.1) {
  std::vector<std::vector<SensorValue>> out;
  const std::vector<venuesim::MotionSample> all = rec.merged();
  if (all.empty()) return out;
  const double start = all.front().time;
  for (const venuesim::MotionSample& m : all) {
    const size_t k = static_cast<size_t>((m.time - start) / period + 1e-9);
    if (out.size() <= k) out.resize(k + 1);
    out[k].push_back(ToSensorValue(m));
  }
  return out;
}

inline std::vector<SensorValue> OfType(const std::vector<SensorValue>& v, int type) {
  std::vector<SensorValue> out;
  for (const SensorValue& s : v)
    if (s.type == type) out.push_back(s);
  return out;
}

// Breaks a message the ways a phone or a transport might: undefined, zero and
// huge values, times jumping back and forth, bad milliseconds, other kinds,
// repeated and shuffled samples.
inline void Mutate(std::vector<SensorValue>& m, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (SensorValue& v : m) {
    const double r = u(rng);
    if (r < 0.01) v.y = std::numeric_limits<double>::quiet_NaN();
    else if (r < 0.02) v.x = -HUGE_VAL;
    else if (r < 0.03) v.fillComponents(0, 0, 0);
    else if (r < 0.04) v.z *= 1e200;
    else if (r < 0.05) v.time.sec -= std::min<uint64_t>(v.time.sec, 1u + static_cast<unsigned>(u(rng) * 5));
    else if (r < 0.055) v.time.sec += 30;
    else if (r < 0.06) v.time.ms = 1000 + static_cast<unsigned>(u(rng) * 5000);
    else if (r < 0.065) v.type = static_cast<int>(u(rng) * 200);
  }
  if (!m.empty() && u(rng) < 0.2) m.push_back(m[static_cast<size_t>(u(rng) * m.size())]);
  if (u(rng) < 0.2) std::shuffle(m.begin(), m.end(), rng);
}

inline double AngleDiff(double a, double b) {
  return std::remainder(a - b, 2.0 * M_PI);
}

struct TrackPoint {
  double time;
  double heading;  // fused heading on the map after the message
  unsigned int motionState;
};

// The client's per-message motion loop with the settings' coefficients for
// standing still. Returns one point per message.
struct MotionLoop {
  Pedometer pedometer;
  SensorFusion fusion;
  unsigned int motionState = 0;
  double lastStepTime = 0.0;
  int resets = 0;

  explicit MotionLoop(const EngineBehaviour& behaviour, double azimuth = 0.0, double declination = 0.0)
      : pedometer(behaviour), fusion(behaviour) {
    fusion.setLocationParameters(azimuth, declination);
    fusion.setAutoClearOldMeasurements(true);
    fusion.setProperties({2.0, 4.0, 0.18});  // a settings file's usual values
  }

  TrackPoint step(std::vector<SensorValue>& message) {
    const double now = message.back().getTimeInSeconds();
    const bool align = fusion.getAlignmentTime().sec == 0;
    fusion.setAccCoef(motionState != 0 ? 1e15 : 2.0);
    fusion.setMagnCoef(motionState != 0 ? 1e15 : 4.0);
    bool aligned = false;
    fusion.setMotionState(motionState, align, aligned);
    fusion.updateMeasurements(message);
    if (aligned) {
      fusion.setAlignmentTime(SensorTime(now));
      ++resets;
    }
    std::vector<SensorValue> acc = OfType(message, 101);
    pedometer.setAutoDeleteOldMeasurements(true);
    if (pedometer.updateAccMeasurements(acc) == 0) pedometer.detectSteps();
    if (pedometer.getLastStepLength() != 0.0) lastStepTime = pedometer.getLastStepTime();
    const bool stop = now - lastStepTime > 1.5;
    bool computed = false;
    const bool rotating = fusion.checkRotation(computed);
    motionState = stop ? (rotating ? 1 : 0) : (rotating ? 3 : 2);
    double o[3];
    fusion.getFusedOrientation(o);
    return {now, o[0], motionState};
  }

  std::vector<TrackPoint> run(const venuesim::GaitRecording& rec) {
    std::vector<TrackPoint> out;
    for (std::vector<SensorValue>& m : Messages(rec)) out.push_back(step(m));
    return out;
  }
};

}  // namespace motiontest
