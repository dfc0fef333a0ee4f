// The threads that run transfer jobs, and their end at process exit.
//
// A job thread may be deep inside the TLS library (a handshake, a read) when the
// process exits, and the library frees its global state in an exit handler of its
// own: a thread still using it then crashes the process. So job threads are joinable,
// and an exit handler that runs before the library's asks every job to stop and
// joins the threads within a bound. Threads whose routine has returned in normal
// running are joined by the next start. The lock here is never held together with
// LoaderMutex.
#include <openssl/ssl.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "server/content/content_internal.h"

namespace {

// A stopped job notices within about 100 ms; this leaves room for a loaded machine.
constexpr auto kExitWait = std::chrono::seconds(5);

struct JobThreads {
  std::mutex mutex;
  std::condition_variable ended;
  int live = 0;                // started, routine not yet returned
  std::vector<pthread_t> done;  // routine returned, not yet joined
  bool exiting = false;        // no thread starts any more
};

// Never destroyed: the exit handler and ending threads use it up to the last moment.
JobThreads& Threads = *new JobThreads;

struct Launch {
  void* (*routine)(void*);
  void* arg;
};

void* RunJob(void* p) {
  const Launch launch = *static_cast<Launch*>(p);
  delete static_cast<Launch*>(p);
  launch.routine(launch.arg);
  std::lock_guard<std::mutex> g(Threads.mutex);
  --Threads.live;
  Threads.done.push_back(pthread_self());
  Threads.ended.notify_all();
  return nullptr;
}

void JoinAll(std::vector<pthread_t>& threads) {
  for (pthread_t t : threads)
    if (!pthread_equal(t, pthread_self())) pthread_join(t, nullptr);
  threads.clear();
}

void StopJobsAtExit() {
  {
    std::lock_guard<std::mutex> g(Threads.mutex);
    Threads.exiting = true;
  }
  StopAllJobs();
  std::vector<pthread_t> ended;
  int left = 0;
  {
    std::unique_lock<std::mutex> g(Threads.mutex);
    Threads.ended.wait_for(g, kExitWait, [] { return Threads.live == 0; });
    ended.swap(Threads.done);
    left = Threads.live;
  }
  if (left > 0) MV_LOG(1, "Exit: %d transfer jobs still running\n", left);
  JoinAll(ended);
}

// Once, before the first job: the TLS library is initialised first, which registers its
// exit-time clean-up now if nothing did before; exit handlers run in reverse order of
// registration, so the one registered after it runs before it.
void InstallExitHandler() {
  static const bool installed = [] {
    OPENSSL_init_ssl(0, nullptr);
    return std::atexit(StopJobsAtExit) == 0;
  }();
  (void)installed;
}

}  // namespace

bool StartJobThread(void* (*routine)(void*), void* arg) {
  InstallExitHandler();
  std::vector<pthread_t> ended;
  {
    std::lock_guard<std::mutex> g(Threads.mutex);
    ended.swap(Threads.done);
  }
  JoinAll(ended);
  std::lock_guard<std::mutex> g(Threads.mutex);
  if (Threads.exiting) return false;
  auto* launch = new Launch{routine, arg};
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) != 0) {
    delete launch;
    return false;
  }
  const bool created = pthread_create(&thread, &attr, RunJob, launch) == 0;
  pthread_attr_destroy(&attr);
  if (!created) {
    delete launch;
    return false;
  }
  ++Threads.live;
  return true;
}
