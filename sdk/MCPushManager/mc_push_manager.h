// The process-wide manager of push actions and zone-visit reports. On the
// host's request it loads the current location's action beacons from the
// content server ("/actions") and matches every ranging batch against them;
// an action that fires reaches the delegate. The navigation tick hands it one
// zone-report line at a time, which it keeps until a post to the cloud
// service's zone-visit address is acknowledged.
//
// Threads: setters, `loadPushesFromServer` and `loadPushesByXML` from any
// thread; request callbacks, the rebuilt action list, `checkBeacons` and the
// actions' timers and delegate calls on the main thread. The manager's own
// fields and the report buffer are guarded by one lock, never held across a
// request or a delegate call.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "MCPushManager/mc_action.h"
#include "networking/http_request_operation_manager.h"
#include "platform/location_manager.h"
#include "platform/mutex.h"

class MCLocation;

class MCPushManager : public MCHTTPRequestOperationManager,
                      public std::enable_shared_from_this<MCPushManager> {
 public:
  // The zone-visit address and "target-ref" are the service's fixed ones
  // (MCServiceAddresses) unless set on this manager.
  static constexpr size_t kMaxZoneLines = 1000;

  static std::shared_ptr<MCPushManager> sharedInstance();
  MCPushManager();

  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCPushManagerDelegate> delegate);
  std::string server() const;
  std::string userHash() const;
  std::string zoneVisitURL() const;
  void setZoneVisitURL(const std::string& url);
  std::string targetRef() const;
  void setTargetRef(const std::string& ref);

  virtual void loadPushesFromServer();
  // One zone-report line from the navigation tick; returns at once.
  virtual void loadPushesByXML(const std::string& xml, const std::string& deviceId,
                       const std::string& deviceModel);
  // One ranging batch (main thread).
  void checkBeacons(const std::vector<platform::Beacon>& beacons);
  void changeUpdateActionsTimeout(int32_t seconds);
  int32_t updateActionsTimeout() const;

  // The action beacons of an accepted reply; false (and nothing changed) when
  // the reply is not accepted. Never throws, whatever the reply holds.
  bool parsePushes(const nlohmann::json& reply);

  static uint64_t stringToProximity(const std::string* text) { return MCStringToProximity(text); }
  static int64_t weekDayFromString(const std::string& text) { return MCWeekDayFromString(text); }
  static int64_t secondsFromString(const nlohmann::json* value) { return MCSecondsFromString(value); }

  // Readers for the host and tests.
  std::vector<std::shared_ptr<MCActionBeacon>> beacons() const;
  std::vector<std::string> xmlArray() const;
  int32_t postPacketNumber() const;

 private:
  // Lock order: the coordinator's tick lock comes before mutex_ (a zone report posted from
  // within the tick).
  mutable platform::Mutex mutex_;  // every field below
  std::string server_ GUARDED_BY(mutex_);
  std::string userHash_ GUARDED_BY(mutex_);
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  std::weak_ptr<MCPushManagerDelegate> delegate_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<MCActionBeacon>> beacons_ GUARDED_BY(mutex_);
  // Zone-report lines with their sequence numbers: a success removes only the
  // lines its post carried.
  std::deque<std::pair<uint64_t, std::string>> xmlArray_ GUARDED_BY(mutex_);
  uint64_t nextLine_ GUARDED_BY(mutex_) = 0;
  int32_t postPacketNumber_ GUARDED_BY(mutex_) = 0;
  int32_t updateActionsTimeout_ GUARDED_BY(mutex_) = 900;
  // "": the service's fixed ones
  std::string zoneVisitURL_ GUARDED_BY(mutex_);
  std::string targetRef_ GUARDED_BY(mutex_);
};
