// The coordinator's server side: push-token cloud set-up, the message queue,
// transfer jobs (through the server manager) and log removal.
#include <cstdio>

#include "MCLogManager/mc_log_manager.h"
#include "MainSDK/main_sdk.h"
#include "Device/mc_device.h"
#include "Foundation/mc_log.h"
#include "MCServerManager/mc_server_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "networking/http_request_operation_manager.h"
#include "platform/mutex.h"

void MainSDK::registerToken(const std::vector<uint8_t>& token) {
  {
    platform::MutexLock lock(stateMutex_);
    token_ = token;
  }
  std::string hex;
  for (uint8_t b : token) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->responseSerializer = MCJSONResponseSerializer::serializer();
  // The answer is one flag, from a plain-HTTP server: a reply past this bound fails as it
  // arrives, before the parser builds a value many times its size.
  manager->maximumResponseDataLength = 64 << 10;
  const nlohmann::json parameters = {{"deviceId", m_.device->deviceId},
                                     {"deviceModel", m_.device->model},
                                     {"token", hex},
                                     {"deviceType", "ios"}};
  manager->POST(
      MCServiceAddresses::cloudSetupURL(), parameters,
      [](const std::shared_ptr<MCHTTPRequestOperation>&, const MCResponseObject& reply) {
        const auto* json = std::any_cast<nlohmann::json>(&reply);
        if (json != nullptr && json->is_object() && json->contains("success")) {
          MC_LOG(2, "Cloud setup success!");
        } else {
          MC_LOG(1, "Cloud setup error!");
        }
      },
      [](const std::shared_ptr<MCHTTPRequestOperation>&, const platform::Error& error) {
        MC_LOG(2, error.description());
      });
}

std::vector<uint8_t> MainSDK::token() const {
  platform::MutexLock lock(stateMutex_);
  return token_;
}

void MainSDK::startMQueue() { m_.serverManager->startMQueue(); }
void MainSDK::stopMQueue() { m_.serverManager->stopMQueue(); }

int MainSDK::startLocationListLoader(const std::string& userHash) {
  {
    platform::MutexLock lock(stateMutex_);
    userHash_ = userHash;
  }
  m_.serverManager->setUserHash(userHash);
  return m_.serverManager->startLocationListLoader();
}

int MainSDK::startLocationLoader(const std::string& userHash, const std::string& location,
                                 bool forced) {
  {
    platform::MutexLock lock(stateMutex_);
    userHash_ = userHash;
  }
  m_.serverManager->setUserHash(userHash);
  return m_.serverManager->startContentLoader(location, forced);
}

int MainSDK::startLocationLoader(const std::string& userHash, const std::string& location,
                                 bool forced, const std::string& toFile) {
  {
    platform::MutexLock lock(stateMutex_);
    userHash_ = userHash;
  }
  m_.serverManager->setUserHash(userHash);
  MC_LOG(2, "Start load content with userHash: " + userHash + " and locationId: " + location + "\n");
  return m_.serverManager->loader()->startLoadLocation(location, m_.serverManager->server(), userHash,
                                                       toFile, forced);
}

// The server manager's current user hash goes with an upload, not the one given.
int MainSDK::startLocationUploader(const std::string&, const std::string& location, bool forced) {
  return m_.serverManager->startContentUploader(location, forced);
}

int MainSDK::checkLocationLoader(int id) { return m_.serverManager->checkContentLoader(id); }
int MainSDK::checkLocationUploader(int id) { return m_.serverManager->checkContentUploader(id); }
void MainSDK::stopLocationLoader(int id) { m_.serverManager->stopContentLoader(id); }
void MainSDK::stopLocationUploader(int id) { m_.serverManager->stopContentUploader(id); }

void MainSDK::removeAllLogs(std::optional<platform::Error>* error) {
  m_.logManager->removeAllLogs(error);
}

void MainSDK::removeLog(const std::string& name, std::optional<platform::Error>* error) {
  m_.logManager->removeLog(name, error);
}
