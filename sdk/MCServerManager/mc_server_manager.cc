#include "MCServerManager/mc_server_manager.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "Foundation/mc_log.h"
#include "platform/app.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/mutex.h"
#include "platform/paths.h"

std::shared_ptr<MCServerManager> MCServerManager::sharedInstance() {
  static const std::shared_ptr<MCServerManager> instance = std::make_shared<MCServerManager>();
  return instance;
}

namespace {

int64_t Micros(const platform::WallTime& t) { return t.seconds * 1000000 + t.microseconds; }

}  // namespace

MCServerManager::MCServerManager() : lastHeatmapMicros_(Micros(platform::Clock::now())) {}

std::string MCServerManager::directoryForDocuments() { return platform::Paths::documents().string(); }

void MCServerManager::setServer(const std::string& server) {
  std::shared_ptr<MMQueueEngine> engine;
  {
    platform::MutexLock lock(mutex_);
    if (server == server_) return;
    server_ = server;
    engine = mqEngine_;
  }
  if (engine) engine->setServer(server);
}

void MCServerManager::setUserHash(const std::string& userHash) {
  std::shared_ptr<MMQueueEngine> engine;
  {
    platform::MutexLock lock(mutex_);
    if (userHash == userHash_) return;
    userHash_ = userHash;
    engine = mqEngine_;
  }
  if (engine) engine->setUserHash(userHash);
}

std::string MCServerManager::server() const {
  platform::MutexLock lock(mutex_);
  return server_;
}

std::string MCServerManager::userHash() const {
  platform::MutexLock lock(mutex_);
  return userHash_;
}

int MCServerManager::startLocationListLoader() {
  const std::string url = server() + "/locations?userHash=" + userHash() + "&format=xml";
  return loader()->startUrlLoader(url, directoryForDocuments() + "/locations");
}

int MCServerManager::startContentLoader(const std::string& location, bool forced) {
  const std::string hash = userHash();
  MC_LOG(2, "Start load content with userHash: " + hash + " and locationId: " + location + "\n");
  const std::string file = directoryForDocuments() + "/" + location + "/map.mvz";
  return loader()->startLoadLocation(location, server(), hash, file, forced);
}

int MCServerManager::startContentUploader(const std::string& location, bool forced) {
  const std::string hash = userHash();
  MC_LOG(2, "Start upload content with userHash: " + hash + " and location: " + location + "\n");
  const std::string file = directoryForDocuments() + "/" + location + "/map.mvz";
  return loader()->startUploadLocation(location, server(), hash, file, forced);
}

int MCServerManager::checkContentLoader(int id) { return loader()->checkLocationLoader(id); }
int MCServerManager::checkContentUploader(int id) { return loader()->checkLocationUploader(id); }
void MCServerManager::stopContentLoader(int id) { loader()->stopLocationLoader(id); }
void MCServerManager::stopContentUploader(int id) { loader()->stopLocationUploader(id); }

void MCServerManager::startMQueue() { mqEngine()->startEngine(); }
void MCServerManager::stopMQueue() { mqEngine()->stopEngine(); }

void MCServerManager::addMQMessage(WScanMessage message) {
  // Nearly every tick falls inside the period: it ends here, on the tick's
  // thread, and the main queue only ever sees the line of a due one. The step
  // there checks again, since due lines may queue up behind each other.
  if (message.outSubLocation == -1 || !heatmapDue(Micros(platform::Clock::now()))) return;
  const std::weak_ptr<MCServerManager> self = weak_from_this();
  platform::dispatch::mainQueue()->async([self, line = heatmapLine(message)] {
    if (auto manager = self.lock()) manager->heatmapStep(line);
  });
}

std::string MCServerManager::heatmapLine(const WScanMessage& m) {
  char text[512];
  std::snprintf(text, sizeof text,
                "<H i=\"%" PRId64 "\" u=\"%s\" kx=\"%lf\" ky=\"%lf\" d=\"%" PRId64
                "-%02d-%02d %02d:%02d:%02d\" />",
                int64_t(m.outSubLocation), m.deviceId.c_str(), m.outKX, m.outKY, int64_t(m.tmYear),
                int(m.tmMonth), int(m.tmDay), int(m.tmHour), int(m.tmMinute), int(m.tmSecond));
  return text;
}

bool MCServerManager::heatmapDue(int64_t now) const {
  const bool background =
      platform::Application::applicationState() == platform::ApplicationState::Background;
  platform::MutexLock lock(mutex_);
  return dueLocked(now, background);
}

bool MCServerManager::dueLocked(int64_t now, bool background) const {
  const int64_t period = background ? mqMessageTimeoutBackground_ : mqMessageTimeoutForeground_;
  return now - lastHeatmapMicros_ > period * 1000000;  // equal to the period is too soon
}

void MCServerManager::heatmapStep(const std::string& line) {
  const bool background =
      platform::Application::applicationState() == platform::ApplicationState::Background;
  const int64_t now = Micros(platform::Clock::now());
  std::shared_ptr<MMQueueEngine> engine;
  {
    platform::MutexLock lock(mutex_);
    if (!dueLocked(now, background)) return;
    lastHeatmapMicros_ = now;
    engine = mqEngine_;
  }
  MC_LOG(2, "MQMessage:" + line + "\n");
  engine->addMessage(line);
}

int32_t MCServerManager::mqMessageTimeoutForeground() const {
  platform::MutexLock lock(mutex_);
  return mqMessageTimeoutForeground_;
}

void MCServerManager::setMqMessageTimeoutForeground(int32_t seconds) {
  platform::MutexLock lock(mutex_);
  mqMessageTimeoutForeground_ = seconds;
}

int32_t MCServerManager::mqMessageTimeoutBackground() const {
  platform::MutexLock lock(mutex_);
  return mqMessageTimeoutBackground_;
}

void MCServerManager::setMqMessageTimeoutBackground(int32_t seconds) {
  platform::MutexLock lock(mutex_);
  mqMessageTimeoutBackground_ = seconds;
}

double MCServerManager::lastHeatmapMessageDate() const {
  platform::MutexLock lock(mutex_);
  return double(lastHeatmapMicros_) / 1e6;
}

void MCServerManager::setLastHeatmapMessageDate(double seconds) {
  platform::MutexLock lock(mutex_);
  lastHeatmapMicros_ = int64_t(std::llround(seconds * 1e6));
}

std::shared_ptr<MLoader> MCServerManager::loader() const {
  platform::MutexLock lock(mutex_);
  return loader_;
}

void MCServerManager::setLoader(std::shared_ptr<MLoader> loader) {
  platform::MutexLock lock(mutex_);
  loader_ = std::move(loader);
}

std::shared_ptr<MMQueueEngine> MCServerManager::mqEngine() const {
  platform::MutexLock lock(mutex_);
  return mqEngine_;
}

void MCServerManager::setMqEngine(std::shared_ptr<MMQueueEngine> engine) {
  platform::MutexLock lock(mutex_);
  mqEngine_ = std::move(engine);
}
