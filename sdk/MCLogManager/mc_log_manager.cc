#include "MCLogManager/mc_log_manager.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "MCModels/mc_location.h"
#include "Foundation/mc_log.h"
#include "platform/app.h"

namespace fs = std::filesystem;

namespace {

const char* const kBuildVersion = "0674104e";

// Records begin at their XML declaration; logs without declarations are split at the
// blank lines that end each record.
std::vector<std::string> SplitRecords(const std::string& text) {
  std::vector<std::string> pieces;
  const std::string mark = text.find("<?xml") != std::string::npos ? "<?xml" : "\n\n\n";
  const bool leading = mark == "<?xml";
  size_t start = leading ? text.find(mark) : 0;
  while (start != std::string::npos && start < text.size()) {
    size_t next = text.find(mark, start + (leading ? mark.size() : 0));
    pieces.push_back(text.substr(start, next == std::string::npos ? std::string::npos : next - start));
    start = next == std::string::npos ? next : next + (leading ? 0 : mark.size());
  }
  return pieces;
}

bool Blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

std::shared_ptr<MCLogManager> MCLogManager::manager() {
  static const std::shared_ptr<MCLogManager> instance = std::make_shared<MCLogManager>();
  return instance;
}

void MCLogManager::setServer(const std::string& server) {
  std::lock_guard lock(mutex_);
  server_ = server;
}

void MCLogManager::setLocation(std::shared_ptr<MCLocation> location) {
  // The record's location text is taken now: the tick must not read the shared model
  // while a load rebuilds it. Setting the location again refreshes it.
  std::string text = "0:0";
  if (location) {
    text = std::to_string(location->id) + ":" + std::to_string(location->version);
    if (location->modified) text += "+";
  }
  std::lock_guard lock(mutex_);
  location_ = std::move(location);
  locationText_ = std::move(text);
}

void MCLogManager::setDelegate(std::weak_ptr<MCLogManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void MCLogManager::setFullPathToZip(const std::string& path) {
  std::lock_guard lock(mutex_);
  fullPathToZip_ = path;
}

void MCLogManager::setFullPathToDir(const std::string& path) {
  std::lock_guard lock(mutex_);
  fullPathToDir_ = path;
}

std::string MCLogManager::fullPathToDir() const {
  std::lock_guard lock(mutex_);
  return fullPathToDir_;
}

void MCLogManager::setCheckPoint(const std::string& checkPoint) {
  std::lock_guard lock(mutex_);
  checkPoint_ = checkPoint;
}

bool MCLogManager::navigate() const {
  std::lock_guard lock(mutex_);
  return navigate_;
}

void MCLogManager::setNavigate(bool navigate) {
  std::lock_guard lock(mutex_);
  navigate_ = navigate;
}

uint64_t MCLogManager::totalLogCount() const {
  std::lock_guard lock(mutex_);
  return wsMsgArray_.size();
}

std::string MCLogManager::startSaveLogToFile() {
  std::lock_guard lock(mutex_);
  directory_ = fs::path(fullPathToDir_).filename().string();
  std::error_code ec;
  size_t n = 0;
  for (auto it = fs::directory_iterator(fullPathToDir_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  // Never overwrite an earlier log: the next free number from the entry count on.
  size_t number = n > 0 ? n - 1 : 0;
  fs::path path;
  do {
    path = fs::path(fullPathToDir_) / (directory_ + "." + std::to_string(number++) + ".log");
  } while (fs::exists(path, ec));
  std::ofstream created(path, std::ios::binary);
  if (!created) {
    MC_LOG(1, "ERROR! Can't save data to log file:" + path.filename().string() + "\n");
    return "";
  }
  logName_ = path.filename().string();
  savingLog_ = true;
  checkPoint_.clear();
  return path.string();
}

void MCLogManager::saveWsMsg(WScanMessage message) {
  std::lock_guard lock(mutex_);
  if (!savingLog_) return;
  message.checkPoint = checkPoint_;
  const std::string text = message.toString(kBuildVersion, locationText_.c_str(),
                                            platform::Device::systemVersion().c_str(), "") +
                           "\n\n";
  std::ofstream out(fs::path(fullPathToDir_) / logName_, std::ios::binary | std::ios::app);
  out << text;
  if (!out.flush()) MC_LOG(1, "ERROR! Can't save data to log file:" + logName_ + "\n");
}

void MCLogManager::stopSaveLogToFile(WScanMessage message) {
  message.entries.clear();
  message.sensorEntries.clear();
  saveWsMsg(std::move(message));
  std::lock_guard lock(mutex_);
  savingLog_ = false;
}

uint64_t MCLogManager::wsMsgFromLog(const std::string& name,
                                    std::optional<platform::Error>* error) {
  std::string dir;
  {
    std::lock_guard lock(mutex_);
    wsMsgArray_.clear();
    curentIndex_ = 0;
    dir = fullPathToDir_;
  }
  const fs::path path = fs::path(dir) / name;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    platform::setError(error, platform::Error::make(
                                  "NSCocoaErrorDomain", 260,
                                  "The file \"" + name + "\" couldn't be opened."));
    return 0;
  }
  std::vector<WScanMessage> records;
  for (const std::string& piece : SplitRecords(text.str())) {
    if (Blank(piece)) continue;
    bool ok = false;
    WScanMessage m = WScanMessage::parse(piece, &ok);
    if (ok) {
      records.push_back(std::move(m));
    } else {
      MC_LOG(1, "ERROR! Invalid WScanMessage in log:" + piece + "\n");
    }
  }
  std::lock_guard lock(mutex_);
  wsMsgArray_ = std::move(records);
  return wsMsgArray_.size();
}

uint64_t MCLogManager::startNavigateByLog(const std::string& name,
                                          std::optional<platform::Error>* error) {
  const uint64_t count = wsMsgFromLog(name, error);
  std::lock_guard lock(mutex_);
  navigate_ = count > 0;
  return count;
}

void MCLogManager::loadWsMsg(WScanMessage& message) {
  std::shared_ptr<MCLogManagerDelegate> ended;
  {
    std::lock_guard lock(mutex_);
    if (!navigate_ || wsMsgArray_.empty()) return;
    message.entries.clear();
    message.sensorEntries.clear();
    if (curentIndex_ + 1 < wsMsgArray_.size()) {
      message = wsMsgArray_[curentIndex_++];
      return;
    }
    navigate_ = false;
    ended = delegate_.lock();
  }
  if (ended && ended->stopNavigatingByLog) ended->stopNavigatingByLog();
}

void MCLogManager::handleWsMsg(WScanMessage& message) {
  loadWsMsg(message);
  saveWsMsg(message);
}

void MCLogManager::stopNavigateByLog() { setNavigate(false); }
