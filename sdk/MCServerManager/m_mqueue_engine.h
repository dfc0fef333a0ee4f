// Thin front to the outgoing message queue. The process has at most one
// current queue, shared by every MMQueueEngine: `startEngine` stops the
// current one and starts a new one over this engine's directory, server and
// user hash; `stopEngine` does the first half. Neither waits for a server
// that is down: a post under way gets at most a tick (100 ms) to end, and
// then ends on the stopped queue's own thread, which holds the directory
// until it has. So two queues never post from one directory, and a line is
// never added to a queue that is being released (lines added while no queue
// runs are dropped).
//
// Every method is safe from any thread. Lock order: the process's start/stop
// lock, then the current-queue lock (held only to append a line or to swap
// the reference) or a stopped queue's own lock, then the engine's own field
// lock.
#pragma once

#include <chrono>
#include <string>

#include "platform/mutex.h"

class MMQueueEngine {
 public:
  // Sets `mqPath` to Documents/mqueue and creates that directory.
  MMQueueEngine();

  void createMQueueDir();
  void startEngine();
  void stopEngine();
  // Waits at most `most` for the current queue to post every line it was
  // given before the call, then stops it as `stopEngine` does. True when all
  // of them went out; false on a time-out (what is left stays on disk for the
  // next queue) or when no queue is current. Starts and stops from other
  // threads wait meanwhile; lines may still be added.
  bool drainAndStop(std::chrono::milliseconds most);
  // Appends one line to the current queue.
  virtual void addMessage(const std::string& text);
  virtual ~MMQueueEngine() = default;

  std::string server() const;
  void setServer(const std::string& server);
  std::string userHash() const;
  void setUserHash(const std::string& userHash);
  std::string mqPath() const;

  // Whether a queue is current (any engine's).
  static bool running();

  static constexpr int kMaxBatchBytes = 50000;
  static constexpr int kMaxBatchFiles = 200;

 private:
  mutable platform::Mutex mutex_;
  std::string server_ GUARDED_BY(mutex_);
  std::string userHash_ GUARDED_BY(mutex_);
  std::string mqPath_ GUARDED_BY(mutex_);
};
