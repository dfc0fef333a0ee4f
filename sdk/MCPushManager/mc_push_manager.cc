#include "MCPushManager/mc_push_manager.h"

std::shared_ptr<MCPushManager> MCPushManager::sharedInstance() {
  static const std::shared_ptr<MCPushManager> instance = std::make_shared<MCPushManager>();
  return instance;
}

void MCPushManager::setServer(const std::string& server) {
  std::lock_guard lock(mutex_);
  server_ = server;
}

void MCPushManager::setUserHash(const std::string& userHash) {
  std::lock_guard lock(mutex_);
  userHash_ = userHash;
}

void MCPushManager::setLocation(std::shared_ptr<MCLocation> location) {
  std::lock_guard lock(mutex_);
  location_ = std::move(location);
}

void MCPushManager::setDelegate(std::weak_ptr<MCPushManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::string MCPushManager::server() const {
  std::lock_guard lock(mutex_);
  return server_;
}

std::string MCPushManager::userHash() const {
  std::lock_guard lock(mutex_);
  return userHash_;
}
