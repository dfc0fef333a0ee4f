#include "MCSettingsManager/mc_settings_manager.h"

std::shared_ptr<MCSettingsManager> MCSettingsManager::sharedInstance() {
  static const std::shared_ptr<MCSettingsManager> instance = std::make_shared<MCSettingsManager>();
  return instance;
}

void MCSettingsManager::setServer(const std::string& server) {
  std::lock_guard lock(mutex_);
  server_ = server;
}

void MCSettingsManager::setUserHash(const std::string& userHash) {
  std::lock_guard lock(mutex_);
  userHash_ = userHash;
}

void MCSettingsManager::setLocation(std::shared_ptr<MCLocation> location) {
  std::lock_guard lock(mutex_);
  location_ = std::move(location);
}

void MCSettingsManager::setDelegate(std::weak_ptr<MCSettingsManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}
