// The phone's Bluetooth central manager: the radio's power state, reported to
// the owner through a callback on the queue it gave (the main queue when none).
// As on a phone, a new central reports the radio's state once soon after it is
// made, and again on every change. The radio itself is process-wide and is
// driven by tests or by the simulated world through `bluetooth::setRadioState`.
// Every function is safe from any thread; `state()` is the state last reported
// to this central.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/dispatch.h"

namespace platform {

// The central manager's states.
enum : int64_t {
  kCentralStateUnknown = 0,
  kCentralStateResetting = 1,
  kCentralStateUnsupported = 2,
  kCentralStateUnauthorized = 3,
  kCentralStatePoweredOff = 4,
  kCentralStatePoweredOn = 5,
};

class BluetoothCentral : public std::enable_shared_from_this<BluetoothCentral> {
 public:
  using StateCallback = std::function<void(int64_t state)>;
  using Options = std::map<std::string, bool>;

  static std::shared_ptr<BluetoothCentral> create(StateCallback onState, QueuePtr queue,
                                                   Options options = {});
  ~BluetoothCentral();

  int64_t state() const { return state_.load(); }
  const Options& options() const { return options_; }
  const QueuePtr& queue() const { return queue_; }

  // Internal to the radio: posts one state report onto the central's queue.
  void report(int64_t state);

  BluetoothCentral(StateCallback onState, QueuePtr queue, Options options);

 private:
  StateCallback onState_;
  QueuePtr queue_;
  Options options_;
  std::atomic<int64_t> state_{kCentralStateUnknown};
};

namespace bluetooth {
// The simulated radio; every live central reports the new state on its queue.
void setRadioState(int64_t state);
int64_t radioState();
}  // namespace bluetooth

}  // namespace platform
