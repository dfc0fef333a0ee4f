#include "networking/reachability_manager.h"

#include "platform/dispatch.h"
#include "platform/mutex.h"
#include "platform/notification_center.h"

std::string MCStringFromNetworkReachabilityStatus(int64_t status) {
  switch (status) {
    case MCNetworkReachabilityStatusNotReachable: return "Not Reachable";
    case MCNetworkReachabilityStatusReachableViaWWAN: return "Reachable via WWAN";
    case MCNetworkReachabilityStatusReachableViaWiFi: return "Reachable via WiFi";
    default: return "Unknown";
  }
}

int64_t MCNetworkReachabilityStatusForFlags(uint32_t flags) {
  bool reachable = flags & platform::ReachabilityFlagReachable;
  bool needsConnection = flags & platform::ReachabilityFlagConnectionRequired;
  bool automatic = flags & (platform::ReachabilityFlagConnectionOnDemand | platform::ReachabilityFlagConnectionOnTraffic);
  bool withoutUser = automatic && !(flags & platform::ReachabilityFlagInterventionRequired);
  if (!(reachable && (!needsConnection || withoutUser))) return MCNetworkReachabilityStatusNotReachable;
  return (flags & platform::ReachabilityFlagIsWWAN) ? MCNetworkReachabilityStatusReachableViaWWAN
                                                     : MCNetworkReachabilityStatusReachableViaWiFi;
}

std::shared_ptr<MCNetworkReachabilityManager> MCNetworkReachabilityManager::sharedManager() {
  // Kept to the end of the process, like every process-wide object of the client.
  static const auto* shared = new std::shared_ptr<MCNetworkReachabilityManager>(managerForAddress("0.0.0.0"));
  return *shared;
}

std::shared_ptr<MCNetworkReachabilityManager> MCNetworkReachabilityManager::managerForDomain(const std::string& domain) {
  return initWithReachability(platform::Reachability::withName(domain));
}

std::shared_ptr<MCNetworkReachabilityManager> MCNetworkReachabilityManager::managerForAddress(const std::string& address) {
  return initWithReachability(platform::Reachability::withAddress(address));
}

std::shared_ptr<MCNetworkReachabilityManager> MCNetworkReachabilityManager::initWithReachability(
    std::shared_ptr<platform::Reachability> reachability) {
  if (!reachability) return nullptr;
  return std::make_shared<MCNetworkReachabilityManager>(std::move(reachability));
}

MCNetworkReachabilityManager::MCNetworkReachabilityManager(std::shared_ptr<platform::Reachability> reachability)
    : reachability_(std::move(reachability)) {}

MCNetworkReachabilityManager::~MCNetworkReachabilityManager() { stopMonitoring(); }

void MCNetworkReachabilityManager::setReachabilityStatusChangeBlock(std::function<void(int64_t)> block) {
  platform::MutexLock lock(mutex_);
  block_ = std::move(block);
}

void MCNetworkReachabilityManager::startMonitoring() {
  stopMonitoring();
  if (!reachability_) return;
  std::weak_ptr<MCNetworkReachabilityManager> weak = shared_from_this();
  auto statusChanged = [weak](int64_t status) {
    auto self = weak.lock();
    if (!self) return;
    self->status_ = status;
    std::function<void(int64_t)> block;
    {
      platform::MutexLock lock(self->mutex_);
      block = self->block_;
    }
    if (block) block(status);
  };
  auto notify = [](int64_t status) {
    platform::dispatch::async(platform::dispatch::mainQueue(), [status] {
      platform::NotificationCenter::defaultCenter()->postNotificationName(
          MCNetworkingReachabilityDidChangeNotification, nullptr, {{MCNetworkingReachabilityNotificationStatusItem, status}});
    });
  };
  reachability_->setCallback([statusChanged, notify](uint32_t flags) {
    int64_t status = MCNetworkReachabilityStatusForFlags(flags);
    statusChanged(status);
    notify(status);
  });
  reachability_->scheduleOnMainRunLoop();
  if (!reachability_->isHostName()) {
    auto reachability = reachability_;
    platform::dispatch::async(platform::dispatch::globalQueue(platform::dispatch::Priority::Background),
                              [reachability, statusChanged] {
                                int64_t status = MCNetworkReachabilityStatusForFlags(reachability->flags());
                                platform::dispatch::async(platform::dispatch::mainQueue(), [statusChanged, status] {
                                  statusChanged(status);
                                  platform::NotificationCenter::defaultCenter()->postNotificationName(
                                      MCNetworkingReachabilityDidChangeNotification, nullptr,
                                      {{MCNetworkingReachabilityNotificationStatusItem, status}});
                                });
                              });
  }
}

void MCNetworkReachabilityManager::stopMonitoring() {
  if (reachability_) reachability_->unscheduleFromMainRunLoop();
}
