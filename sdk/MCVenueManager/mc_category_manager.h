// The process-wide list of venue categories, read from the loaded location's
// "categories.xml". Each load starts from an empty list, so a location
// without the member has no categories (never the previous location's).
// Safe from any thread; loads run one at a time.
#pragma once

#include <memory>
#include <vector>

#include "MCModels/mc_venue.h"
#include "platform/mutex.h"

class MCArchiveManager;

class MCCategoryManager {
 public:
  static std::shared_ptr<MCCategoryManager> sharedInstance();
  MCCategoryManager();

  void loadCategoriesFromArchive();
  std::vector<std::shared_ptr<MCCategory>> categories() const;
  // The first category with this id, or none.
  std::shared_ptr<MCCategory> categoryWithId(int64_t id) const;
  std::shared_ptr<MCArchiveManager> archiveManager() const;
  void setArchiveManager(std::shared_ptr<MCArchiveManager> manager);

 private:
  mutable platform::Mutex mutex_;
  std::shared_ptr<MCArchiveManager> archiveManager_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<MCCategory>> categories_ GUARDED_BY(mutex_);
};
