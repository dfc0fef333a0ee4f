#include "platform/app.h"

#include <sys/utsname.h>

#include <fstream>
#include <random>

#include "platform/mutex.h"
#include "platform/notification_center.h"
#include "platform/paths.h"

namespace platform {
namespace {

struct Values {
  Mutex mutex;
  ApplicationState state GUARDED_BY(mutex) = ApplicationState::Active;
  std::string bundleName GUARDED_BY(mutex) = "Marvisto";
  std::string bundleIdentifier GUARDED_BY(mutex) = "com.marvisto.app";
  std::string systemVersion GUARDED_BY(mutex);  // empty: uname
  float batteryLevel GUARDED_BY(mutex) = -1;
  std::string machine GUARDED_BY(mutex);  // empty: uname
  std::string vendorId GUARDED_BY(mutex);  // empty: the stored one
  std::optional<WifiInfo> wifi GUARDED_BY(mutex);
};

Values& values() {
  static Values* v = new Values;
  return *v;
}

std::string newUuid() {
  std::random_device rd;
  std::mt19937_64 rng((uint64_t(rd()) << 32) ^ rd());
  uint8_t b[16];
  for (auto& x : b) x = uint8_t(rng());
  b[6] = (b[6] & 0x0F) | 0x40;  // version 4
  b[8] = (b[8] & 0x3F) | 0x80;  // variant 1
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += hex[b[i] >> 4];
    s += hex[b[i] & 15];
  }
  return s;
}

bool isUuid(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

const char* const Application::didEnterBackgroundNotification =
    "MarvistoApplicationDidEnterBackgroundNotification";
const char* const Application::willEnterForegroundNotification =
    "MarvistoApplicationWillEnterForegroundNotification";
const char* const Application::didBecomeActiveNotification =
    "MarvistoApplicationDidBecomeActiveNotification";
const char* const Application::willResignActiveNotification =
    "MarvistoApplicationWillResignActiveNotification";

ApplicationState Application::applicationState() {
  MutexLock lk(values().mutex);
  return values().state;
}

void Application::setApplicationState(ApplicationState state) {
  ApplicationState old;
  {
    MutexLock lk(values().mutex);
    old = values().state;
    values().state = state;
  }
  if (old == state) return;
  auto center = NotificationCenter::defaultCenter();
  using S = ApplicationState;
  if (old == S::Active) center->postNotificationName(willResignActiveNotification);
  if (state == S::Background) center->postNotificationName(didEnterBackgroundNotification);
  if (old == S::Background) center->postNotificationName(willEnterForegroundNotification);
  if (state == S::Active) center->postNotificationName(didBecomeActiveNotification);
}

std::string Bundle::bundleName() {
  MutexLock lk(values().mutex);
  return values().bundleName;
}

std::string Bundle::bundleIdentifier() {
  MutexLock lk(values().mutex);
  return values().bundleIdentifier;
}

void Bundle::setBundleName(std::string name) {
  MutexLock lk(values().mutex);
  values().bundleName = std::move(name);
}

void Bundle::setBundleIdentifier(std::string identifier) {
  MutexLock lk(values().mutex);
  values().bundleIdentifier = std::move(identifier);
}

std::string Device::systemVersion() {
  {
    MutexLock lk(values().mutex);
    if (!values().systemVersion.empty()) return values().systemVersion;
  }
  utsname u{};
  return uname(&u) == 0 ? std::string(u.release) : std::string();
}

void Device::setSystemVersion(std::string version) {
  MutexLock lk(values().mutex);
  values().systemVersion = std::move(version);
}

float Device::batteryLevel() {
  MutexLock lk(values().mutex);
  return values().batteryLevel;
}

void Device::setBatteryLevel(float level) {
  MutexLock lk(values().mutex);
  values().batteryLevel = level;
}

std::string Device::machine() {
  {
    MutexLock lk(values().mutex);
    if (!values().machine.empty()) return values().machine;
  }
  utsname u{};
  return uname(&u) == 0 ? std::string(u.machine) : std::string();
}

void Device::setMachine(std::string machine) {
  MutexLock lk(values().mutex);
  values().machine = std::move(machine);
}

std::string Device::identifierForVendor() {
  MutexLock lk(values().mutex);
  if (!values().vendorId.empty()) return values().vendorId;
  // Kept per app home, so it is stable across runs of the same installation.
  auto file = Paths::library() / "vendor-id";
  std::string id;
  std::ifstream(file) >> id;
  if (isUuid(id)) return id;
  id = newUuid();
  writeFileAtomically(file, id.data(), id.size(), 0600);
  return id;
}

void Device::setIdentifierForVendor(std::string uuid) {
  MutexLock lk(values().mutex);
  values().vendorId = std::move(uuid);
}

std::optional<WifiInfo> Device::currentWifi() {
  MutexLock lk(values().mutex);
  return values().wifi;
}

void Device::setCurrentWifi(std::optional<WifiInfo> info) {
  MutexLock lk(values().mutex);
  values().wifi = std::move(info);
}

void Device::reset() {
  MutexLock lk(values().mutex);
  values().systemVersion.clear();
  values().batteryLevel = -1;
  values().machine.clear();
  values().vendorId.clear();
  values().wifi.reset();
  values().state = ApplicationState::Active;
}

}  // namespace platform
