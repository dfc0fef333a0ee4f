// The service's fixed addresses: the API server a host gets when it names
// none, the device-registration server's cloud set-up endpoint, the
// zone-visit endpoint and the "target-ref" value its posts carry. Each is a
// named default that a host (or a test, or the demo) replaces before use, so
// that nothing the kit sends has to leave the machine. Process-wide, one lock;
// safe from any thread. A value set to "" goes back to its default.
#pragma once

#include <string>

struct MCServiceAddresses {
  static constexpr const char* kDefaultApiServer = "https://api.marvisto.com";
  static constexpr const char* kDefaultCloudSetupURL = "http://devices.marvisto.com/device/cloudSetup";
  static constexpr const char* kDefaultZoneVisitURL = "https://api.marvisto.com/v0/zones/visit";
  static constexpr const char* kDefaultZoneVisitTargetRef = "marvisto-sdk";

  static std::string apiServer();
  static std::string cloudSetupURL();
  static std::string zoneVisitURL();
  static std::string zoneVisitTargetRef();

  static void setApiServer(const std::string& value);
  static void setCloudSetupURL(const std::string& value);
  static void setZoneVisitURL(const std::string& value);
  static void setZoneVisitTargetRef(const std::string& value);
  // Every value back to its default.
  static void reset();
};
