// Measurement logs of the navigation tick: records every tick's message into a
// numbered log beside the location's archive, and replays a log by putting its
// next record in place of each tick's message.
//
// Threads: `handleWsMsg` (and so `loadWsMsg`, `saveWsMsg`) runs on the
// navigation tick's thread; every other call may come from any thread at the
// same time (one internal lock, never held across a delegate call). The
// delegate's `stopNavigatingByLog` arrives on the tick's thread when a replay
// reaches its last record, after `navigate` went off.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "server/wscan.h"

class MCLocation;

struct MCLogManagerDelegate {
  std::function<void()> stopNavigatingByLog;
};

class MCLogManager {
 public:
  static std::shared_ptr<MCLogManager> manager();

  void setServer(const std::string& server);
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCLogManagerDelegate> delegate);
  void setFullPathToZip(const std::string& path);
  void setFullPathToDir(const std::string& path);
  std::string fullPathToDir() const;
  void setCheckPoint(const std::string& checkPoint);
  bool navigate() const;
  void setNavigate(bool navigate);
  uint64_t totalLogCount() const;

  // Recording. Returns the new log's full path ("" when it cannot be created).
  std::string startSaveLogToFile();
  void stopSaveLogToFile(WScanMessage message);
  void saveWsMsg(WScanMessage message);

  // Replay: loads `name` from the location's directory; the record count.
  uint64_t startNavigateByLog(const std::string& name, std::optional<platform::Error>* error);
  uint64_t wsMsgFromLog(const std::string& name, std::optional<platform::Error>* error);
  void loadWsMsg(WScanMessage& message);
  void handleWsMsg(WScanMessage& message);
  void stopNavigateByLog();

 private:
  mutable std::mutex mutex_;
  std::string server_, fullPathToDir_, fullPathToZip_, checkPoint_, logName_, directory_;
  std::shared_ptr<MCLocation> location_;
  std::string locationText_ = "0:0";
  std::weak_ptr<MCLogManagerDelegate> delegate_;
  bool navigate_ = false;
  bool savingLog_ = false;
  uint64_t curentIndex_ = 0;
  std::vector<WScanMessage> wsMsgArray_;
};
