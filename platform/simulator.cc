#include "platform/simulator.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/runtime_internal.h"

namespace platform::simulator {
namespace {

std::optional<int64_t> nextDue() {
  auto a = detail::loopsNextDue();
  auto b = detail::schedulerNextDue();
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

WallTime now() { return Clock::now(); }

Clock::Duration steadyNow() { return Clock::steadyNow(); }

bool clockIsManual() { return Clock::isManual(); }

void useManualClock() { Clock::setManual(Clock::now()); }

void settle() {
  auto main = RunLoop::main();
  for (;;) {
    if (main->runPending() > 0) continue;
    // Idle only when every part was idle and no work changed hands while they were looked at.
    uint64_t before = detail::activity.load();
    if (detail::dispatchIdle() && detail::loopsIdle(main.get())) {
      if (!detail::loopReadyNow(*main) && detail::activity.load() == before) return;
      continue;
    }
    detail::loopWaitForWork(*main, 200000);
  }
}

void advance(Clock::Duration d) {
  if (!Clock::isManual()) throw std::logic_error("platform::simulator::advance needs the manual clock");
  int64_t target = detail::nowNs() + d.count();
  settle();
  for (;;) {
    auto next = nextDue();
    if (!next || *next > target) break;
    if (*next > detail::nowNs()) Clock::stepTo(Clock::Duration(*next));
    settle();
  }
  if (detail::nowNs() < target) Clock::stepTo(Clock::Duration(target));
  settle();
}

void advance(double seconds) { advance(Clock::Duration(detail::secondsToNs(seconds))); }

QueuePtr serialQueue(std::string label) { return dispatch::serialQueue(std::move(label)); }

void after(double seconds, const QueuePtr& queue, Block block) { dispatch::after(seconds, queue, std::move(block)); }

int32_t authorizationStatus() { return LocationManager::authorizationStatus(); }

void setAuthorizationStatus(int32_t status) { location::setAuthorizationStatus(status); }

void rangeBeacons(const std::vector<Beacon>& beacons) { location::rangeBeacons(beacons); }

void updateLocation(const Location& fix) { location::updateLocation(fix, false); }

void setRadioState(int64_t state) { bluetooth::setRadioState(state); }

void advertise(const Peripheral& peripheral, const AdvertisementData& data, int64_t rssi) {
  bluetooth::advertise(peripheral, data, rssi);
}

void feed(const AccelerometerData& sample) { motion::feed(sample); }

void feed(const GyroData& sample) { motion::feed(sample); }

void feed(const DeviceMotion& sample) { motion::feed(sample); }

}  // namespace platform::simulator
