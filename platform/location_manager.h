// The phone's location manager, as far as the kit needs it yet: the app's
// location authorisation status and its change callback. As on a phone, a new
// manager reports the current status once soon after it is made, and again on
// every change; reports run on the run loop of the thread that made the manager.
// The status is process-wide and is driven by tests or by the simulated world
// through `location::setAuthorizationStatus`. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/run_loop.h"

namespace platform {

// Authorisation statuses.
enum : int32_t {
  kAuthorizationStatusNotDetermined = 0,
  kAuthorizationStatusRestricted = 1,
  kAuthorizationStatusDenied = 2,
  kAuthorizationStatusAuthorizedAlways = 3,
  kAuthorizationStatusAuthorizedWhenInUse = 4,
};

class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  using AuthorizationCallback = std::function<void(int32_t status)>;

  // Made on the calling thread; its reports go to that thread's run loop.
  static std::shared_ptr<LocationManager> create(AuthorizationCallback onAuthorization);
  static int32_t authorizationStatus();

  // Internal to the status holder: posts one report onto the manager's loop.
  void report(int32_t status);

  LocationManager(AuthorizationCallback onAuthorization, std::shared_ptr<RunLoop> loop);

 private:
  AuthorizationCallback onAuthorization_;
  std::weak_ptr<RunLoop> loop_;
};

namespace location {
void setAuthorizationStatus(int32_t status);
}  // namespace location

}  // namespace platform
