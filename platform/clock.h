// The one clock every timer, throttle, offset and time-out reads. Process-wide (one owner,
// one lock); every function is safe from any thread.
//
// Real mode (the default) follows the system clocks. Manual mode (tests) holds wall and
// steady time still until `step`/`stepTo` moves both by the same amount; each step wakes the
// run loops and the dispatch scheduler so timers that became due fire. Use
// `platform::simulator::advance` (or `platform::testing::advance`, the same) to step and wait
// for the runtime to settle.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Wall time as the system gives it: seconds and microseconds since 1970 (UTC).
struct WallTime {
  int64_t seconds = 0;
  int32_t microseconds = 0;
  double toSeconds() const { return double(seconds) + double(microseconds) / 1e6; }
  friend bool operator==(const WallTime&, const WallTime&) = default;
};

// Broken-down calendar fields (like `struct tm`, but month 1..12 and the full year).
struct CalendarFields {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  int weekday = 4;  // 0 = Sunday
  int yearday = 0;  // 0..365
};

class Clock {
 public:
  using Duration = std::chrono::nanoseconds;

  static WallTime now();
  static double nowSeconds();          // now() as seconds since 1970
  static int minutesWest();            // the local time zone's minutes west of UTC
  static Duration steadyNow();         // monotonic, from an arbitrary origin

  static CalendarFields utcFields(int64_t seconds);    // gmtime
  static CalendarFields localFields(int64_t seconds);  // local time (manual: minutesWest)

  // Manual mode. `setManual` fixes the wall time and the zone; steady time continues from
  // where it is. Switch modes only while no timers are pending (test set-up / tear-down).
  static void setManual(WallTime start, int minutesWest = 0);
  static void setReal();
  static bool isManual();
  static void setMinutesWest(int minutesWest);  // manual mode only
  static void step(Duration d);                 // manual mode only; d >= 0
  static void stepTo(Duration steady);          // manual mode only; never goes back
};

}  // namespace platform
