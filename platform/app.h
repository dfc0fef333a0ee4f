// Values the host's application, bundle and device give: settable by the host and by tests,
// read from any thread (one process-wide lock). Application state changes post
// `Application::didEnterBackgroundNotification` / `willEnterForegroundNotification` /
// `didBecomeActiveNotification` on the default notification centre, on the setter's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

class Application {
 public:
  static ApplicationState applicationState();  // Active until set
  static void setApplicationState(ApplicationState state);

  static const char* const didEnterBackgroundNotification;
  static const char* const willEnterForegroundNotification;
  static const char* const didBecomeActiveNotification;
  static const char* const willResignActiveNotification;
};

class Bundle {
 public:
  static std::string bundleName();        // "Marvisto" until set
  static std::string bundleIdentifier();  // "com.marvisto.app" until set
  static void setBundleName(std::string name);
  static void setBundleIdentifier(std::string identifier);
};

// The current Wi-Fi network's information (as the phone gives it: BSSID, SSID, SSID bytes).
struct WifiInfo {
  std::string BSSID;
  std::string SSID;
  std::vector<uint8_t> SSIDDATA;
};

class Device {
 public:
  static std::string systemVersion();  // the kernel release (uname) until set
  static void setSystemVersion(std::string version);
  static float batteryLevel();         // 0..1, -1 unknown (the default)
  static void setBatteryLevel(float level);
  static std::string machine();        // hardware model: uname's machine until set
  static void setMachine(std::string machine);
  // The vendor identifier: an upper-case UUID text, made once per app home and kept in
  // <home>/Library/vendor-id, or what was set.
  static std::string identifierForVendor();
  static void setIdentifierForVendor(std::string uuid);  // empty: back to the stored one
  static std::optional<WifiInfo> currentWifi();          // none unless set
  static void setCurrentWifi(std::optional<WifiInfo> info);
  // Back to the defaults (tests).
  static void reset();
};

}  // namespace platform
