#include "MCPushManager/mc_push_manager.h"

#include <cstdio>

#include "MCModels/mc_json.h"
#include "MCModels/mc_location.h"
#include "MCServerManager/mc_service_addresses.h"
#include "Foundation/mc_log.h"
#include "platform/app.h"
#include "platform/clock.h"
#include "platform/main_thread.h"

using nlohmann::json;

namespace {

const json* AsJSON(const MCResponseObject& object) { return std::any_cast<json>(&object); }

std::shared_ptr<MCAction> ActionFrom(const json& a, const std::weak_ptr<MCPushManagerDelegate>& delegate) {
  auto action = std::make_shared<MCAction>();
  action->id = uint64_t(MCJSONInteger(MCJSONMember(a, "id")).value_or(0));
  action->active = MCJSONInteger(MCJSONMember(a, "active")).value_or(0) != 0;
  action->title = MCJSONText(MCJSONMember(a, "title")).value_or("");
  action->content = MCJSONText(MCJSONMember(a, "content")).value_or("");
  action->frequency = uint64_t(std::max<int64_t>(0, MCJSONInteger(MCJSONMember(a, "frequency")).value_or(0)));
  action->priority = uint64_t(MCJSONInteger(MCJSONMember(a, "priority")).value_or(0));
  const auto proximity = MCJSONText(MCJSONMember(a, "proximity"));
  action->proximity = MCStringToProximity(proximity ? &*proximity : nullptr);
  action->when = MCJSONText(MCJSONMember(a, "when")).value_or("");
  action->duration = uint64_t(MCJSONInteger(MCJSONMember(a, "duration")).value_or(0));
  action->image = MCJSONText(MCJSONMember(a, "image")).value_or("");
  action->delegate = delegate;
  if (const json* schedule = MCJSONObject(a, "schedule"); schedule != nullptr && !schedule->empty()) {
    action->scheduled = true;
    for (const auto& [name, day] : schedule->items()) {
      if (!MCJSONBool(MCJSONMember(day, "is_open")).value_or(false)) continue;
      const int64_t weekDay = MCWeekDayFromString(name);
      if (weekDay == 0) {
        MC_LOG(1, "Unknown day name in an action's schedule dropped: " + name + "\n");
        continue;
      }
      action->shedule.push_back(
          {weekDay, MCSecondsFromString(MCJSONMember(day, "start")), MCSecondsFromString(MCJSONMember(day, "end"))});
    }
  }
  return action;
}

}  // namespace

std::shared_ptr<MCPushManager> MCPushManager::sharedInstance() {
  static const std::shared_ptr<MCPushManager> instance = std::make_shared<MCPushManager>();
  return instance;
}

MCPushManager::MCPushManager() {
  responseSerializer = MCJSONResponseSerializer::serializer();
  // The actions of a venue's beacons fit in a few megabytes (zone-visit replies in far less);
  // a reply past this bound fails as it arrives, before the parser builds a value many times
  // its size.
  maximumResponseDataLength = 4 << 20;
}

void MCPushManager::setServer(const std::string& server) {
  platform::MutexLock lock(mutex_);
  server_ = server;
}

void MCPushManager::setUserHash(const std::string& userHash) {
  platform::MutexLock lock(mutex_);
  userHash_ = userHash;
}

void MCPushManager::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
}

void MCPushManager::setDelegate(std::weak_ptr<MCPushManagerDelegate> delegate) {
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

std::string MCPushManager::server() const {
  platform::MutexLock lock(mutex_);
  return server_;
}

std::string MCPushManager::userHash() const {
  platform::MutexLock lock(mutex_);
  return userHash_;
}

std::string MCPushManager::zoneVisitURL() const {
  platform::MutexLock lock(mutex_);
  return zoneVisitURL_.empty() ? MCServiceAddresses::zoneVisitURL() : zoneVisitURL_;
}

void MCPushManager::setZoneVisitURL(const std::string& url) {
  platform::MutexLock lock(mutex_);
  zoneVisitURL_ = url;
}

std::string MCPushManager::targetRef() const {
  platform::MutexLock lock(mutex_);
  return targetRef_.empty() ? MCServiceAddresses::zoneVisitTargetRef() : targetRef_;
}

void MCPushManager::setTargetRef(const std::string& ref) {
  platform::MutexLock lock(mutex_);
  targetRef_ = ref;
}

void MCPushManager::changeUpdateActionsTimeout(int32_t seconds) {
  platform::MutexLock lock(mutex_);
  updateActionsTimeout_ = seconds;
}

int32_t MCPushManager::updateActionsTimeout() const {
  platform::MutexLock lock(mutex_);
  return updateActionsTimeout_;
}

std::vector<std::shared_ptr<MCActionBeacon>> MCPushManager::beacons() const {
  platform::MutexLock lock(mutex_);
  return beacons_;
}

std::vector<std::string> MCPushManager::xmlArray() const {
  platform::MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& line : xmlArray_) out.push_back(line.second);
  return out;
}

int32_t MCPushManager::postPacketNumber() const {
  platform::MutexLock lock(mutex_);
  return postPacketNumber_;
}

