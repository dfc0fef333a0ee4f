#include "MCLogManager/mc_log_manager.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "MCModels/mc_location.h"
#include "Foundation/mc_log.h"
#include "networking/http_request_operation_manager.h"
#include "platform/app.h"
#include "platform/clock.h"
#include "platform/main_thread.h"
#include "platform/mutex.h"

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
  {
    platform::MutexLock lock(mutex_);
    if (server == server_) return;
    server_ = server;
  }
  // The coordinator names the server at start-up and at every load: the
  // clock is asked once per server, so records soon carry the server time.
  if (!server.empty()) loadTimeFromServer();
}

std::string MCLogManager::server() const {
  platform::MutexLock lock(mutex_);
  return server_;
}

std::optional<MCDeviceOffset> MCLogManager::deviceOffset() const {
  platform::MutexLock lock(mutex_);
  return deviceOffset_;
}

void MCLogManager::setDeviceOffset(std::optional<MCDeviceOffset> offset) {
  platform::MutexLock lock(mutex_);
  deviceOffset_ = offset;
}

void MCLogManager::loadTimeFromServer() {
  const std::string url = server() + "/tracking/time/time.php";
  MC_LOG(1, "Load time from server: " + url + "\n");
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->responseSerializer = MCHTTPResponseSerializer::serializer();
  manager->maximumResponseDataLength = 64 << 10;  // the answer is one number
  const std::weak_ptr<MCLogManager> self = weak_from_this();
  manager->GET(
      url, nlohmann::json(),
      [self](const std::shared_ptr<MCHTTPRequestOperation>& op, const MCResponseObject&) {
        PLATFORM_MAIN_THREAD_ONLY();
        auto me = self.lock();
        if (!me) return;
        const std::string body = op->responseString().value_or("");
        const std::optional<int64_t> serverMs = parseServerTime(body);
        if (!serverMs) {
          MC_LOG(1, "ERROR! Cant't load time from server: unreadable time.\n");
          return;
        }
        const platform::WallTime now = platform::Clock::now();
        MCDeviceOffset offset;
        offset.seconds = now.seconds - *serverMs / 1000;
        offset.microseconds = now.microseconds - int32_t(*serverMs % 1000) * 1000;
        me->setDeviceOffset(offset);
      },
      [](const std::shared_ptr<MCHTTPRequestOperation>&, const platform::Error& error) {
        MC_LOG(1, "ERROR! Cant't load time from server: " + error.description() + ".\n");
      });
}

std::optional<int64_t> MCLogManager::parseServerTime(const std::string& body) {
  size_t begin = 0, end = body.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(body[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(body[end - 1]))) --end;
  // Up to 15 digits: any real clock, and no overflow below.
  if (begin == end || end - begin > 15) return std::nullopt;
  int64_t value = 0;
  for (size_t i = begin; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(body[i]))) return std::nullopt;
    value = value * 10 + (body[i] - '0');
  }
  return value;
}

std::string MCLogManager::serverTimeOf(const WScanMessage& message) const {
  platform::MutexLock lock(mutex_);
  return serverTimeLocked(message);
}

std::string MCLogManager::serverTimeLocked(const WScanMessage& message) const {
  if (!deviceOffset_) return "";
  const int64_t deviceMs = int64_t(message.tmUnixTime) * 1000 + message.tmMillisecond;
  const int64_t offsetMs = deviceOffset_->seconds * 1000 + deviceOffset_->microseconds / 1000;
  const int64_t serverMs = deviceMs - offsetMs;
  int64_t seconds = serverMs / 1000;
  int64_t ms = serverMs % 1000;
  if (ms < 0) ms += 1000, --seconds;
  const platform::CalendarFields f = platform::Clock::utcFields(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.year, f.month, f.day,
                f.hour, f.minute, f.second, int(ms));
  return text;
}

void MCLogManager::setLocation(std::shared_ptr<MCLocation> location) {
  // The record's location text is taken now: the tick must not read the shared model
  // while a load rebuilds it. Setting the location again refreshes it.
  std::string text = "0:0";
  if (location) {
    text = std::to_string(location->id) + ":" + std::to_string(location->version);
    if (location->modified) text += "+";
  }
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
  locationText_ = std::move(text);
}

