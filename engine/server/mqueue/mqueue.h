// The outgoing message queue: text lines appended to a file in the queue
// directory, gathered into batch files and posted, oldest batch first, as
// multipart forms by the queue's own thread. Lines live only in files until a
// post succeeds, so they survive restarts; failed posts are retried with a
// growing delay.
//
// Every method may be called from any thread, concurrently. The owner destroys
// the object (from any thread but the queue's own); destruction ends and joins
// the posting thread, cutting short a post under way. Only one queue posts
// from a directory at a time, across objects and processes (a lock file); a
// second one only appends until the first is gone. The directory is not
// created by the queue. Lock order: the object's lock, then the file lock on
// "queue.xml" (never the other way).
//
// What a stored line can expect: it reaches the server at least once while at
// most maxBatchFiles full batches wait (a server that cannot be reached for
// long lets them pile up). Beyond that the oldest batch is dropped whole to
// make room, with a log line "MQueueManager: dropped the oldest batch" that
// counts its lines. Batching is one atomic step, but a post whose reply is
// lost (server or process killed after the server read it, or a post cut
// short by destruction) is sent again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "server/utils.h"

class MQueueManager {
 public:
  MQueueManager(const std::string& url, const std::string& directory, int maxBatchBytes,
                int maxBatchFiles);
  ~MQueueManager();
  MQueueManager(const MQueueManager&) = delete;
  MQueueManager& operator=(const MQueueManager&) = delete;

  void start();
  // No post starts after this; a post under way runs to its end, then the
  // thread ends at its next cycle. There is no restart.
  void stop();
  // Waits at most `most` for a post under way to end; true when none is under
  // way. After stop, true means the queue posts no more and may be destroyed
  // without cutting a post short.
  bool waitWhilePosting(std::chrono::milliseconds most);
  // Waits at most `most` until every line added before the call has been
  // posted: true once a cycle begun after the call found nothing left to post.
  // Only a started queue that owns its directory ever gets there.
  bool waitUntilDrained(std::chrono::milliseconds most);
  void setSleepTimeout(int milliseconds);
  // 0 or less: a post may take any time. Offered to outside callers; the kit
  // keeps the default.
  void setPostTimeout(int seconds);
  // Delay after a failed post, doubling per failure up to maxMs (defaults
  // kRetryFirstMs and kRetryMaxMs).
  void setRetryTimeout(int firstMs, int maxMs);
  // False when the line is not stored whole (no directory, disk full); then
  // nothing of it is left in the queue. A message is one line: one holding a
  // line feed is refused (false), as it would reach the server as two.
  bool addMessage(const std::string& message);
  // Keeps an existing value. A name or value holding CR or LF (or a name
  // holding '"') would change the form's structure: refused with false.
  bool setParameter(const std::string& name, const std::string& value);
  std::string getParameter(const std::string& name);
  // Seconds since 1970 of the last successful post; 0 until then.
  uint32_t getUploadTime();
  void lock();
  void unlock();

  static constexpr int kRetryFirstMs = 1000;
  static constexpr int kRetryMaxMs = 60000;

 private:
  void threadRoutine();
  bool ownDirectory();
  // False while a batching step could not be completed: nothing may be posted
  // then, or a line could go out twice.
  bool prepare();
  bool finishBatching();
  bool batchFile(const std::string& merging);
  // False when there was no batch to post; else result 0 or a failure code.
  bool upload(int* result);
  void moveUploadFiles();
  std::string batchPath(int number) const;
  bool waitFor(std::chrono::milliseconds delay);  // false once the object is going away

  const std::string URL;
  const std::string directory;
  const int maximumBatchBytes;
  const int maximumBatchFiles;
  std::map<std::string, std::string> parameters;
  bool started = false;
  bool stopped = false;
  uint32_t packetNumber = 0;
  uint32_t uploadTime = 0;
  int sleepTimeout = 100;
  int postTimeout = 30;
  int retryFirstMs = kRetryFirstMs;
  int retryMaxMs = kRetryMaxMs;
  Mutex mutex;
  std::condition_variable_any wake;
  bool quitting = false;  // set by the destructor only
  bool posting = false;   // a post is under way
  uint64_t cycle = 0;       // posting cycles begun
  uint64_t drainedAt = 0;   // the last cycle that found nothing to post
  int lockFd = -1;        // held lock file: this object posts from the directory
  bool toldBusy = false;
  bool batchingFails = false;  // told once per run of failures
  std::thread thread;
};
