// The navigation manager: runs the positioning step of every tick, keeps the
// zones the device is in, reports their entries and exits, sends a zone report
// through the push manager at most once per `directTimeout` seconds, and
// publishes the device information the host reads. Also routes, targets,
// graph tags and parameters, dead reckoning and floor <-> degrees.
//
// Threads: `navigate` on the navigation tick's thread only (the zone records
// are that thread's). Route, target, tag, parameter and PDR calls from any
// thread, also while a client is being replaced. `deviceInfo()` from any
// thread: it returns the last published snapshot, never a half-filled one.
// Zone callbacks are delivered by `deliverZoneEvents` on the thread that calls
// it, so the caller can release its own locks first; `navigate` without an
// event list delivers them itself before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCModels/mc_device_info.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_route_path.h"
#include "Navigation/m_navigation_engine.h"
#include "Navigation/mc_zone_info.h"
#include "platform/mutex.h"
#include "server/wscan.h"

class MCPushManager;

struct MCZoneManagerDelegate {
  std::function<void(int64_t zoneId)> didEnterZoneWithId;
  std::function<void(int64_t zoneId)> didExitZoneWithId;
};

// A zone entry or exit raised by one tick, in the order the tick raised them.
struct MCZoneEvent {
  bool enter = true;
  int64_t zoneId = 0;
  friend bool operator==(const MCZoneEvent&, const MCZoneEvent&) = default;
};

class MCNavigationManager {
 public:
  static std::shared_ptr<MCNavigationManager> sharedInstance();
  // init; `pushManager` null takes the shared one.
  explicit MCNavigationManager(std::shared_ptr<MCPushManager> pushManager = nullptr);

  void createNavigationClient(const std::string& path, const std::string& clientId,
                              const std::string& model, std::optional<platform::Error>* error);
  void cleanClient();
  // The positioning step on the tick's message; the engine status (0 success).
  int32_t navigate(WScanMessage& message, std::vector<MCZoneEvent>* events = nullptr);
  void deliverZoneEvents(const std::vector<MCZoneEvent>& events);

  std::shared_ptr<MCRoutePath> makeRouteFrom(const MCLocationPoint& from, const MCLocationPoint& to);
  void addTatget(const MCLocationPoint& target);
  void cancelTargets();
  void setGraphTag(const std::string& tag);
  std::string getGraphTag();
  std::string getGraphDescription(const std::string& tag);
  std::vector<std::string> getGraphTags();
  bool setGraphParam(const std::map<std::string, std::string>& parameter);
  void enablePDR(int32_t sublocation, double x, double y);
  void disablePDR();
  // Tick thread only.
  MCZoneInfo* zoneWithId(int32_t zoneId);
  // Stores the time of the last zone report (kept in memory, persisted under
  // "localTime"); the throttle reads the memory, never the store.
  void saveLocalTime();
  double lastReport() const;

  std::shared_ptr<MCLocation> location() const;
  void setLocation(std::shared_ptr<MCLocation> location);
  // The device information of the last tick: a snapshot that no tick changes.
  std::shared_ptr<const MCDeviceInfo> deviceInfo() const;
  MNavigationEngine& navigationEngine() { return navigationEngine_; }
  std::shared_ptr<MCPushManager> pushManager() const { return pushManager_; }
  void setDelegate(std::weak_ptr<MCZoneManagerDelegate> delegate);
  int32_t directTimeout() const;
  void setDirectTimeout(int32_t seconds);

 private:
  std::string zoneReport(const WScanMessage& m, const platform::CalendarFields& when) const;
  std::shared_ptr<MCRoutePath> routeFrom(const RoutePath& path, bool withEvents,
                                         int64_t locationId) const;
  std::shared_ptr<MGraphEngine> graph() { return navigationEngine_.graphEngine(); }

  MNavigationEngine navigationEngine_;
  std::shared_ptr<MCPushManager> pushManager_;
  std::vector<MCZoneInfo> zones_;  // tick thread only; in order of entry

  mutable platform::Mutex mutex_;  // guards the fields below; never held across a call out
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  int64_t locationId_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<const MCDeviceInfo> deviceInfo_ GUARDED_BY(mutex_);
  std::weak_ptr<MCZoneManagerDelegate> delegate_ GUARDED_BY(mutex_);
  int32_t directTimeout_ GUARDED_BY(mutex_) = 30;
  double localTime_ GUARDED_BY(mutex_) = 0;  // seconds since 1970 of the last zone report
};
