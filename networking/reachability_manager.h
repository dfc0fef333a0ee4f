// Watches whether a host or address can be reached and over which kind of network. Status
// changes, the status block and the change notification happen on the main thread;
// networkReachabilityStatus() may be read from any thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "networking/networking_exports.h"
#include "platform/mutex.h"
#include "platform/reachability.h"

enum MCNetworkReachabilityStatus : int64_t {
  MCNetworkReachabilityStatusUnknown = -1,
  MCNetworkReachabilityStatusNotReachable = 0,
  MCNetworkReachabilityStatusReachableViaWWAN = 1,
  MCNetworkReachabilityStatusReachableViaWiFi = 2,
};

std::string MCStringFromNetworkReachabilityStatus(int64_t status);
int64_t MCNetworkReachabilityStatusForFlags(uint32_t flags);

class MCNetworkReachabilityManager : public std::enable_shared_from_this<MCNetworkReachabilityManager> {
 public:
  // For the IPv4 zero address; made once per process, not started.
  static std::shared_ptr<MCNetworkReachabilityManager> sharedManager();
  static std::shared_ptr<MCNetworkReachabilityManager> managerForDomain(const std::string& domain);
  static std::shared_ptr<MCNetworkReachabilityManager> managerForAddress(const std::string& address);
  static std::shared_ptr<MCNetworkReachabilityManager> initWithReachability(std::shared_ptr<platform::Reachability> reachability);
  explicit MCNetworkReachabilityManager(std::shared_ptr<platform::Reachability> reachability);
  ~MCNetworkReachabilityManager();

  void startMonitoring();
  void stopMonitoring();
  void setReachabilityStatusChangeBlock(std::function<void(int64_t status)> block);

  int64_t networkReachabilityStatus() const { return status_; }
  unsigned long networkReachabilityAssociation() const { return reachability_ && reachability_->isHostName() ? 3 : 1; }
  bool isReachable() const { return isReachableViaWWAN() || isReachableViaWiFi(); }
  bool isReachableViaWWAN() const { return status_ == MCNetworkReachabilityStatusReachableViaWWAN; }
  bool isReachableViaWiFi() const { return status_ == MCNetworkReachabilityStatusReachableViaWiFi; }
  std::string localizedNetworkReachabilityStatusString() const { return MCStringFromNetworkReachabilityStatus(status_); }

 private:
  std::shared_ptr<platform::Reachability> reachability_;
  std::atomic<int64_t> status_{MCNetworkReachabilityStatusUnknown};
  mutable platform::Mutex mutex_;
  std::function<void(int64_t)> block_ GUARDED_BY(mutex_);
};
