#include "venuesim/gait.h"

#include <algorithm>
#include <cmath>

namespace venuesim {
namespace {

constexpr double kGravity = 9.80665;
constexpr double kPi = 3.14159265358979323846;
// Knee flexion keeps the body's rise and fall well below that of a stiff
// inverted pendulum.
constexpr double kPendulumShare = 0.65;
// Walking stretches whose speeds differ by less than this share are one bout.
constexpr double kSameSpeed = 0.01;

// Own generator so the simulated sensors do not depend on other streams.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed ^ 0x6a09e667f3bcc909ULL) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double uniform() { return (next() >> 11) * (1.0 / 9007199254740992.0); }
  double normal() {
    double u1 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * uniform());
  }

 private:
  uint64_t state_;
};

struct Quat {
  double w = 1, x = 0, y = 0, z = 0;
};

Quat Mul(const Quat& a, const Quat& b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
          a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
          a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Quat Conj(const Quat& q) { return {q.w, -q.x, -q.y, -q.z}; }

Quat AxisAngle(double ax, double ay, double az, double angle) {
  const double s = std::sin(angle / 2);
  return {std::cos(angle / 2), ax * s, ay * s, az * s};
}

// Vector of the world frame expressed in the device frame (q: device to world).
void ToDevice(const Quat& q, const double* v, double* out) {
  const Quat p{0, v[0], v[1], v[2]};
  const Quat r = Mul(Mul(Conj(q), p), q);
  out[0] = r.x;
  out[1] = r.y;
  out[2] = r.z;
}

double Smooth(double tau) { return 0.5 * (1.0 - std::cos(kPi * std::clamp(tau, 0.0, 1.0))); }

struct Step {
  double start, duration, length, amplitude;
  int index;
};

struct Segment {
  WalkSegment plan;
  double start;
  double heading0;
  double yaw0, pitch0, roll0;
};

// Everything the sensors see at one instant.
struct Pose {
  double heading = 0.0;  // body, map
  double headingRate = 0.0;
  double speed = 0.0;
  double yaw = 0.0, pitch = 0.0, roll = 0.0;  // phone in the hand
  double aForward = 0.0, aLeft = 0.0, aUp = 0.0;
  double swayYaw = 0.0, swayPitch = 0.0, swayRoll = 0.0;
};

class Walker {
 public:
  Walker(const GaitConfig& c, const std::vector<WalkSegment>& segments, Random& rng) : c_(c) {
    double t = c.startTime;
    double heading = c.startHeading;
    double yaw = c.phoneYaw, pitch = c.phonePitch, roll = c.phoneRoll;
    // A bout: walking stretches that follow one another at one speed. The
    // walker's rhythm runs on across their joins (a waypoint is no reason to
    // change step), so the bout, not each stretch, holds a whole number of steps.
    double boutStart = t, boutDuration = 0.0, boutSpeed = 0.0;
    auto endBout = [&] {
      if (boutDuration > 0.0) addSteps(boutDuration, boutSpeed, boutStart, rng);
      boutDuration = 0.0;
    };
    for (const WalkSegment& s : segments) {
      if (!(s.duration > 0.0)) continue;
      segments_.push_back({s, t, heading, yaw, pitch, roll});
      if (s.kind == SegmentKind::Walk && s.speed > 0.0) {
        if (boutDuration > 0.0 && std::fabs(s.speed - boutSpeed) <= kSameSpeed * boutSpeed) {
          boutSpeed = (boutSpeed * boutDuration + s.speed * s.duration) / (boutDuration + s.duration);
          boutDuration += s.duration;
        } else {
          endBout();
          boutStart = t;
          boutDuration = s.duration;
          boutSpeed = s.speed;
        }
      } else {
        endBout();
      }
      if (s.kind == SegmentKind::Walk || s.kind == SegmentKind::Turn) heading += s.turn;
      if (s.kind == SegmentKind::PhoneRotation) {
        yaw += s.phoneYaw;
        pitch += s.phonePitch;
        roll += s.phoneRoll;
      }
      t += s.duration;
    }
    endBout();
    end_ = t;
    endHeading_ = heading;
    endYaw_ = yaw;
    endPitch_ = pitch;
    endRoll_ = roll;
  }

  double end() const { return end_; }
  const std::vector<Step>& steps() const { return steps_; }

  double headingAt(double t) const {
    const Segment* s = find(t);
    if (!s) return endHeading_;
    const double tau = (t - s->start) / s->plan.duration;
    if (s->plan.kind == SegmentKind::Walk || s->plan.kind == SegmentKind::Turn)
      return s->heading0 + s->plan.turn * Smooth(tau);
    return s->heading0;
  }

  Pose pose(double t) const {
    Pose p;
    const Segment* s = find(t);
    if (!s) {
      p.heading = endHeading_;
      p.yaw = endYaw_;
      p.pitch = endPitch_;
      p.roll = endRoll_;
      return p;
    }
    const double tau = (t - s->start) / s->plan.duration;
    p.heading = headingAt(t);
    p.yaw = s->yaw0;
    p.pitch = s->pitch0;
    p.roll = s->roll0;
    if (s->plan.kind == SegmentKind::Walk || s->plan.kind == SegmentKind::Turn)
      p.headingRate = s->plan.turn * kPi / 2.0 * std::sin(kPi * tau) / s->plan.duration;
    if (s->plan.kind == SegmentKind::PhoneRotation) {
      const double k = Smooth(tau);
      p.yaw += s->plan.phoneYaw * k;
      p.pitch += s->plan.phonePitch * k;
      p.roll += s->plan.phoneRoll * k;
    }
    if (s->plan.kind == SegmentKind::Walk) {
      p.speed = s->plan.speed;
      const Step* st = findStep(t);
      if (st) {
        const double phi = (t - st->start) / st->duration;
        const double a = st->amplitude;
        const double side = (st->index % 2 == 0) ? 1.0 : -1.0;
        // Vertical: rise and fall of the body once per step, with the sharper
        // peak of the heel strike; forward: braking and push-off; sideways:
        // the sway from one foot to the other, once per stride.
        p.aUp = a * (std::cos(2 * kPi * phi) + 0.25 * std::cos(4 * kPi * phi - 0.6));
        p.aForward = 0.5 * a * std::sin(2 * kPi * phi);
        p.aLeft = 0.3 * a * side * std::sin(kPi * phi);
        const double deg = kPi / 180.0;
        p.swayPitch = c_.swayScale * 1.5 * deg * std::sin(2 * kPi * phi);
        p.swayRoll = c_.swayScale * 2.0 * deg * side * std::sin(kPi * phi);
        p.swayYaw = c_.swayScale * 1.5 * deg * side * std::sin(kPi * phi);
      }
    }
    // Turning while walking pulls towards the inside of the turn.
    p.aLeft -= p.speed * p.headingRate;
    return p;
  }

  // Device orientation, device frame to east-north-up.
  Quat orientation(const Pose& p) const {
    const double bearing = p.heading + p.yaw + p.swayYaw + c_.floorAzimuth;
    const Quat qz = AxisAngle(0, 0, 1, -bearing);
    const Quat qx = AxisAngle(1, 0, 0, p.pitch + p.swayPitch);
    const Quat qy = AxisAngle(0, 1, 0, p.roll + p.swayRoll);
    return Mul(Mul(qz, qx), qy);
  }

 private:
  // Steps filling a bout of `duration` seconds at `speed` from `start`. The
  // bout is covered in whole steps: a walker starts and stops on a step, so
  // every metre walked belongs to a heel strike a pedometer can count.
  // Durations and lengths keep their own spread and are scaled to fill the
  // bout's time and distance.
  void addSteps(double duration, double speed, double start, Random& rng) {
    const double f = StepFrequencyForSpeed(speed) * (c_.cadenceScale > 0.0 ? c_.cadenceScale : 1.0);
    if (duration < 0.2) return;
    const int n = std::max(1, static_cast<int>(std::lround(duration * f)));
    std::vector<double> durations(static_cast<size_t>(n)), lengths(static_cast<size_t>(n));
    double durationSum = 0.0, lengthSum = 0.0;
    for (int i = 0; i < n; ++i) {
      durations[i] = std::max(0.35, 1.0 + c_.stepJitter * rng.normal());
      lengths[i] = std::max(0.35, 1.0 + c_.stepJitter * rng.normal());
      durationSum += durations[i];
      lengthSum += lengths[i];
    }
    double t = start;
    for (int i = 0; i < n; ++i) {
      const double stepDuration = duration * durations[i] / durationSum;
      const double length = speed * duration * lengths[i] / lengthSum;
      const double rise = kPendulumShare * length * length / (8.0 * c_.legLength);
      const double omega = 2.0 * kPi / stepDuration;
      const double amplitude =
          c_.swing > 0.0 ? c_.swing * lengths[i] : c_.carriageGain * 0.5 * rise * omega * omega;
      steps_.push_back({t, stepDuration, length, amplitude, static_cast<int>(steps_.size())});
      t += stepDuration;
    }
  }

  const Segment* find(double t) const {
    if (segments_.empty() || t >= end_) return nullptr;
    auto it = std::upper_bound(segments_.begin(), segments_.end(), t,
                               [](double v, const Segment& s) { return v < s.start; });
    if (it == segments_.begin()) return &segments_.front();
    return &*(it - 1);
  }

  const Step* findStep(double t) const {
    auto it = std::upper_bound(steps_.begin(), steps_.end(), t,
                               [](double v, const Step& s) { return v < s.start; });
    if (it == steps_.begin()) return nullptr;
    const Step& s = *(it - 1);
    return t < s.start + s.duration ? &s : nullptr;
  }

  const GaitConfig& c_;
  std::vector<Segment> segments_;
  std::vector<Step> steps_;
  double end_ = 0.0;
  double endHeading_ = 0.0, endYaw_ = 0.0, endPitch_ = 0.0, endRoll_ = 0.0;
};

double WholeMs(double t) { return std::round(t * 1000.0) / 1000.0; }

template <class F>
void Sample(double start, double end, double rate, F f) {
  if (!(rate > 0.0)) return;
  for (long i = 0;; ++i) {
    const double t = WholeMs(start + i / rate);
    if (t >= end) break;
    f(t);
  }
}

}  // namespace

