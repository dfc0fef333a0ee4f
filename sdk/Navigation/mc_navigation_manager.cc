#include "Navigation/mc_navigation_manager.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "MCPushManager/mc_push_manager.h"
#include "Foundation/mc_log.h"
#include "Navigation/mc_engine_zone.h"
#include "Navigation/utf8_text.h"
#include "platform/mutex.h"
#include "platform/user_defaults.h"

namespace {

const char* const kLocalTime = "localTime";

// The detail texts cost more to build than the tick's own work: only when written.
bool Detail() { return _Logger.enabled(3, __FILE__); }

std::string Format(const char* format, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

}  // namespace

std::shared_ptr<MCNavigationManager> MCNavigationManager::sharedInstance() {
  static const std::shared_ptr<MCNavigationManager> instance =
      std::make_shared<MCNavigationManager>();
  return instance;
}

MCNavigationManager::MCNavigationManager(std::shared_ptr<MCPushManager> pushManager)
    : pushManager_(pushManager ? std::move(pushManager) : MCPushManager::sharedInstance()),
      location_(std::make_shared<MCLocation>()),
      deviceInfo_(std::make_shared<MCDeviceInfo>()) {
  saveLocalTime();
}

void MCNavigationManager::createNavigationClient(const std::string& path,
                                                 const std::string& clientId,
                                                 const std::string& model,
                                                 std::optional<platform::Error>* error) {
  navigationEngine_.createNavigationClient(path, clientId, model, error);
}

void MCNavigationManager::cleanClient() { navigationEngine_.clearClient(); }

int32_t MCNavigationManager::navigate(WScanMessage& m, std::vector<MCZoneEvent>* events) {
  std::optional<platform::Error> error;
  const int32_t s = navigationEngine_.navigate(m, &error);
  const int64_t locationId = [&] {
    platform::MutexLock lock(mutex_);
    return locationId_;
  }();
  auto info = std::make_shared<MCDeviceInfo>();
  std::vector<MCZoneEvent> raised;
  if (s != 0) {
    info->error = error;
  } else {
    for (MCZoneInfo& z : zones_) z.state = 3;
    for (size_t i = 0; i < m.outZones.size(); ++i) {
      const Zone& z = m.outZones[i];
      auto zone = MCZoneFromEngine(z, m.outLocation, m.outSubLocation, locationId);
      if (Detail()) MC_LOG(3, Format("Hit zone[%d]:\n %s", int(i), zone->description().c_str()));
      info->zones.push_back(std::move(zone));
      if (MCZoneInfo* record = zoneWithId(z.id)) {
        record->state = 2;
      } else {
        zones_.push_back(MCZoneInfo::initWithZone(z));
      }
    }
    // The report's time is true local time, as the zone-visit post's "localTime" is.
    const platform::WallTime t = platform::Clock::now();
    const platform::CalendarFields when = platform::Clock::localFields(t.seconds);
    std::vector<MCZoneInfo> kept;
    for (MCZoneInfo& z : zones_) {
      if (z.state == 1) {
        z.enterTime = t;
        raised.push_back({true, z.id});
      }
      if (z.state == 3) {
        raised.push_back({false, z.id});
      } else {
        kept.push_back(std::move(z));
      }
    }
    zones_ = std::move(kept);
    // The last report's time is kept in memory; the store is written only when it changes.
    const double since = platform::Clock::nowSeconds() - lastReport();
    if (std::fabs(since) > directTimeout()) {
      pushManager_->loadPushesByXML(zoneReport(m, when), m.deviceId, m.deviceModel);
      saveLocalTime();
    }
  }
  info->id = m.deviceId;
  info->time = platform::Clock::nowSeconds();
  info->location = m.outLocation;
  info->sublocation = m.outSubLocation;
  info->x = float(m.outX);
  info->kx = float(m.outKX);
  info->y = float(m.outY);
  info->ky = float(m.outKY);
  info->r = float(m.outR);
  info->azimuth = float(m.outOrientation[0]);
  for (size_t j = 0; j < m.outPaths.size(); ++j) {
    if (Detail()) MC_LOG(3, Format("Route path[%d]:\n", int(j)));
    auto path = routeFrom(m.outPaths[j], true, locationId);
    MC_LOG(2, Format("Route distance[%d]: %f\n", int(j), double(path->lenght)));
    info->paths.push_back(std::move(path));
  }
  {
    platform::MutexLock lock(mutex_);
    deviceInfo_ = std::move(info);
  }
  if (events != nullptr) {
    events->insert(events->end(), raised.begin(), raised.end());
  } else {
    deliverZoneEvents(raised);
  }
  return s;
}

void MCNavigationManager::deliverZoneEvents(const std::vector<MCZoneEvent>& events) {
  std::shared_ptr<MCZoneManagerDelegate> d;
  {
    platform::MutexLock lock(mutex_);
    d = delegate_.lock();
  }
  if (!d) return;
  for (const MCZoneEvent& e : events) {
    const auto& slot = e.enter ? d->didEnterZoneWithId : d->didExitZoneWithId;
    if (slot) slot(e.zoneId);
  }
}

std::string MCNavigationManager::zoneReport(const WScanMessage& m,
                                            const platform::CalendarFields& when) const {
  std::string ids;
  for (const MCZoneInfo& z : zones_) {
    if (!ids.empty()) ids += ",";
    ids += std::to_string(z.id);
  }
  const std::string date = Format("%d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
                                  when.hour, when.minute, when.second);
  return Format("<Z i=\"%d\" kx=\"%lf\" ky=\"%lf\" d=\"", m.outSubLocation, m.outKX, m.outKY) +
         date + "\" z=\"" + ids + "\"/>";
}

std::shared_ptr<MCRoutePath> MCNavigationManager::routeFrom(const RoutePath& p, bool withEvents,
                                                            int64_t locationId) const {
  auto path = std::make_shared<MCRoutePath>();
  for (size_t k = 0; k < p.points.size(); ++k) {
    const LocationPoint& q = p.points[k];
    path->points.push_back(MCLocationPoint::pointWithLocation(locationId, q.subLoc, q.x, q.y));
    if (Detail()) MC_LOG(3, Format("point[%d]:%s\n", int(k), path->points.back()->description().c_str()));
  }
  if (withEvents) {
    for (size_t k = 0; k < p.events.size(); ++k) {
      auto e = std::make_shared<MCRouteEvent>();
      e->value = p.events[k].value;
      e->distance = float(p.events[k].distance);
      e->type = p.events[k].type;
      if (Detail()) MC_LOG(3, Format("event[%d]:%s\n", int(k), e->description().c_str()));
      path->events.push_back(std::move(e));
    }
  }
  path->lenght = float(p.length);
  return path;
}

std::shared_ptr<MCRoutePath> MCNavigationManager::makeRouteFrom(const MCLocationPoint& from,
                                                                const MCLocationPoint& to) {
  if (Detail()) {
    MC_LOG(3, "Make route from point:" + from.description() + " to point:" + to.description() + "\n");
  }
  RoutePath route;
  if (auto g = graph()) {
    route = g->makeRouteFrom(int32_t(from.sublocation), from.x.doubleValue(), from.y.doubleValue(),
                             int32_t(to.sublocation), to.x.doubleValue(), to.y.doubleValue());
  }
  MC_LOG(3, "Make route function return path:\n");
  int64_t locationId;
  {
    platform::MutexLock lock(mutex_);
    locationId = locationId_;
  }
  auto path = routeFrom(route, false, locationId);
  MC_LOG(3, Format("Make route function return length: %lf", route.length));
  return path;
}

void MCNavigationManager::addTatget(const MCLocationPoint& target) {
  MC_LOG(2, Format("Add target: (id:%" PRId64 ", x:%s, y:%s)\n", target.sublocation,
                   target.x.description().c_str(), target.y.description().c_str()));
  if (auto g = graph()) {
    g->addTatgetToSublocation(int32_t(target.sublocation), target.x.doubleValue(),
                              target.y.doubleValue());
  }
}

void MCNavigationManager::cancelTargets() {
  MC_LOG(2, "Cancel targets!\n");
  if (auto g = graph()) g->cancelTargets();
}

void MCNavigationManager::setGraphTag(const std::string& tag) {
  MC_LOG(2, "Set graph tag: " + tag + "\n");
  if (auto g = graph()) g->setCurrentTag(tag);
}

std::string MCNavigationManager::getGraphTag() {
  auto g = graph();
  return g ? g->getCurrentTag() : std::string();
}

std::string MCNavigationManager::getGraphDescription(const std::string& tag) {
  auto g = graph();
  return g ? g->graphDescription(tag) : std::string();
}

std::vector<std::string> MCNavigationManager::getGraphTags() {
  auto g = graph();
  return g ? g->graphTags() : std::vector<std::string>();
}

bool MCNavigationManager::setGraphParam(const std::map<std::string, std::string>& parameter) {
  auto g = graph();
  return g ? g->setGraphParameter(parameter) : false;
}

void MCNavigationManager::enablePDR(int32_t sublocation, double x, double y) {
  navigationEngine_.enablePDR(sublocation, x, y);
}

void MCNavigationManager::disablePDR() { navigationEngine_.disablePDR(); }

MCZoneInfo* MCNavigationManager::zoneWithId(int32_t zoneId) {
  for (MCZoneInfo& z : zones_) {
    if (z.id == zoneId) return &z;
  }
  return nullptr;
}

void MCNavigationManager::saveLocalTime() {
  const double now = platform::Clock::nowSeconds();
  {
    platform::MutexLock lock(mutex_);
    localTime_ = now;
  }
  auto defaults = platform::UserDefaults::standardUserDefaults();
  defaults->setObject(now, kLocalTime);
  defaults->synchronize();
}

double MCNavigationManager::lastReport() const {
  platform::MutexLock lock(mutex_);
  return localTime_;
}

std::shared_ptr<MCLocation> MCNavigationManager::location() const {
  platform::MutexLock lock(mutex_);
  return location_;
}

void MCNavigationManager::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
  locationId_ = location_ ? location_->id : 0;
}

std::shared_ptr<const MCDeviceInfo> MCNavigationManager::deviceInfo() const {
  platform::MutexLock lock(mutex_);
  return deviceInfo_;
}

void MCNavigationManager::setDelegate(std::weak_ptr<MCZoneManagerDelegate> delegate) {
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

int32_t MCNavigationManager::directTimeout() const {
  platform::MutexLock lock(mutex_);
  return directTimeout_;
}

void MCNavigationManager::setDirectTimeout(int32_t seconds) {
  platform::MutexLock lock(mutex_);
  directTimeout_ = seconds;
}
