// The phone's Bluetooth central manager: the radio's power state and
// scanning for advertisements. State reports and advertisements run on the
// queue the owner gave (the main queue when none). As on a phone, a new
// central reports the radio's state once soon after it is made, and again on
// every change. The radio itself is process-wide and is driven by tests or by
// the simulated world through the functions of `platform::bluetooth`.
// Every member function is safe from any thread; `state()` is the state last
// reported to this central.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/mutex.h"

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

// Option keys (creation and scan options).
inline constexpr const char* kCentralManagerScanOptionAllowDuplicatesKey =
    "CBCentralManagerScanOptionAllowDuplicatesKey";

// What one advertisement carries. Service data maps a service UUID text to
// its bytes.
struct AdvertisementData {
  std::optional<std::string> localName;
  std::map<std::string, std::vector<uint8_t>> serviceData;
};

// The advertiser, as far as the central knows it.
struct Peripheral {
  std::string identifier;
  std::optional<std::string> name;
};

class BluetoothCentral : public std::enable_shared_from_this<BluetoothCentral> {
 public:
  using StateCallback = std::function<void(int64_t state)>;
  using DiscoverCallback =
      std::function<void(const Peripheral&, const AdvertisementData&, int64_t rssi)>;
  using Options = std::map<std::string, bool>;

  static std::shared_ptr<BluetoothCentral> create(StateCallback onState, QueuePtr queue,
                                                   Options options = {},
                                                   DiscoverCallback onDiscover = {});
  ~BluetoothCentral();

  int64_t state() const { return state_.load(); }
  const Options& options() const { return options_; }
  const QueuePtr& queue() const { return queue_; }

  // Scans for peripherals of any service (the services list is not used by
  // the kit and not kept). Without the duplicates option each peripheral is
  // reported once per scan. Advertisements arrive only while the radio is on.
  void scanForPeripheralsWithServices(const std::vector<std::string>& services,
                                      const Options& options);
  void stopScan();
  bool isScanning() const;

  // Internal to the radio: posts one state report / one advertisement onto
  // the central's queue.
  void report(int64_t state);
  void discover(const Peripheral& peripheral, const AdvertisementData& data, int64_t rssi);

  BluetoothCentral(StateCallback onState, QueuePtr queue, Options options,
                   DiscoverCallback onDiscover);

 private:
  StateCallback onState_;
  DiscoverCallback onDiscover_;
  QueuePtr queue_;
  Options options_;
  std::atomic<int64_t> state_{kCentralStateUnknown};
  // Lock order: the simulated radio's lock, then mutex_, then the lock of the central's
  // queue (a report is posted there under the radio's lock).
  mutable Mutex mutex_;
  bool scanning_ GUARDED_BY(mutex_) = false;
  bool duplicates_ GUARDED_BY(mutex_) = false;
  std::set<std::string> seen_ GUARDED_BY(mutex_);
};

namespace bluetooth {
// The simulated radio; every live central reports the new state on its queue.
void setRadioState(int64_t state);
int64_t radioState();
// One advertisement in the air: every scanning central hears it while the
// radio is powered on.
void advertise(const Peripheral& peripheral, const AdvertisementData& data, int64_t rssi);
}  // namespace bluetooth

}  // namespace platform
