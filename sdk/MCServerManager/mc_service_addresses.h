/// @file
/// The service's fixed addresses: the API server a host gets when it names
/// none, the device-registration server's cloud set-up endpoint, the
/// zone-visit endpoint and the "target-ref" value its posts carry. Each is a
/// named default that a host (or a test, or the demo) replaces before use, so
/// that nothing the kit sends has to leave the machine. Process-wide, one lock;
/// safe from any thread. A value set to "" goes back to its default.
#pragma once

#include <string>

/// The service's addresses, read and replaced process-wide.
struct MCServiceAddresses {
  /// The API server of a facade made without one.
  static constexpr const char* kDefaultApiServer = "https://api.marvisto.com";
  /// Where the device registers itself.
  static constexpr const char* kDefaultCloudSetupURL = "http://devices.marvisto.com/device/cloudSetup";
  /// Where zone visits are posted.
  static constexpr const char* kDefaultZoneVisitURL = "https://api.marvisto.com/v0/zones/visit";
  /// The "target-ref" value of zone-visit posts.
  static constexpr const char* kDefaultZoneVisitTargetRef = "marvisto-sdk";

  static std::string apiServer();           ///< The API server now in use.
  static std::string cloudSetupURL();       ///< The cloud set-up endpoint now in use.
  static std::string zoneVisitURL();        ///< The zone-visit endpoint now in use.
  static std::string zoneVisitTargetRef();  ///< The "target-ref" value now in use.

  static void setApiServer(const std::string& value);      ///< Replaces the API server.
  static void setCloudSetupURL(const std::string& value);  ///< Replaces the cloud set-up endpoint.
  static void setZoneVisitURL(const std::string& value);   ///< Replaces the zone-visit endpoint.
  /// Replaces the "target-ref" value.
  static void setZoneVisitTargetRef(const std::string& value);
  /// Every value back to its default.
  static void reset();
};
