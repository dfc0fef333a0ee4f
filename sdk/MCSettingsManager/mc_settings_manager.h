// The remote-settings manager as the coordinator reaches it: it keeps the
// server, location and user hash. Remote settings are not served yet: a
// request does nothing and the delegate is never called. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class MCLocation;

struct MCSettingsManagerDelegate {
  std::function<void(int64_t locationId)> loadNewLocation;
};

class MCSettingsManager {
 public:
  static std::shared_ptr<MCSettingsManager> sharedInstance();
  virtual ~MCSettingsManager() = default;

  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCSettingsManagerDelegate> delegate);

  virtual void makeConfigRequest() {}
  virtual void stopManager() {}

 private:
  std::mutex mutex_;
  std::string server_, userHash_;
  std::shared_ptr<MCLocation> location_;
  std::weak_ptr<MCSettingsManagerDelegate> delegate_;
};