WalkSegment WalkSegment::Walk(double duration, double speed, double turn) {
  WalkSegment s;
  s.kind = SegmentKind::Walk;
  s.duration = duration;
  s.speed = speed;
  s.turn = turn;
  return s;
}

WalkSegment WalkSegment::Stand(double duration) {
  WalkSegment s;
  s.kind = SegmentKind::Stand;
  s.duration = duration;
  return s;
}

WalkSegment WalkSegment::Turn(double duration, double angle) {
  WalkSegment s;
  s.kind = SegmentKind::Turn;
  s.duration = duration;
  s.turn = angle;
  return s;
}

WalkSegment WalkSegment::RotatePhone(double duration, double yaw, double pitch, double roll) {
  WalkSegment s;
  s.kind = SegmentKind::PhoneRotation;
  s.duration = duration;
  s.phoneYaw = yaw;
  s.phonePitch = pitch;
  s.phoneRoll = roll;
  return s;
}

double StepFrequencyForSpeed(double speed) { return 1.0 + 0.65 * std::max(speed, 0.0); }

GaitRecording SimulateWalk(const GaitConfig& c, const std::vector<WalkSegment>& segments) {
  Random stepRng(c.seed * 3 + 1);
  Walker walker(c, segments, stepRng);
  Random noise(c.seed * 3 + 2);
  Random biasRng(c.seed * 3 + 3);
  double accBias[3], gyroBias[3], magnBias[3];
  for (int i = 0; i < 3; ++i) {
    accBias[i] = c.accBias * biasRng.normal();
    gyroBias[i] = c.gyroBias * biasRng.normal();
    magnBias[i] = c.magnBias * biasRng.normal();
  }

  GaitRecording rec;
  rec.endTime = walker.end();
  for (const Step& s : walker.steps())
    rec.steps.push_back({s.start, s.length, walker.headingAt(s.start)});

  Sample(c.startTime, walker.end(), c.accRate, [&](double t) {
    const Pose p = walker.pose(t);
    const double bearing = p.heading + c.floorAzimuth;
    const double fwd[2] = {std::sin(bearing), std::cos(bearing)};
    const double left[2] = {-std::cos(bearing), std::sin(bearing)};
    const double force[3] = {p.aForward * fwd[0] + p.aLeft * left[0],
                             p.aForward * fwd[1] + p.aLeft * left[1], p.aUp + kGravity};
    double d[3];
    ToDevice(walker.orientation(p), force, d);
    MotionSample s;
    s.time = t;
    s.type = 101;
    s.x = d[0] + accBias[0] + c.accNoise * noise.normal();
    s.y = d[1] + accBias[1] + c.accNoise * noise.normal();
    s.z = d[2] + accBias[2] + c.accNoise * noise.normal();
    rec.acc.push_back(s);
    rec.headings.push_back({t, p.heading, p.heading + p.yaw});
  });

  const double horizontal = c.fieldStrength * std::cos(c.inclination);
  const double vertical = c.fieldStrength * std::sin(c.inclination);
  const double field[3] = {horizontal * std::sin(c.declination),
                           horizontal * std::cos(c.declination), -vertical};
  Sample(c.startTime, walker.end(), c.magnRate, [&](double t) {
    double d[3];
    ToDevice(walker.orientation(walker.pose(t)), field, d);
    MotionSample s;
    s.time = t;
    s.type = 102;
    s.x = d[0] + magnBias[0] + c.magnNoise * noise.normal();
    s.y = d[1] + magnBias[1] + c.magnNoise * noise.normal();
    s.z = d[2] + magnBias[2] + c.magnNoise * noise.normal();
    rec.magn.push_back(s);
  });

  // Body rates from the change of orientation over a short interval.
  const double h = 1e-3;
  Sample(c.startTime, walker.end(), c.gyroRate, [&](double t) {
    const Quat a = walker.orientation(walker.pose(t - h / 2));
    const Quat b = walker.orientation(walker.pose(t + h / 2));
    Quat dq = Mul(Conj(a), b);
    if (dq.w < 0) dq = {-dq.w, -dq.x, -dq.y, -dq.z};
    const double vn = std::sqrt(dq.x * dq.x + dq.y * dq.y + dq.z * dq.z);
    double rate[3] = {0, 0, 0};
    if (vn > 0) {
      const double angle = 2.0 * std::atan2(vn, dq.w);
      rate[0] = dq.x / vn * angle / h;
      rate[1] = dq.y / vn * angle / h;
      rate[2] = dq.z / vn * angle / h;
    }
    MotionSample s;
    s.time = t;
    s.type = 103;
    s.x = rate[0] + gyroBias[0] + c.gyroNoise * noise.normal();
    s.y = rate[1] + gyroBias[1] + c.gyroNoise * noise.normal();
    s.z = rate[2] + gyroBias[2] + c.gyroNoise * noise.normal();
    rec.gyro.push_back(s);
  });
  return rec;
}

std::vector<MotionSample> GaitRecording::merged() const {
  std::vector<MotionSample> all;
  all.reserve(acc.size() + gyro.size() + magn.size());
  all.insert(all.end(), acc.begin(), acc.end());
  all.insert(all.end(), magn.begin(), magn.end());
  all.insert(all.end(), gyro.begin(), gyro.end());
  std::stable_sort(all.begin(), all.end(),
                   [](const MotionSample& a, const MotionSample& b) { return a.time < b.time; });
  return all;
}

HeadingTruth GaitRecording::headingAt(double time) const {
  if (headings.empty()) return HeadingTruth();
  auto it = std::lower_bound(headings.begin(), headings.end(), time,
                             [](const HeadingTruth& h, double t) { return h.time < t; });
  if (it == headings.end()) return headings.back();
  if (it != headings.begin() && time - (it - 1)->time < it->time - time) --it;
  return *it;
}

}  // namespace venuesim
