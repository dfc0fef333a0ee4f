// The venue manager as the coordinator reaches it: it keeps the location.
// Venues and categories are not read yet: loading attaches none. Safe from
// any thread.
#pragma once

#include <memory>
#include <mutex>

class MCLocation;

class MCVenueManager {
 public:
  static std::shared_ptr<MCVenueManager> sharedInstance();
  virtual ~MCVenueManager() = default;

  void setLocation(std::shared_ptr<MCLocation> location);
  virtual void loadVenuesFromArchive() {}

 private:
  std::mutex mutex_;
  std::shared_ptr<MCLocation> location_;
};
