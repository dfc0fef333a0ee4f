#include "platform/testing.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/paths.h"
#include "platform/runtime_internal.h"

namespace platform::testing {
namespace {

std::optional<int64_t> nextDue() {
  auto a = detail::loopsNextDue();
  auto b = detail::schedulerNextDue();
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

void useManualClock(WallTime start, int minutesWest) { Clock::setManual(start, minutesWest); }

void useRealClock() { Clock::setReal(); }

void settle() {
  auto main = RunLoop::main();
  for (;;) {
    if (main->runPending() > 0) continue;
    // Idle only when every part was idle and no work changed hands while they were looked at.
    uint64_t before = detail::activity.load();
    if (detail::dispatchIdle() && detail::loopsIdle(main.get())) {
      if (!detail::loopReadyNow(*main) && detail::activity.load() == before) return;
      continue;
    }
    detail::loopWaitForWork(*main, 200000);
  }
}

void advance(Clock::Duration d) {
  if (!Clock::isManual()) throw std::logic_error("platform::testing::advance needs the manual clock");
  int64_t target = detail::nowNs() + d.count();
  settle();
  for (;;) {
    auto next = nextDue();
    if (!next || *next > target) break;
    if (*next > detail::nowNs()) Clock::stepTo(Clock::Duration(*next));
    settle();
  }
  if (detail::nowNs() < target) Clock::stepTo(Clock::Duration(target));
  settle();
}

void advance(double seconds) { advance(Clock::Duration(detail::secondsToNs(seconds))); }

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
