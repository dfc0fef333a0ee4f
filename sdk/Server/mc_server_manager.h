// The server manager as the coordinator reaches it: it keeps the server and
// user hash and is told when the message queue starts and stops. The queue
// and the heat-map posts are not served yet: `addMQMessage` takes its copy and
// drops it. Safe from any thread; returns at once.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "server/wscan.h"

class MCServerManager {
 public:
  static std::shared_ptr<MCServerManager> sharedInstance();
  virtual ~MCServerManager() = default;

  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  std::string server() const;
  std::string userHash() const;

  virtual void startMQueue() {}
  virtual void stopMQueue() {}
  // The heat-map step of a successful tick, with the manager's own copy.
  virtual void addMQMessage(WScanMessage /*message*/) {}

 private:
  mutable std::mutex mutex_;
  std::string server_, userHash_;
};
