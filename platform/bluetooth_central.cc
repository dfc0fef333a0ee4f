#include "platform/bluetooth_central.h"

#include <mutex>
#include <vector>

namespace platform {
namespace {

// The one radio of the process: its state and the centrals listening to it.
struct Radio {
  std::mutex mutex;
  int64_t state = kCentralStateUnknown;
  std::vector<std::weak_ptr<BluetoothCentral>> centrals;

  static Radio& instance() {
    static Radio* radio = new Radio;  // outlives every central, also at exit
    return *radio;
  }
};

}  // namespace

BluetoothCentral::BluetoothCentral(StateCallback onState, QueuePtr queue, Options options)
    : onState_(std::move(onState)),
      queue_(queue ? std::move(queue) : dispatch::mainQueue()),
      options_(std::move(options)) {}

BluetoothCentral::~BluetoothCentral() = default;

std::shared_ptr<BluetoothCentral> BluetoothCentral::create(StateCallback onState, QueuePtr queue,
                                                           Options options) {
  auto central =
      std::make_shared<BluetoothCentral>(std::move(onState), std::move(queue), std::move(options));
  Radio& radio = Radio::instance();
  // Reports are posted under the radio's lock so every queue sees the
  // changes in the order they were made.
  std::lock_guard lock(radio.mutex);
  std::erase_if(radio.centrals, [](const auto& w) { return w.expired(); });
  radio.centrals.push_back(central);
  central->report(radio.state);
  return central;
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

namespace bluetooth {

void setRadioState(int64_t state) {
  Radio& radio = Radio::instance();
  std::lock_guard lock(radio.mutex);
  radio.state = state;
  for (const auto& w : radio.centrals) {
    if (auto c = w.lock()) c->report(state);
  }
}

int64_t radioState() {
  Radio& radio = Radio::instance();
  std::lock_guard lock(radio.mutex);
  return radio.state;
}

}  // namespace bluetooth
}  // namespace platform
