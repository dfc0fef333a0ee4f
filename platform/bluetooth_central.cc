#include "platform/bluetooth_central.h"

#include <vector>

#include "platform/mutex.h"

namespace platform {
namespace {

// The one radio of the process: its state and the centrals listening to it.
struct Radio {
  Mutex mutex;
  int64_t state GUARDED_BY(mutex) = kCentralStateUnknown;
  std::vector<std::weak_ptr<BluetoothCentral>> centrals GUARDED_BY(mutex);

  static Radio& instance() {
    static Radio* radio = new Radio;  // outlives every central, also at exit
    return *radio;
  }
};

bool optionSet(const BluetoothCentral::Options& options, const char* key) {
  auto it = options.find(key);
  return it != options.end() && it->second;
}

}  // namespace

BluetoothCentral::BluetoothCentral(StateCallback onState, QueuePtr queue, Options options,
                                   DiscoverCallback onDiscover)
    : onState_(std::move(onState)),
      onDiscover_(std::move(onDiscover)),
      queue_(queue ? std::move(queue) : dispatch::mainQueue()),
      options_(std::move(options)) {}

BluetoothCentral::~BluetoothCentral() = default;

std::shared_ptr<BluetoothCentral> BluetoothCentral::create(StateCallback onState, QueuePtr queue,
                                                           Options options,
                                                           DiscoverCallback onDiscover) {
  auto central = std::make_shared<BluetoothCentral>(std::move(onState), std::move(queue),
                                                    std::move(options), std::move(onDiscover));
  Radio& radio = Radio::instance();
  // Reports are posted under the radio's lock so every queue sees the
  // changes in the order they were made.
  MutexLock lock(radio.mutex);
  std::erase_if(radio.centrals, [](const auto& w) { return w.expired(); });
  radio.centrals.push_back(central);
  central->report(radio.state);
  return central;
}

void BluetoothCentral::scanForPeripheralsWithServices(const std::vector<std::string>&,
                                                      const Options& options) {
  MutexLock lock(mutex_);
  scanning_ = true;
  duplicates_ = optionSet(options, kCentralManagerScanOptionAllowDuplicatesKey);
  seen_.clear();
}

void BluetoothCentral::stopScan() {
  MutexLock lock(mutex_);
  scanning_ = false;
  seen_.clear();
}

bool BluetoothCentral::isScanning() const {
  MutexLock lock(mutex_);
  return scanning_;
}

void BluetoothCentral::report(int64_t state) {
  std::weak_ptr<BluetoothCentral> weak = weak_from_this();
  queue_->async([weak, state] {
    if (auto self = weak.lock()) {
      self->state_ = state;
      if (self->onState_) self->onState_(state);
    }
  });
}

void BluetoothCentral::discover(const Peripheral& peripheral, const AdvertisementData& data,
                                int64_t rssi) {
  {
    MutexLock lock(mutex_);
    if (!scanning_) return;
    if (!duplicates_ && !seen_.insert(peripheral.identifier).second) return;
  }
  std::weak_ptr<BluetoothCentral> weak = weak_from_this();
  queue_->async([weak, peripheral, data, rssi] {
    auto self = weak.lock();
    // A scan stopped after the advertisement was posted reports nothing more.
    if (!self || !self->isScanning()) return;
    if (self->onDiscover_) self->onDiscover_(peripheral, data, rssi);
  });
}

namespace bluetooth {

void setRadioState(int64_t state) {
  Radio& radio = Radio::instance();
  MutexLock lock(radio.mutex);
  radio.state = state;
  for (const auto& w : radio.centrals) {
    if (auto c = w.lock()) c->report(state);
  }
}

int64_t radioState() {
  Radio& radio = Radio::instance();
  MutexLock lock(radio.mutex);
  return radio.state;
}

void advertise(const Peripheral& peripheral, const AdvertisementData& data, int64_t rssi) {
  Radio& radio = Radio::instance();
  MutexLock lock(radio.mutex);
  if (radio.state != kCentralStatePoweredOn) return;
  std::erase_if(radio.centrals, [](const auto& w) { return w.expired(); });
  for (const auto& w : radio.centrals) {
    if (auto c = w.lock()) c->discover(peripheral, data, rssi);
  }
}

}  // namespace bluetooth
}  // namespace platform
