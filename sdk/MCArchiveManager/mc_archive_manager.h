// Reads members of the loaded location's map archive (or of any archive by
// path) and writes the location's beacons back into it as "beacons.xml",
// with "version.txt" marked as locally modified. Every operation opens the
// archive, works and closes it. Safe from any thread: operations on the
// manager's archive run one at a time; the class operation uses its own. The
// archive is the one the location named when it was last set.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCArchiveManager/m_archive_engine.h"
#include "platform/error.h"
#include "platform/mutex.h"

class MCLocation;

class MCArchiveManager {
 public:
  static std::shared_ptr<MCArchiveManager> sharedInstance();
  MCArchiveManager();

  // Writes "beacons.xml" (and "version.txt" for a modified location). False
  // when either could not be stored; the error is logged.
  bool updateBeaconsXML(std::optional<platform::Error>* error = nullptr);
  // Stores the text's bytes as the member; false (with the error) when the
  // archive cannot be opened or the member cannot be written or committed.
  bool zipWriteData(const std::string& text, const std::string& atFile, int64_t size,
                    std::optional<platform::Error>* error);
  std::optional<std::vector<uint8_t>> dataFromFile(const std::string& name,
                                                   std::optional<platform::Error>* error);
  static std::optional<std::vector<uint8_t>> dataFromFile(const std::string& name,
                                                          const std::string& at,
                                                          std::optional<platform::Error>* error);

  // The "beacons.xml" text of `location`; `stored` (the current member) gives the per-beacon attributes
  // of the stored file that the models do not carry (see the .cc).
  static std::string beaconsXML(const MCLocation& location, const std::string& stored);

  std::shared_ptr<MCLocation> location() const;
  void setLocation(std::shared_ptr<MCLocation> location);

 private:
  std::string archivePath() const REQUIRES(mutex_);

  mutable platform::Mutex mutex_;  // one archive span at a time; guards location_
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  std::string archiveFile_ GUARDED_BY(mutex_);  // the location's archive when it was set
  MArchiveEngine zip_ GUARDED_BY(mutex_);
};
