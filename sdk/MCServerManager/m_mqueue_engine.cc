#include "MCServerManager/m_mqueue_engine.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "Foundation/mc_log.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "server/mqueue/mqueue.h"

namespace {

// The texts of this engine are operational notes, kept out of the host's
// console unless the log threshold asks for them.
void Note(const std::string& text) { MC_LOG(2, text); }

// The one current queue of the process, and the stopped ones still finishing
// a post: each of those starts no other post and lets go of the directory
// when its post ends, so the next queue takes over without anyone waiting.
struct CurrentQueue {
  // Lock order: life before mutex.
  platform::Mutex life ACQUIRED_BEFORE(mutex);  // one start or stop at a time
  platform::Mutex mutex;  // the reference, and appends to the queue it names
  std::unique_ptr<MQueueManager> queue GUARDED_BY(mutex);
  std::vector<std::unique_ptr<MQueueManager>> leaving GUARDED_BY(life);
};

// How long a start or stop waits for a post under way: ending a queue in the
// middle of one would have its batch posted again by the next queue. A post
// that takes longer finishes on the stopped queue's own thread instead, so
// the caller (often the main thread) never waits longer than a tick.
constexpr auto kPostGrace = std::chrono::milliseconds(100);

CurrentQueue& Current() {
  static CurrentQueue c;
  return c;
}

// Ends the current queue: after this no one can append to it, it starts no
// post, and it is gone unless a post of its own is still under way.
void EndCurrent(CurrentQueue& c) REQUIRES(c.life) {
  std::unique_ptr<MQueueManager> old;
  {
    platform::MutexLock lock(c.mutex);
    old = std::move(c.queue);
  }
  // Those whose post has ended since go now (their threads end at once).
  std::erase_if(c.leaving, [](const auto& q) { return q->waitWhilePosting(std::chrono::milliseconds(0)); });
  if (!old) return;
  old->stop();
  if (!old->waitWhilePosting(kPostGrace)) c.leaving.push_back(std::move(old));
}

}  // namespace

MMQueueEngine::MMQueueEngine() : mqPath_((platform::Paths::documents() / "mqueue").string()) {
  createMQueueDir();
}

void MMQueueEngine::createMQueueDir() {
  const std::string path = mqPath();
  Note("Create mQueue directory.\n");
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    Note("Directory " + path + " already exists\n");
    return;
  }
  if (std::filesystem::create_directory(path, ec)) {
    Note("Create mQueue directory successfull.\n");
  } else {
    MC_LOG(1, "ERROR! Unable to create folder at " + path + " error: " + ec.message() + "\n");
  }
}

void MMQueueEngine::startEngine() {
  Note("Start MQEngine.\n");
  std::string url, hash, path;
  {
    platform::MutexLock lock(mutex_);
    url = server_ + "/xmlParserInsert";
    hash = userHash_;
    path = mqPath_;
  }
  CurrentQueue& c = Current();
  platform::MutexLock life(c.life);
  EndCurrent(c);
  auto queue = std::make_unique<MQueueManager>(url, path, kMaxBatchBytes, kMaxBatchFiles);
  queue->setParameter("userHash", hash);
  queue->start();
  platform::MutexLock lock(c.mutex);
  c.queue = std::move(queue);
}

void MMQueueEngine::stopEngine() {
  Note("Stop MQEngine.\n");
  CurrentQueue& c = Current();
  platform::MutexLock life(c.life);
  EndCurrent(c);
}

bool MMQueueEngine::drainAndStop(std::chrono::milliseconds most) {
  CurrentQueue& c = Current();
  // Holding the start/stop lock keeps the queue current while we wait; appends
  // take only the reference lock, so they go on meanwhile.
  platform::MutexLock life(c.life);
  MQueueManager* queue;
  {
    platform::MutexLock lock(c.mutex);
    queue = c.queue.get();
  }
  const bool drained = queue && queue->waitUntilDrained(most);
  Note("Stop MQEngine.\n");
  EndCurrent(c);
  return drained;
}

void MMQueueEngine::addMessage(const std::string& text) {
  CurrentQueue& c = Current();
  platform::MutexLock lock(c.mutex);
  if (c.queue) c.queue->addMessage(text);
}

bool MMQueueEngine::running() {
  CurrentQueue& c = Current();
  platform::MutexLock lock(c.mutex);
  return c.queue != nullptr;
}

std::string MMQueueEngine::server() const {
  platform::MutexLock lock(mutex_);
  return server_;
}

void MMQueueEngine::setServer(const std::string& server) {
  platform::MutexLock lock(mutex_);
  server_ = server;
}

std::string MMQueueEngine::userHash() const {
  platform::MutexLock lock(mutex_);
  return userHash_;
}

void MMQueueEngine::setUserHash(const std::string& userHash) {
  platform::MutexLock lock(mutex_);
  userHash_ = userHash;
}

std::string MMQueueEngine::mqPath() const {
  platform::MutexLock lock(mutex_);
  return mqPath_;
}
