#include "MCServerManager/mc_service_addresses.h"

#include "platform/mutex.h"

namespace {

// The one owner of the overrides.
struct Overrides {
  platform::Mutex mutex;
  std::string apiServer GUARDED_BY(mutex), cloudSetup GUARDED_BY(mutex), zoneVisit GUARDED_BY(mutex),
      targetRef GUARDED_BY(mutex);
};

Overrides& Held() {
  static Overrides o;
  return o;
}

std::string Read(std::string Overrides::*field, const char* fallback) {
  Overrides& o = Held();
  platform::MutexLock lock(o.mutex);
  return (o.*field).empty() ? fallback : o.*field;
}

void Write(std::string Overrides::*field, const std::string& value) {
  Overrides& o = Held();
  platform::MutexLock lock(o.mutex);
  o.*field = value;
}

}  // namespace

std::string MCServiceAddresses::apiServer() { return Read(&Overrides::apiServer, kDefaultApiServer); }
std::string MCServiceAddresses::cloudSetupURL() { return Read(&Overrides::cloudSetup, kDefaultCloudSetupURL); }
std::string MCServiceAddresses::zoneVisitURL() { return Read(&Overrides::zoneVisit, kDefaultZoneVisitURL); }
std::string MCServiceAddresses::zoneVisitTargetRef() {
  return Read(&Overrides::targetRef, kDefaultZoneVisitTargetRef);
}

void MCServiceAddresses::setApiServer(const std::string& v) { Write(&Overrides::apiServer, v); }
void MCServiceAddresses::setCloudSetupURL(const std::string& v) { Write(&Overrides::cloudSetup, v); }
void MCServiceAddresses::setZoneVisitURL(const std::string& v) { Write(&Overrides::zoneVisit, v); }
void MCServiceAddresses::setZoneVisitTargetRef(const std::string& v) { Write(&Overrides::targetRef, v); }

void MCServiceAddresses::reset() {
  Overrides& o = Held();
  platform::MutexLock lock(o.mutex);
  o.apiServer.clear();
  o.cloudSetup.clear();
  o.zoneVisit.clear();
  o.targetRef.clear();
}