void MCLogManager::setDelegate(std::weak_ptr<MCLogManagerDelegate> delegate) {
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

void MCLogManager::setFullPathToZip(const std::string& path) {
  platform::MutexLock lock(mutex_);
  fullPathToZip_ = path;
}

void MCLogManager::setFullPathToDir(const std::string& path) {
  platform::MutexLock lock(mutex_);
  fullPathToDir_ = path;
}

std::string MCLogManager::fullPathToDir() const {
  platform::MutexLock lock(mutex_);
  return fullPathToDir_;
}

void MCLogManager::setCheckPoint(const std::string& checkPoint) {
  platform::MutexLock lock(mutex_);
  checkPoint_ = checkPoint;
}

bool MCLogManager::navigate() const {
  platform::MutexLock lock(mutex_);
  return navigate_;
}

void MCLogManager::setNavigate(bool navigate) {
  platform::MutexLock lock(mutex_);
  navigate_ = navigate;
}

uint64_t MCLogManager::totalLogCount() const {
  platform::MutexLock lock(mutex_);
  return wsMsgArray_.size();
}

std::string MCLogManager::startSaveLogToFile() {
  platform::MutexLock lock(mutex_);
  // Before any load there is no location folder: a log must not land in
  // whatever the process's current directory is.
  if (fullPathToDir_.empty()) {
    MC_LOG(1, "ERROR! Can't save data to log file: no location is loaded\n");
    return "";
  }
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
  platform::MutexLock lock(mutex_);
  if (!savingLog_) return;
  message.checkPoint = checkPoint_;
  const std::string serverTime = serverTimeLocked(message);
  const std::string text = message.toString(kBuildVersion, locationText_.c_str(),
                                            platform::Device::systemVersion().c_str(),
                                            serverTime.c_str()) +
                           "\n\n";
  std::ofstream out(fs::path(fullPathToDir_) / logName_, std::ios::binary | std::ios::app);
  out << text;
  if (!out.flush()) MC_LOG(1, "ERROR! Can't save data to log file:" + logName_ + "\n");
}

void MCLogManager::stopSaveLogToFile(WScanMessage message) {
  message.entries.clear();
  message.sensorEntries.clear();
  saveWsMsg(std::move(message));
  platform::MutexLock lock(mutex_);
  savingLog_ = false;
}

uint64_t MCLogManager::wsMsgFromLog(const std::string& name,
                                    std::optional<platform::Error>* error) {
  std::string dir;
  {
    platform::MutexLock lock(mutex_);
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
  platform::MutexLock lock(mutex_);
  wsMsgArray_ = std::move(records);
  return wsMsgArray_.size();
}

uint64_t MCLogManager::startNavigateByLog(const std::string& name,
                                          std::optional<platform::Error>* error) {
  const uint64_t count = wsMsgFromLog(name, error);
  platform::MutexLock lock(mutex_);
  navigate_ = count > 0;
  return count;
}

void MCLogManager::loadWsMsg(WScanMessage& message) {
  std::shared_ptr<MCLogManagerDelegate> ended;
  {
    platform::MutexLock lock(mutex_);
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

namespace {

bool EndsWithLog(const std::string& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

platform::Error FileError(const std::string& what, const std::error_code& ec) {
  return platform::Error::make("NSCocoaErrorDomain", ec.value(), what + ": " + ec.message());
}

}  // namespace

void MCLogManager::removeAllLogs(std::optional<platform::Error>* error) {
  const std::string dir = fullPathToDir();
  std::error_code ec;
  std::vector<fs::path> logs;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (EndsWithLog(it->path().filename().string())) logs.push_back(it->path());
  }
  if (ec || dir.empty()) {
    if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
    MC_LOG(1, "ERROR! Can't find logs at path:" + dir + " with error:" + ec.message() + "\n");
    platform::setError(error, FileError(dir, ec));
    return;
  }
  for (const fs::path& log : logs) {
    if (!fs::remove(log, ec) || ec) {
      if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
      platform::setError(error, FileError(log.string(), ec));
      return;
    }
  }
}

void MCLogManager::removeLog(const std::string& name, std::optional<platform::Error>* error) {
  // Only a plain log file name of the location's folder: nothing else can be
  // reached through it.
  if (!EndsWithLog(name) || name.find('/') != std::string::npos) return;
  const std::string dir = fullPathToDir();
  if (dir.empty()) return;
  std::error_code ec;
  if (!fs::remove(fs::path(dir) / name, ec) || ec) {
    if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
    platform::setError(error, FileError(name, ec));
  }
}
