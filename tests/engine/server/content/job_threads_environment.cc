// Content jobs run on detached threads that report their end before the thread
// itself is gone: its TLS library still frees per-thread state on the way out.
// A test program that exits in that window has the library's exit-time cleanup
// race the thread, which the sanitizers rightly report. So the program waits,
// boundedly, for the threads it started to be gone before it exits.
#include <dirent.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

int ThreadCount() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

class JobThreadsEnd : public ::testing::Environment {
 public:
  void SetUp() override { baseline_ = ThreadCount(); }
  void TearDown() override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ThreadCount() > baseline_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  int baseline_ = -1;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new JobThreadsEnd);

}  // namespace
