#include "platform/reachability.h"

#include <ifaddrs.h>
#include <net/if.h>

#include "platform/mutex.h"
#include "platform/run_loop.h"

namespace platform {
namespace {

bool isLoopbackTarget(const std::string& t) {
  return t == "localhost" || t == "::1" || t.rfind("127.", 0) == 0;
}

bool isCellular(const std::string& name) {
  for (const char* prefix : {"wwan", "rmnet", "ppp", "wwp", "ccmni", "pdp_ip"})
    if (name.rfind(prefix, 0) == 0) return true;
  return false;
}

}  // namespace

std::vector<NetworkInterface> systemNetworkInterfaces() {
  std::vector<NetworkInterface> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    NetworkInterface n;
    n.name = i->ifa_name ? i->ifa_name : "";
    n.up = i->ifa_flags & IFF_UP;
    n.running = i->ifa_flags & IFF_RUNNING;
    n.loopback = i->ifa_flags & IFF_LOOPBACK;
    n.hasAddress = i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6);
    out.push_back(n);
  }
  freeifaddrs(list);
  return out;
}

Reachability::Reachability(std::string target, bool hostName, InterfaceSource source)
    : target_(std::move(target)), hostName_(hostName), source_(std::move(source)) {}

Reachability::~Reachability() { unscheduleFromMainRunLoop(); }

std::shared_ptr<Reachability> Reachability::withName(std::string host, InterfaceSource source) {
  return std::make_shared<Reachability>(std::move(host), true, std::move(source));
}

std::shared_ptr<Reachability> Reachability::withAddress(std::string address, InterfaceSource source) {
  return std::make_shared<Reachability>(std::move(address), false, std::move(source));
}

uint32_t Reachability::flags() const {
  bool loopback = isLoopbackTarget(target_);
  uint32_t flags = 0;
  for (const auto& i : source_()) {
    if (!i.up || !i.running || !i.hasAddress || i.loopback != loopback) continue;
    uint32_t f = ReachabilityFlagReachable | (isCellular(i.name) ? uint32_t{ReachabilityFlagIsWWAN} : 0u);
    // A non-cellular path wins over a cellular one.
    if (!(flags & ReachabilityFlagReachable) || !(f & ReachabilityFlagIsWWAN)) flags = f;
  }
  return flags;
}

void Reachability::setCallback(std::function<void(uint32_t)> callback) {
  MutexLock lock(mutex_);
  callback_ = std::move(callback);
}

void Reachability::scheduleOnMainRunLoop(double interval) {
  unscheduleFromMainRunLoop();
  std::weak_ptr<Reachability> weak = shared_from_this();
  auto timer = RunLoop::main()->scheduleTimer(interval, true, [weak] {
    if (auto self = weak.lock()) self->poll();
  });
  MutexLock lock(mutex_);
  timer_ = timer;
}

void Reachability::unscheduleFromMainRunLoop() {
  std::shared_ptr<Timer> timer;
  {
    MutexLock lock(mutex_);
    timer.swap(timer_);
    last_.reset();
  }
  if (timer) timer->invalidate();
}

void Reachability::poll() {
  uint32_t now = flags();
  std::function<void(uint32_t)> callback;
  {
    MutexLock lock(mutex_);
    if (last_ && *last_ == now) return;
    last_ = now;
    callback = callback_;
  }
  if (callback) callback(now);
}

}  // namespace platform
