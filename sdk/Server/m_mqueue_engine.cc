#include "Server/m_mqueue_engine.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "Foundation/mc_log.h"
#include "platform/paths.h"
#include "server/mqueue/mqueue.h"

namespace {

// The texts of this engine are operational notes, kept out of the host's
// console unless the log threshold asks for them.
void Note(const std::string& text) { MC_LOG(2, text); }

// The one current queue of the process.
struct CurrentQueue {
  std::mutex life;   // one start or stop at a time
  std::mutex mutex;  // the reference, and appends to the queue it names
  std::unique_ptr<MQueueManager> queue;
  std::string directory;  // the queue's
};

// How long a stop waits for a post already under way: ending the queue in
// the middle of one would leave its batch to be posted again by the next
// queue, so the server would see those lines twice.
constexpr auto kStopGrace = std::chrono::seconds(2);

bool BatchesWaiting(const std::string& directory) {
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(directory, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("upload", 0) == 0 || name.rfind("batch.", 0) == 0 || name == "queue.batching") return true;
  }
  return false;
}

CurrentQueue& Current() {
  static CurrentQueue c;
  return c;
}

// Ends the current queue: after this no one can reach it, and its posting
// thread has ended (the destructor joins it).
void EndCurrent(CurrentQueue& c) {
  std::unique_ptr<MQueueManager> old;
  std::string directory;
  {
    std::lock_guard lock(c.mutex);
    old = std::move(c.queue);
    directory = c.directory;
  }
  if (!old) return;
  // Posting ends at the queue's next cycle; a post under way ends first
  // (its batch file goes once the server took it).
  old->stop();
  const auto until = std::chrono::steady_clock::now() + kStopGrace;
  while (BatchesWaiting(directory) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    std::lock_guard lock(mutex_);
    url = server_ + "/xmlParserInsert";
    hash = userHash_;
    path = mqPath_;
  }
  CurrentQueue& c = Current();
  std::lock_guard life(c.life);
  EndCurrent(c);
  auto queue = std::make_unique<MQueueManager>(url, path, kMaxBatchBytes, kMaxBatchFiles);
  queue->setParameter("userHash", hash);
  queue->start();
  std::lock_guard lock(c.mutex);
  c.queue = std::move(queue);
  c.directory = path;
}

void MMQueueEngine::stopEngine() {
  Note("Stop MQEngine.\n");
  CurrentQueue& c = Current();
  std::lock_guard life(c.life);
  EndCurrent(c);
}

void MMQueueEngine::addMessage(const std::string& text) {
  CurrentQueue& c = Current();
  std::lock_guard lock(c.mutex);
  if (c.queue) c.queue->addMessage(text);
}

bool MMQueueEngine::running() {
  CurrentQueue& c = Current();
  std::lock_guard lock(c.mutex);
  return c.queue != nullptr;
}

std::string MMQueueEngine::server() const {
  std::lock_guard lock(mutex_);
  return server_;
}

void MMQueueEngine::setServer(const std::string& server) {
  std::lock_guard lock(mutex_);
  server_ = server;
}

std::string MMQueueEngine::userHash() const {
  std::lock_guard lock(mutex_);
  return userHash_;
}

void MMQueueEngine::setUserHash(const std::string& userHash) {
  std::lock_guard lock(mutex_);
  userHash_ = userHash;
}

std::string MMQueueEngine::mqPath() const {
  std::lock_guard lock(mutex_);
  return mqPath_;
}
