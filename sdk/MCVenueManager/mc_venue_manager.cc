#include "MCVenueManager/mc_venue_manager.h"

std::shared_ptr<MCVenueManager> MCVenueManager::sharedInstance() {
  static const std::shared_ptr<MCVenueManager> instance = std::make_shared<MCVenueManager>();
  return instance;
}

void MCVenueManager::setLocation(std::shared_ptr<MCLocation> location) {
  std::lock_guard lock(mutex_);
  location_ = std::move(location);
}
