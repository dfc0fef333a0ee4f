// Reachability of a host name or address, judged from the system's network interfaces
// (getifaddrs): reachable when an interface that can carry the traffic is up. Changes are
// found by polling on the main run loop, so they follow the platform clock (manual in tests).
// flags() is safe from any thread; the callback runs on the main thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace platform {

class Timer;

enum ReachabilityFlag : uint32_t {
  ReachabilityFlagReachable = 0x2,
  ReachabilityFlagConnectionRequired = 0x4,
  ReachabilityFlagConnectionOnTraffic = 0x8,
  ReachabilityFlagInterventionRequired = 0x10,
  ReachabilityFlagConnectionOnDemand = 0x20,
  ReachabilityFlagIsWWAN = 0x40000,
};

struct NetworkInterface {
  std::string name;
  bool up = false;
  bool running = false;
  bool loopback = false;
  bool hasAddress = false;
};

using InterfaceSource = std::function<std::vector<NetworkInterface>()>;
std::vector<NetworkInterface> systemNetworkInterfaces();

class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  static std::shared_ptr<Reachability> withName(std::string host, InterfaceSource source = systemNetworkInterfaces);
  static std::shared_ptr<Reachability> withAddress(std::string address, InterfaceSource source = systemNetworkInterfaces);
  ~Reachability();

  bool isHostName() const { return hostName_; }
  uint32_t flags() const;
  void setCallback(std::function<void(uint32_t flags)> callback);
  // Polls every `interval` seconds; the first poll reports, later ones report changes.
  void scheduleOnMainRunLoop(double interval = 1.0);
  void unscheduleFromMainRunLoop();

  Reachability(std::string target, bool hostName, InterfaceSource source);

 private:
  void poll();
  std::string target_;
  bool hostName_;
  InterfaceSource source_;
  mutable Mutex mutex_;
  std::function<void(uint32_t)> callback_ GUARDED_BY(mutex_);
  std::shared_ptr<Timer> timer_ GUARDED_BY(mutex_);
  std::optional<uint32_t> last_ GUARDED_BY(mutex_);
};

}  // namespace platform
