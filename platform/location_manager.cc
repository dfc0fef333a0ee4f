#include "platform/location_manager.h"

#include <mutex>
#include <vector>

namespace platform {
namespace {

// The app's authorisation as the phone holds it, and the managers told of it.
struct Authorization {
  std::mutex mutex;
  int32_t status = kAuthorizationStatusNotDetermined;
  std::vector<std::weak_ptr<LocationManager>> managers;

  static Authorization& instance() {
    static Authorization* a = new Authorization;  // outlives every manager
    return *a;
  }
};

}  // namespace

LocationManager::LocationManager(AuthorizationCallback onAuthorization,
                                 std::shared_ptr<RunLoop> loop)
    : onAuthorization_(std::move(onAuthorization)), loop_(loop) {}

std::shared_ptr<LocationManager> LocationManager::create(AuthorizationCallback onAuthorization) {
  auto manager = std::make_shared<LocationManager>(std::move(onAuthorization), RunLoop::current());
  Authorization& a = Authorization::instance();
  std::lock_guard lock(a.mutex);
  std::erase_if(a.managers, [](const auto& w) { return w.expired(); });
  a.managers.push_back(manager);
  manager->report(a.status);
  return manager;
}

int32_t LocationManager::authorizationStatus() {
  Authorization& a = Authorization::instance();
  std::lock_guard lock(a.mutex);
  return a.status;
}

void LocationManager::report(int32_t status) {
  auto loop = loop_.lock();
  if (!loop) return;
  std::weak_ptr<LocationManager> weak = weak_from_this();
  loop->perform([weak, status] {
    if (auto self = weak.lock()) {
      if (self->onAuthorization_) self->onAuthorization_(status);
    }
  });
}

namespace location {

void setAuthorizationStatus(int32_t status) {
  Authorization& a = Authorization::instance();
  std::lock_guard lock(a.mutex);
  a.status = status;
  for (const auto& w : a.managers) {
    if (auto m = w.lock()) m->report(status);
  }
}

}  // namespace location
}  // namespace platform
