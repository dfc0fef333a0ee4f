// Length of a walking step from its rhythm and from how strongly the body
// rises and falls. The walker's centre of mass vaults over the standing leg
// like an inverted pendulum, so a step's length grows with the square root of
// the vertical excursion, and the excursion is the acceleration amplitude at
// the step frequency divided by that frequency squared. What is left, the leg
// length and how much of the motion reaches the phone, is one gain per walker:
// a typical one to start with, refined against the distance between radio
// fixes where they are available.
#pragma once

#include <cstddef>
#include <deque>

#include "wifipos/sensor_value.h"

namespace steplength {

// Typical walker's gain, m per sqrt(m/s2) per s.
constexpr double kTypicalGain = 0.845;
// Step periods outside this range are no walking rhythm (a missed or a
// spurious step); the last good period stands in for them.
constexpr double kMinPeriod = 0.3;
constexpr double kMaxPeriod = 1.2;
constexpr double kTypicalPeriod = 0.55;
constexpr double kMaxLength = 1.6;

// Amplitude of the component at 1/period of the accelerometer magnitudes in
// the `period` seconds ending at sample `last` (the mean taken out first).
// 0 with fewer than four samples in the window.
double StrideAmplitude(const std::deque<SensorValue>& samples, size_t last, double period);

// Step length for amplitude (m/s2) and period (s) with the walker's gain.
double Length(double amplitude, double period, double gain);

}  // namespace steplength
