#include "platform/testing.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/paths.h"
#include "platform/runtime_internal.h"

namespace platform::testing {

void useManualClock(WallTime start, int minutesWest) { Clock::setManual(start, minutesWest); }

void useRealClock() { Clock::setReal(); }

bool pumpUntil(const std::function<bool()>& pred, double realSeconds) {
  auto main = RunLoop::main();
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(realSeconds);
  for (;;) {
    if (pred()) return true;
    if (main->runPending() > 0) continue;
    if (std::chrono::steady_clock::now() >= end) return pred();
    detail::loopWaitForWork(*main, 1000000);
  }
}

ScopedHome::ScopedHome() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "marvisto-home-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  Paths::setHome(path_);
}

ScopedHome::~ScopedHome() {
  Paths::setHome({});
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {
class FunctionIdleWaiter final : public detail::IdleWaiter {
 public:
  explicit FunctionIdleWaiter(std::function<bool(int, int64_t)> wait) : wait_(std::move(wait)) {}
  bool idleWait(RunLoop&, int wakeFd, int64_t realNs) override { return wait_(wakeFd, realNs); }

 private:
  std::function<bool(int, int64_t)> wait_;
};
}  // namespace

void setMainIdleWait(std::function<bool(int wakeFd, int64_t realNs)> wait) {
  // Never freed: the main loop may consult it until the process ends.
  detail::setMainIdleWaiter(new FunctionIdleWaiter(std::move(wait)));
}

}  // namespace platform::testing
