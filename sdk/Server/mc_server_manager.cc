#include "Server/mc_server_manager.h"

std::shared_ptr<MCServerManager> MCServerManager::sharedInstance() {
  static const std::shared_ptr<MCServerManager> instance = std::make_shared<MCServerManager>();
  return instance;
}

void MCServerManager::setServer(const std::string& server) {
  std::lock_guard lock(mutex_);
  server_ = server;
}

void MCServerManager::setUserHash(const std::string& userHash) {
  std::lock_guard lock(mutex_);
  userHash_ = userHash;
}

std::string MCServerManager::server() const {
  std::lock_guard lock(mutex_);
  return server_;
}

std::string MCServerManager::userHash() const {
  std::lock_guard lock(mutex_);
  return userHash_;
}
