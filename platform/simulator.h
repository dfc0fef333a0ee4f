// What a simulated phone needs of the platform's stand-ins, and nothing more: the clock
// (read it, make it manual, step it until everything due has run), a serial queue to
// deliver on, and the hardware side of the location manager, the Bluetooth radio and the
// motion sensors. The simulated world is a library of its own over the kit's; the kit's
// library exports this interface on purpose (alone of the platform, beside the public
// headers), so the world drives the one clock, run loops and managers the kit uses instead
// of linking a second platform whose process-wide state would exist twice.
//
// Stepping: under the manual clock, `advance(d)` moves time forward to each due time of
// every run-loop timer, dispatch timer and `after` block in turn (in due-time order), and at
// each one pumps the main run loop and waits until the worker queues and other running loops
// are idle, so everything that became due has fired, deterministically, before it returns.
// Call `settle` and `advance` from the main thread (the one that called
// `RunLoop::setMainThread()`); the rest is safe from any thread, as the functions it stands
// for are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bluetooth_central.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/location_manager.h"
#include "platform/motion_manager.h"

namespace platform::simulator {

// The clock.
WallTime now();
Clock::Duration steadyNow();
bool clockIsManual();
// Manual from the present on: time moves only in `advance`.
void useManualClock();
// Pumps the main run loop until it and the workers are idle at the current time.
void settle();
// Manual clock only (std::logic_error otherwise); see the file's description.
void advance(Clock::Duration d);
void advance(double seconds);

// Deliveries: a new serial queue, and a block run on it once `seconds` of clock time passed.
QueuePtr serialQueue(std::string label);
void after(double seconds, const QueuePtr& queue, Block block);

// The phone's hardware, as platform::location, platform::bluetooth and platform::motion
// drive it.
int32_t authorizationStatus();
void setAuthorizationStatus(int32_t status);
void rangeBeacons(const std::vector<Beacon>& beacons);
void updateLocation(const Location& fix);
void setRadioState(int64_t state);
void advertise(const Peripheral& peripheral, const AdvertisementData& data, int64_t rssi);
void feed(const AccelerometerData& sample);
void feed(const GyroData& sample);
void feed(const DeviceMotion& sample);

}  // namespace platform::simulator
