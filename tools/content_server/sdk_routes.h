// The SDK's paths on the content server: app configuration (remote
// settings), beacon reports, push actions, the time service, the cloud
// set-up and zone-visit posts, and venue pictures. What each path answers is
// in `SdkReplies`, which a test may change between requests; every request
// that reaches these paths is recorded with its form fields decoded.
//
// Installed on a server with `install`; its handler runs on the server's
// worker threads; every member is safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "content_server/content_server.h"

namespace contentserver {

struct SdkPaths {
  std::string config = "/v0/apps/config";
  std::string byBeacon = "/v0/locations/byBeacon";
  std::string actions = "/actions";
  std::string time = "/tracking/time/time.php";
  std::string cloudSetup = "/device/cloudSetup";
  std::string zoneVisit = "/zones/visit";
  std::string images = "/images/";  // prefix; the rest names an entry of `SdkReplies::images`
};

struct SdkReplies {
  // Remote settings; `configBody`, when set, is sent as is instead.
  nlohmann::json config = {{"config_update_timeout", 3600}, {"post_rfsignals_enabled", true},
                           {"post_rfsignals_timeout", 40},  {"post_rfsignals_length", 30},
                           {"post_zone_timeout", 30}};
  std::string configBody;
  int configStatus = 200;
  std::string configType = "application/json";
  nlohmann::json actions = {{"data", {{"success", 1}, {"location", {{"sublocations", nlohmann::json::array()}}}}}};
  int byBeaconStatus = 200;
  nlohmann::json cloudSetup = {{"success", true}};
  int zoneVisitStatus = 200;
  bool zoneVisitNotJson = false;  // a 200 whose body is not JSON
  int64_t timeMillis = -1;        // -1: the machine's clock
  std::map<std::string, std::string> images;  // name -> bytes (PNG or JPEG)
};

struct SdkRecord {
  std::string method;
  std::string path;
  std::map<std::string, std::string> form;  // decoded form fields of a POST
  std::string body;
  int status = 0;
};

// "a=1&b=x%20y" -> {a: 1, b: x y}; '+' is a blank.
std::map<std::string, std::string> DecodeForm(const std::string& body);

class SdkRoutes : public std::enable_shared_from_this<SdkRoutes> {
 public:
  explicit SdkRoutes(SdkPaths paths = SdkPaths());
  void install(ContentServer& server);

  SdkReplies replies() const;
  void setReplies(const SdkReplies& replies);
  std::vector<SdkRecord> records() const;
  std::vector<SdkRecord> records(const std::string& path) const;
  const SdkPaths& paths() const { return paths_; }

  bool handle(const std::string& method, const std::string& path, const std::string& body, int* status,
              std::string* contentType, std::string* reply);

 private:
  const SdkPaths paths_;
  mutable std::mutex mutex_;
  SdkReplies replies_;
  std::vector<SdkRecord> records_;
};

}  // namespace contentserver
