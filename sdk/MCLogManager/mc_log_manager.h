// Measurement logs of the navigation tick: records every tick's message into a
// numbered log beside the location's archive, and replays a log by putting its
// next record in place of each tick's message.
//
// Threads: `handleWsMsg` (and so `loadWsMsg`, `saveWsMsg`) runs on the
// navigation tick's thread; every other call may come from any thread at the
// same time (one internal lock, never held across a delegate call). The
// delegate's `stopNavigatingByLog` arrives on the tick's thread when a replay
// reaches its last record, after `navigate` went off. The server-clock reply
// arrives on the main queue.
//
// Records carry the message's time on the server's clock whenever the offset
// to it is known (after a successful `loadTimeFromServer`), and "" before.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/mutex.h"
#include "server/wscan.h"

class MCLocation;

// Device clock minus server clock.
struct MCDeviceOffset {
  int64_t seconds = 0;
  int32_t microseconds = 0;
};

struct MCLogManagerDelegate {
  std::function<void()> stopNavigatingByLog;
};

class MCLogManager : public std::enable_shared_from_this<MCLogManager> {
 public:
  static std::shared_ptr<MCLogManager> manager();

  // A new non-empty server also asks it for its clock (`loadTimeFromServer`).
  void setServer(const std::string& server);
  std::string server() const;
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCLogManagerDelegate> delegate);
  void setFullPathToZip(const std::string& path);
  void setFullPathToDir(const std::string& path);
  std::string fullPathToDir() const;
  void setCheckPoint(const std::string& checkPoint);
  bool navigate() const;
  void setNavigate(bool navigate);
  uint64_t totalLogCount() const;
  std::optional<MCDeviceOffset> deviceOffset() const;  // none until the server answered
  void setDeviceOffset(std::optional<MCDeviceOffset> offset);

  // Asks `server` + "/tracking/time/time.php" for its clock in milliseconds
  // since 1970 and keeps device minus server time; a failed or malformed
  // reply keeps what was known.
  void loadTimeFromServer();
  // The time service's reply: milliseconds since 1970, digits only (blanks
  // around them allowed); none for anything else.
  static std::optional<int64_t> parseServerTime(const std::string& body);
  // The server-clock text of a record ("" while the offset is unknown).
  std::string serverTimeOf(const WScanMessage& message) const;

  // Recording. Returns the new log's full path; "" (and recording stays off)
  // when no location is loaded or the file cannot be created.
  std::string startSaveLogToFile();
  void stopSaveLogToFile(WScanMessage message);
  void saveWsMsg(WScanMessage message);

  // Replay: loads `name` from the location's directory; the record count.
  uint64_t startNavigateByLog(const std::string& name, std::optional<platform::Error>* error);
  uint64_t wsMsgFromLog(const std::string& name, std::optional<platform::Error>* error);
  void loadWsMsg(WScanMessage& message);
  void handleWsMsg(WScanMessage& message);
  // Ends a replay. Offered to hosts; the coordinator clears `navigate` itself.
  void stopNavigateByLog();

  // Removes every ".log" file of the location's directory (the first failure
  // ends the run and is reported), or the one named when it ends in ".log".
  void removeAllLogs(std::optional<platform::Error>* error);
  void removeLog(const std::string& name, std::optional<platform::Error>* error);

 private:
  mutable platform::Mutex mutex_;
  std::string serverTimeLocked(const WScanMessage& message) const REQUIRES(mutex_);

  std::optional<MCDeviceOffset> deviceOffset_ GUARDED_BY(mutex_);
  std::string server_ GUARDED_BY(mutex_);
  std::string fullPathToDir_ GUARDED_BY(mutex_);
  std::string fullPathToZip_ GUARDED_BY(mutex_);
  std::string checkPoint_ GUARDED_BY(mutex_);
  std::string logName_ GUARDED_BY(mutex_);
  std::string directory_ GUARDED_BY(mutex_);
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  std::string locationText_ GUARDED_BY(mutex_) = "0:0";
  std::weak_ptr<MCLogManagerDelegate> delegate_ GUARDED_BY(mutex_);
  bool navigate_ GUARDED_BY(mutex_) = false;
  bool savingLog_ GUARDED_BY(mutex_) = false;
  uint64_t curentIndex_ GUARDED_BY(mutex_) = 0;
  std::vector<WScanMessage> wsMsgArray_ GUARDED_BY(mutex_);
};
