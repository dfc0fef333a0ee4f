// A key -> value store of JSON values, kept in "<home>/Library/Preferences/<bundle id>.json".
// Reads and writes are safe from any thread; changes are in memory until `synchronize()`
// writes the whole store atomically (temporary file + rename). A missing or unreadable file
// reads as an empty store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/mutex.h"

namespace platform {

class UserDefaults {
 public:
  // The store of the current app home and bundle (re-opened when either changes).
  static std::shared_ptr<UserDefaults> standardUserDefaults();
  explicit UserDefaults(std::filesystem::path file);

  nlohmann::json objectForKey(const std::string& key) const;  // null when absent
  void setObject(const nlohmann::json& value, const std::string& key);  // null removes
  void removeObjectForKey(const std::string& key);

  // Absent or wrongly typed values read as 0, "" and false.
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  std::string stringForKey(const std::string& key) const;

  bool synchronize();  // false when the file could not be written
  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  // Lock order: writeMutex_ before mutex_ (synchronize copies the values under both).
  mutable Mutex mutex_;
  Mutex writeMutex_ ACQUIRED_BEFORE(mutex_);  // one synchronize at a time, so an older state never lands last
  nlohmann::json values_ GUARDED_BY(mutex_);
};

}  // namespace platform
