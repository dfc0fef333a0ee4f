// Beacon reports: while reports are on, every ranging batch adds one line per
// beacon (up to the report length) with the last known fix; every report
// period the lines are taken and posted with the device and location texts.
#include <cstdio>

#include "MCModels/mc_json.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "Device/mc_device.h"
#include "Foundation/mc_log.h"
#include "platform/clock.h"

using nlohmann::json;

namespace {

std::string WifiNetworkText(const std::optional<platform::WifiInfo>& wifi) {
  if (!wifi) return ",";
  std::string out = wifi->BSSID + ",";
  char hex[3];
  for (uint8_t b : wifi->SSIDDATA) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

}  // namespace

void MCSettingsManager::addNewBeacons(const std::vector<platform::Beacon>& beacons) {
  int64_t length;
  {
    platform::MutexLock lock(stateMutex_);
    const auto enabled = fields_.find("post_rfsignals_enabled");
    if (enabled == fields_.end() || !MCJSONBool(&enabled->second).value_or(false)) return;
    const auto it = fields_.find("post_rfsignals_length");
    length = it == fields_.end() ? 0 : MCJSONInteger(&it->second).value_or(0);
  }
  const auto fix = lastFix();
  if (!fix) return;
  char attributes[256];
  std::snprintf(attributes, sizeof attributes,
                "latitude=\"%.8f\" longitude=\"%.8f\" altitude=\"%.2f\" accuracy=\"%.2f\" deviceTime=\"%d\" ",
                fix->latitude, fix->longitude, fix->altitude, fix->horizontalAccuracy, int32_t(fix->timestamp));
  for (const platform::Beacon& b : beacons) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "major=\"%05d\" minor=\"%05d\"", int32_t(b.major), int32_t(b.minor));
    const std::string line = std::string("<bluetooth ") + attributes + numbers + " UUID=\"" + b.proximityUUID +
                             "\" battery=\"\" power=\"\"/>";
    platform::MutexLock lock(mutex_);
    if (beaconsCount_ >= length) return;
    beacons_ += line;
    ++beaconsCount_;
  }
}

void MCSettingsManager::makeByBeaconRequest() {
  std::string lines;
  {
    platform::MutexLock lock(mutex_);
    lines = std::exchange(beacons_, std::string());
    beaconsCount_ = 0;
  }
  std::shared_ptr<MCDevice> device;
  std::string userHash, url;
  {
    platform::MutexLock lock(stateMutex_);
    device = device_;
    userHash = userHash_;
    url = server_ + "/v0/locations/byBeacon";
  }
  const int32_t now = int32_t(platform::Clock::now().seconds);
  std::string text = "<device deviceId=\"" + (device ? device->deviceId : "") + "\" deviceTime=\"" +
                     std::to_string(now) + "\" userHash=\"" + userHash + "\" apiKey=\"" + userHash +
                     "\" wifi_network=\"" + WifiNetworkText(device ? device->wifiInfo : std::nullopt) + "\"/>";
  if (const auto fix = lastFix()) {
    char location[256];
    std::snprintf(location, sizeof location,
                  "<location latitude=\"%.8f\" longitude=\"%.8f\" altitude=\"%.2f\" accuracy=\"%.2f\" deviceTime=\"%d\"/>",
                  fix->latitude, fix->longitude, fix->altitude, fix->horizontalAccuracy, int32_t(fix->timestamp));
    text += location;
  }
  text += lines;
  const json parameters = {{"data", text}, {"format", "json"}};
  MC_LOG(1, "POST location by beacon from: " + url + " with params: " + parameters.dump() + "\n");
  manager_->POST(
      url, parameters,
      [](const MCHTTPRequestOperationManager::Operation&, const MCResponseObject& object) {
        const json* reply = std::any_cast<json>(&object);
        MC_LOG(1, "result: " + (reply ? reply->dump() : std::string("(none)")) + "\n");
      },
      [](const MCHTTPRequestOperationManager::Operation& operation, const platform::Error&) {
        MC_LOG(1, "ERROR! Can't POST location from server: " +
                      (operation ? operation->responseString().value_or("") : std::string()) + ". \n");
      });
}

int64_t MCSettingsManager::beaconsCount() const {
  platform::MutexLock lock(mutex_);
  return beaconsCount_;
}
