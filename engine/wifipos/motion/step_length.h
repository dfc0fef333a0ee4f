// Limits of a walking step: the rhythm a step period must keep to count, and
// the longest step any walker takes. The length itself comes from each step's
// swing and the walker's gain (pedometer.h, step_calibration.h).
#pragma once

namespace steplength {

// Step periods outside this range are no walking rhythm (a missed or a
// spurious step); the last good period stands in for them.
constexpr double kMinPeriod = 0.3;
constexpr double kMaxPeriod = 1.2;
constexpr double kTypicalPeriod = 0.55;
constexpr double kMaxLength = 1.6;

}  // namespace steplength
