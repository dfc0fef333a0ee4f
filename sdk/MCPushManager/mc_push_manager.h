// The push manager as the coordinator and the navigation manager reach it:
// it keeps the server, location and user hash it is given and takes zone
// reports. Push actions are not served yet: loading does nothing and no
// delegate call is ever made. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class MCLocation;

struct MCPushManagerDelegate {
  // didRangePushWithTitle:content:image:id:
  std::function<void(const std::string& title, const std::string& content,
                     const std::string& image, int64_t actionId)>
      didRangePushWithTitle;
};

class MCPushManager {
 public:
  static std::shared_ptr<MCPushManager> sharedInstance();
  virtual ~MCPushManager() = default;

  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCPushManagerDelegate> delegate);
  std::string server() const;
  std::string userHash() const;

  virtual void loadPushesFromServer() {}
  // A zone report line from the navigation tick's thread; returns at once.
  virtual void loadPushesByXML(const std::string& /*xml*/, const std::string& /*deviceId*/,
                               const std::string& /*deviceModel*/) {}

 private:
  mutable std::mutex mutex_;
  std::string server_, userHash_;
  std::shared_ptr<MCLocation> location_;
  std::weak_ptr<MCPushManagerDelegate> delegate_;
};
