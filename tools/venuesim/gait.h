// Simulated phone motion sensors for a walk: accelerometer (m/s2, gravity
// included), gyroscope (rad/s) and magnetometer (microtesla) samples in the
// device frame, with the ground-truth steps and headings. Deterministic for a
// seed. Headings are map headings: radians, 0 along the floor's +y axis and
// pi/2 along +x; the floor's y axis lies at `floorAzimuth` east of true north.
#pragma once

#include <cstdint>
#include <vector>

namespace venuesim {

enum class SegmentKind { Walk, Stand, Turn, PhoneRotation };

// One timed piece of the walk. Turns are heading changes over the segment,
// positive to the right (clockwise seen from above).
struct WalkSegment {
  SegmentKind kind = SegmentKind::Stand;
  double duration = 0.0;  // s
  double speed = 0.0;     // m/s (Walk)
  double turn = 0.0;      // rad of body heading change (Walk, Turn)
  // Change of the phone's attitude in the hand (PhoneRotation): yaw to the
  // right, pitch of the top edge upwards, roll about the long axis.
  double phoneYaw = 0.0;
  double phonePitch = 0.0;
  double phoneRoll = 0.0;

  static WalkSegment Walk(double duration, double speed, double turn = 0.0);
  static WalkSegment Stand(double duration);
  static WalkSegment Turn(double duration, double angle);
  static WalkSegment RotatePhone(double duration, double yaw, double pitch, double roll);
};

struct GaitConfig {
  uint64_t seed = 1;
  double startTime = 1000.0;    // s of the first sample (positive)
  double startHeading = 0.0;    // map heading of the body at the start, rad
  double floorAzimuth = 0.0;    // rad, bearing of the floor's +y axis from true north
  double declination = 0.0;     // rad, magnetic north east of true north
  double accRate = 100.0;       // Hz; each rate should divide 1000 for whole ms
  double gyroRate = 100.0;
  double magnRate = 50.0;
  double fieldStrength = 48.0;  // microtesla
  double inclination = 1.05;    // rad, dip of the field below the horizon
  // Phone in the hand, relative to the walking direction: screen up, top
  // edge forward and raised by `phonePitch`.
  double phoneYaw = 0.0;
  double phonePitch = 0.5;
  double phoneRoll = 0.0;
  double accNoise = 0.04;       // m/s2 per sample
  double accBias = 0.03;        // m/s2, spread of the constant per-axis bias
  double gyroNoise = 0.005;     // rad/s
  double gyroBias = 0.001;      // rad/s (calibrated phone gyroscope)
  double magnNoise = 0.4;       // microtesla
  double magnBias = 1.0;        // microtesla of residual hard iron
  double legLength = 0.9;       // m
  // Steps per second relative to the typical adult at the same speed: above 1
  // a walker of short quick steps, below 1 one of long slow steps.
  double cadenceScale = 1.0;
  // Share of the vertical body motion that reaches the phone in the hand.
  double carriageGain = 0.8;
  double stepJitter = 0.03;     // relative spread of step duration and length
  // Amplitude of the vertical step acceleration (m/s2), whatever the step's
  // length: a walker who springs or glides. 0: from the body's rise.
  double swing = 0.0;
  // How much the phone sways in the hand against a steady grip.
  double swayScale = 1.0;
};

struct MotionSample {
  double time = 0.0;  // s, whole milliseconds
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  int type = 0;       // 101 accelerometer, 102 magnetometer, 103 gyroscope
};

struct StepTruth {
  double time = 0.0;     // heel strike, s
  double length = 0.0;   // m
  double heading = 0.0;  // map heading of the walk at the step
};

struct HeadingTruth {
  double time = 0.0;
  double bodyHeading = 0.0;    // walking direction
  double deviceHeading = 0.0;  // direction of the phone's top edge on the map
};

struct GaitRecording {
  std::vector<MotionSample> acc;
  std::vector<MotionSample> gyro;
  std::vector<MotionSample> magn;
  std::vector<StepTruth> steps;
  std::vector<HeadingTruth> headings;  // one per accelerometer sample
  double endTime = 0.0;

  // All samples of the three sensors in time order (accelerometer first,
  // then magnetometer, then gyroscope at equal times).
  std::vector<MotionSample> merged() const;
  // Truth at the nearest accelerometer sample time.
  HeadingTruth headingAt(double time) const;
};

// Typical step frequency (Hz) of an adult walking at `speed` m/s.
double StepFrequencyForSpeed(double speed);

GaitRecording SimulateWalk(const GaitConfig& config, const std::vector<WalkSegment>& segments);

}  // namespace venuesim
