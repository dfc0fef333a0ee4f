// The process-wide list of venues, read from the loaded location's
// "venues.xml" after the categories: each venue is placed on its floor (x, y
// in floor units from "kx", "ky"), given its category and its picture, and
// appended to its floor's venue list. Each load starts from an empty list.
// Pictures are fetched only over http or https, each within `imageTimeout`
// seconds; anything else gives an empty image. The decoded pixels of all
// pictures of one load together stay within kMaxImagePixels: a picture that
// would pass the bound is skipped (an empty image, and a log line).
//
// Threads: `loadVenuesFromArchive` runs on the loading thread and blocks it
// while pictures are fetched; on the main thread the pictures are decoded on
// a thread of their own while the main run loop keeps turning, and a load
// started from the run loop during that wait is refused with a log line.
// Readers and setters are safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "MCModels/mc_venue.h"
#include "platform/image.h"
#include "platform/mutex.h"

class MCArchiveManager;
class MCCategoryManager;
class MCLocation;

class MCVenueManager {
 public:
  static constexpr double kImageTimeout = 10;  // seconds per picture
  static constexpr size_t kMaxImageBytes = 16u << 20;
  static constexpr int64_t kMaxImagePixels = 16LL << 20;  // 64 MB decoded, per load

  static std::shared_ptr<MCVenueManager> sharedInstance();
  MCVenueManager();
  virtual ~MCVenueManager() = default;

  void setLocation(std::shared_ptr<MCLocation> location);
  std::shared_ptr<MCLocation> location() const;
  void setArchiveManager(std::shared_ptr<MCArchiveManager> manager);
  void setCategoryManager(std::shared_ptr<MCCategoryManager> manager);
  std::shared_ptr<MCCategoryManager> categoryManager() const;
  void setImageTimeout(double seconds);

  virtual void loadVenuesFromArchive();
  std::vector<std::shared_ptr<MCVenue>> venues() const;

  // The picture at `url`, or none when the scheme is not http(s), the fetch
  // fails or takes longer than `timeout`, or the bytes are not an image of at
  // most kMaxImagePixels.
  static std::shared_ptr<platform::Image> fetchImage(const std::string& url, double timeout);

 private:
  // Lock order: loadMutex_ before mutex_.
  mutable platform::Mutex mutex_;
  platform::Mutex loadMutex_ ACQUIRED_BEFORE(mutex_);  // one load at a time
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  std::shared_ptr<MCArchiveManager> archiveManager_ GUARDED_BY(mutex_);
  std::shared_ptr<MCCategoryManager> categoryManager_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<MCVenue>> venues_ GUARDED_BY(mutex_);
  double imageTimeout_ GUARDED_BY(mutex_) = kImageTimeout;
};