void MCPushManager::loadPushesFromServer() {
  std::string url;
  json parameters;
  {
    platform::MutexLock lock(mutex_);
    url = server_ + "/actions";
    parameters = {{"locationId", location_ ? location_->id : 0}, {"format", "json"}, {"userHash", userHash_}};
  }
  MC_LOG(1, "GET pushes from: " + url + " with params: " + parameters.dump() + "\n");
  std::weak_ptr<MCPushManager> self = weak_from_this();
  GET(
      url, parameters,
      [self](const Operation&, const MCResponseObject& object) {
        PLATFORM_MAIN_THREAD_ONLY();  // the action list is rebuilt where ranging reads it
        MC_LOG(1, "GET push succes!\n");
        const json* reply = AsJSON(object);
        MC_LOG(2, "GET push response: " + (reply ? reply->dump() : std::string("(none)")) + "\n");
        if (auto m = self.lock(); m && reply) m->parsePushes(*reply);
      },
      [](const Operation&, const platform::Error& error) {
        MC_LOG(1, "ERROR! Can't load pushes from server: " + error.description() + ".\n");
      });
}

bool MCPushManager::parsePushes(const json& reply) {
  const json* data = MCJSONObject(reply, "data");
  if (data == nullptr || MCJSONInteger(MCJSONMember(*data, "success")).value_or(0) == 0) return false;
  int64_t locationId;
  std::weak_ptr<MCPushManagerDelegate> delegate;
  {
    platform::MutexLock lock(mutex_);
    locationId = location_ ? location_->id : 0;
    delegate = delegate_;
  }
  std::vector<std::shared_ptr<MCActionBeacon>> list;
  const json* location = MCJSONObject(*data, "location");
  const json* floors = location ? MCJSONArray(*location, "sublocations") : nullptr;
  for (const json& floor : floors ? *floors : json::array()) {
    const json* beacons = MCJSONArray(floor, "beacons");
    for (const json& b : beacons ? *beacons : json::array()) {
      auto beacon = std::make_shared<MCActionBeacon>();
      beacon->id = MCJSONInteger(MCJSONMember(b, "id")).value_or(0);
      beacon->major = MCJSONInteger(MCJSONMember(b, "major")).value_or(0);
      beacon->minor = MCJSONInteger(MCJSONMember(b, "minor")).value_or(0);
      beacon->uuid = MCJSONText(MCJSONMember(b, "uuid")).value_or("");
      beacon->sublocation = MCJSONInteger(MCJSONMember(b, "zoneId")).value_or(0);
      beacon->name = MCJSONText(MCJSONMember(b, "description")).value_or("");
      beacon->location = locationId;
      const json* actions = MCJSONArray(b, "actions");
      for (const json& a : actions ? *actions : json::array())
        if (a.is_object()) beacon->actions.push_back(ActionFrom(a, delegate));
      list.push_back(std::move(beacon));
    }
  }
  platform::MutexLock lock(mutex_);
  beacons_ = std::move(list);
  return true;
}

void MCPushManager::checkBeacons(const std::vector<platform::Beacon>& ranged) {
  PLATFORM_MAIN_THREAD_ONLY();
  const auto list = beacons();
  for (const auto& beacon : list) {
    for (const platform::Beacon& b : ranged) {
      if (int32_t(b.major) == beacon->major && b.minor == beacon->minor && b.proximityUUID == beacon->uuid)
        beacon->checkActionsWithProximity(uint64_t(std::max<int64_t>(0, b.proximity)));
    }
  }
}

void MCPushManager::loadPushesByXML(const std::string& xml, const std::string& deviceId,
                                    const std::string& deviceModel) {
  // True local time, as the zone report's own "d" attribute carries it.
  const platform::CalendarFields when = platform::Clock::localFields(platform::Clock::now().seconds);
  char localTime[64];
  std::snprintf(localTime, sizeof localTime, "%d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
                when.hour, when.minute, when.second);
  const double batteryLevel = double(platform::Device::batteryLevel()) * 100;
  const std::string url = zoneVisitURL(), targetRef = this->targetRef();
  std::string lines;
  uint64_t lastCarried;
  json parameters;
  {
    platform::MutexLock lock(mutex_);
    if (xmlArray_.size() >= kMaxZoneLines) xmlArray_.pop_front();
    xmlArray_.emplace_back(nextLine_++, xml);
    for (const auto& line : xmlArray_) lines += line.second + "\n";
    lastCarried = xmlArray_.back().first;
    parameters = {{"userHash", userHash_},   {"packetNumber", postPacketNumber_++},
                  {"localTime", localTime},  {"deviceId", deviceId},
                  {"xml", lines},            {"batteryLevel", batteryLevel},
                  {"deviceModel", deviceModel}, {"target-ref", targetRef}};
  }
  MC_LOG(1, "POST zone info to: " + url + " with params: " + parameters.dump() + "\n");
  std::weak_ptr<MCPushManager> self = weak_from_this();
  POST(
      url, parameters,
      [self, lastCarried](const Operation&, const MCResponseObject& object) {
        MC_LOG(1, "POST zone info success!\n");
        const json* reply = AsJSON(object);
        MC_LOG(2, "POST zone info response: " + (reply ? reply->dump() : std::string("(none)")) + "\n");
        auto m = self.lock();
        if (!m) return;
        // Lines appended while this post was under way go out with the next one.
        platform::MutexLock lock(m->mutex_);
        while (!m->xmlArray_.empty() && m->xmlArray_.front().first <= lastCarried) m->xmlArray_.pop_front();
      },
      [](const Operation&, const platform::Error& error) {
        MC_LOG(1, "ERROR! Can't POST zone info to server: " + error.description() + ".\n");
      });
}
