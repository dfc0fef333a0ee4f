#include "MCSettingsManager/mc_settings_manager.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "MCModels/mc_json.h"
#include "Device/mc_device.h"
#include "Foundation/mc_log.h"
#include "networking/reachability_manager.h"
#include "platform/app.h"
#include "platform/clock.h"
#include "platform/main_thread.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"

using nlohmann::json;

namespace {

enum class Kind { Truth, Number, Period, Text, Any, Dropped };

// Every period the server sets, in seconds. Below a second a timer or
// throttle fires every tick; far beyond a month one never fires again.
constexpr double kShortestPeriod = 1;
constexpr double kLongestPeriod = 30 * 86400;

struct Key {
  const char* name;
  Kind kind;
};

// Every key a reply may carry.
constexpr Key kKeys[] = {
    {"fast_scan_enabled", Kind::Truth},
    {"regular_scan_enabled", Kind::Truth},
    {"restart_bluetooth_timeout", Kind::Period},
    {"production_enabled", Kind::Truth},
    {"post_zone_timeout", Kind::Period},
    {"post_messages_timeout_foreground", Kind::Period},
    {"post_messages_timeout_background", Kind::Period},
    {"actions_update_timeout", Kind::Period},
    {"config_update_timeout", Kind::Period},
    {"post_rfsignals_enabled", Kind::Truth},
    {"post_rfsignals_timeout", Kind::Period},
    {"post_rfsignals_length", Kind::Number},
    {"debug_level", Kind::Number},
    {"debug_log_file", Kind::Text},
    {"notifications_enabled", Kind::Any},
    {"regions_list", Kind::Dropped},
    {"working_timetable", Kind::Dropped},
};

// The keys that come back from the store before every request, in order.
constexpr const char* kRestored[] = {
    "fast_scan_enabled",       "regular_scan_enabled",    "restart_bluetooth_timeout",
    "post_zone_timeout",       "post_messages_timeout_foreground", "post_messages_timeout_background",
    "actions_update_timeout",  "config_update_timeout",   "debug_level",
    "debug_log_file"};

// The source files whose threshold "debug_level" sets: the listed managers'
// own files.
constexpr const char* kLevelFiles[] = {
    "main_sdk.cc",          "main_sdk_beacons.cc",     "main_sdk_location.cc",
    "main_sdk_readings.cc", "main_sdk_services.cc",    "mc_settings_manager.cc",
    "mc_settings_beacon_reports.cc", "mc_action.cc",   "mc_beacon_manager.cc",
    "mc_log_manager.cc",    "mc_push_manager.cc",      "mc_venue_manager.cc",
    "mc_category_manager.cc", "mc_sensor_manager.cc",  "mc_server_manager.cc",
    "mc_navigation_manager.cc"};

int32_t ToInt32(int64_t v) {
  return int32_t(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max()));
}

// The value when it has the key's kind; null (absent) otherwise, so the
// setting keeps the value it has.
json Checked(const Key& key, const json& value) {
  switch (key.kind) {
    case Kind::Truth:
      return value.is_boolean() || value.is_number() ? value : json();
    case Kind::Number:
      return value.is_number() ? value : json();
    case Kind::Period: {
      if (!value.is_number()) return json();
      const double seconds = value.get<double>();
      if (seconds >= kShortestPeriod && seconds <= kLongestPeriod) return value;
      MC_LOG(1, std::string("ERROR! ") + key.name + " of " + value.dump() + " s is out of range (" +
                    std::to_string(int64_t(kShortestPeriod)) + " to " + std::to_string(int64_t(kLongestPeriod)) +
                    " s), ignored: the previous value stays.\n");
      return json();
    }
    case Kind::Text:
      if (!value.is_string()) return json();
      if (!MCSettingsManager::isPlainFileName(value.get<std::string>())) {
        MC_LOG(1, "ERROR! Log file name refused, not a plain file name: " + value.get<std::string>() + "\n");
        return json();
      }
      return value;
    case Kind::Any:
      return value;
    case Kind::Dropped:
      return json();
  }
  return json();
}

}  // namespace

std::shared_ptr<MCSettingsManager> MCSettingsManager::sharedInstance() {
  static const std::shared_ptr<MCSettingsManager> instance = std::make_shared<MCSettingsManager>();
  return instance;
}

MCSettingsManager::MCSettingsManager() {
  device_ = MCDevice::device();
  fields_["config_update_timeout"] = 3600;
  fields_["post_rfsignals_enabled"] = true;
  fields_["post_rfsignals_timeout"] = 40;
  fields_["post_rfsignals_length"] = 30;
  _Logger.setLogFile((platform::Paths::documents() / "marvisto_log.txt").string());
  manager_ = MCHTTPRequestOperationManager::manager();
  manager_->responseSerializer = MCJSONResponseSerializer::serializer();
  // Settings and beacon-report replies take a few kilobytes; a reply past this bound fails as
  // it arrives, before the parser builds a value many times its size.
  manager_->maximumResponseDataLength = 1 << 20;
  locationManager_ = platform::LocationManager::create(platform::LocationManagerDelegate{});
  locationManager_->setDistanceFilter(-1);
  locationManager_->setDesiredAccuracy(100);
  applyDebugLevel(0);
}

MCSettingsManager::~MCSettingsManager() {
  if (configTimer_) configTimer_->invalidate();
  if (bybeaconTimer_) bybeaconTimer_->invalidate();
}

void MCSettingsManager::setServer(const std::string& server) {
  platform::MutexLock lock(stateMutex_);
  server_ = server;
}

void MCSettingsManager::setUserHash(const std::string& userHash) {
  platform::MutexLock lock(stateMutex_);
  userHash_ = userHash;
}

void MCSettingsManager::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(stateMutex_);
  location_ = std::move(location);
}

void MCSettingsManager::setDelegate(std::weak_ptr<MCSettingsManagerDelegate> delegate) {
  platform::MutexLock lock(stateMutex_);
  delegate_ = std::move(delegate);
}

void MCSettingsManager::setTargets(MCSettingsTargets targets) {
  platform::MutexLock lock(stateMutex_);
  targets_ = std::move(targets);
}

void MCSettingsManager::setDevice(std::shared_ptr<MCDevice> device) {
  platform::MutexLock lock(stateMutex_);
  device_ = std::move(device);
}

void MCSettingsManager::setFixSource(FixSource source) {
  platform::MutexLock lock(stateMutex_);
  fixSource_ = std::move(source);
}

std::optional<platform::Location> MCSettingsManager::lastFix() const {
  FixSource source;
  {
    platform::MutexLock lock(stateMutex_);
    source = fixSource_;
  }
  return source ? source() : locationManager_->location();
}

bool MCSettingsManager::isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

json MCSettingsManager::settings() const {
  platform::MutexLock lock(stateMutex_);
  json out = json::object();
  for (const auto& [k, v] : fields_) out[k] = v;
  return out;
}

int32_t MCSettingsManager::debugDLogLevel() const {
  platform::MutexLock lock(stateMutex_);
  return debugDLogLevel_;
}

std::optional<double> MCSettingsManager::configTimerPeriod() const {
  platform::MutexLock lock(stateMutex_);
  if (!configTimer_ || !configTimer_->isValid()) return std::nullopt;
  return configTimer_->timeInterval();
}

std::optional<double> MCSettingsManager::byBeaconTimerPeriod() const {
  platform::MutexLock lock(stateMutex_);
  if (!bybeaconTimer_ || !bybeaconTimer_->isValid()) return std::nullopt;
  return bybeaconTimer_->timeInterval();
}

bool MCSettingsManager::parseSettings(const json& reply) {
  if (!reply.is_object()) {
    MC_LOG(1, "ERROR! Settings reply is not an object, ignored: " + reply.dump().substr(0, 200) + "\n");
    return false;
  }
  std::map<std::string, json> fields;
  for (const Key& key : kKeys) {
    const json* value = MCJSONMember(reply, key.name);
    if (value == nullptr) continue;
    json checked = Checked(key, *value);
    if (checked.is_null()) {
      // (A period out of range has told why already.)
      if (key.kind != Kind::Dropped && !(key.kind == Kind::Period && value->is_number()))
        MC_LOG(2, std::string("Setting of the wrong type ignored: ") + key.name + "\n");
      continue;
    }
    fields[key.name] = std::move(checked);
  }
  platform::MutexLock lock(stateMutex_);
  fields_ = std::move(fields);
  return true;
}

void MCSettingsManager::applySettings() {
  std::map<std::string, json> f;
  MCSettingsTargets targets;
  {
    platform::MutexLock lock(stateMutex_);
    f = fields_;
    targets = targets_;
  }
  const auto defaults = platform::UserDefaults::standardUserDefaults();
  auto has = [&](const char* key) { return f.count(key) > 0; };
  auto truth = [&](const char* key) { return MCJSONBool(&f.at(key)).value_or(false); };
  auto integer = [&](const char* key) { return MCJSONInteger(&f.at(key)).value_or(0); };
  auto store = [&](const char* key) { defaults->setObject(f.at(key), key); };

  if (has("fast_scan_enabled")) {
    if (targets.fastScanEnabled) targets.fastScanEnabled(truth("fast_scan_enabled"));
    store("fast_scan_enabled");
  }
  if (has("regular_scan_enabled")) {
    if (targets.regularScanEnabled) targets.regularScanEnabled(truth("regular_scan_enabled"));
    store("regular_scan_enabled");
  }
  if (has("restart_bluetooth_timeout")) {
    if (targets.changeRestartTimeout)
      targets.changeRestartTimeout(MCJSONDouble(&f.at("restart_bluetooth_timeout")).value_or(0));
    store("restart_bluetooth_timeout");
  }
  if (has("production_enabled")) {
    if (truth("production_enabled")) _Logger.setDebugLevel(0);
    store("production_enabled");
  }
  const std::pair<const char*, std::function<void(int32_t)>*> plain[] = {
      {"post_zone_timeout", &targets.setDirectTimeout},
      {"post_messages_timeout_foreground", &targets.setMqMessageTimeoutForeground},
      {"post_messages_timeout_background", &targets.setMqMessageTimeoutBackground},
      {"actions_update_timeout", &targets.changeUpdateActionsTimeout}};
  for (const auto& [key, target] : plain) {
    if (!has(key)) continue;
    if (*target) (*target)(ToInt32(integer(key)));
    store(key);
  }
  if (has("config_update_timeout")) {
    store("config_update_timeout");
    restartConfigTimer(double(integer("config_update_timeout")));
  }
  if (has("post_rfsignals_enabled") && truth("post_rfsignals_enabled")) {
    const int64_t period = has("post_rfsignals_timeout") ? integer("post_rfsignals_timeout") : 0;
    if (period > 0) {
      restartByBeaconTimer(double(period));
    } else {
      MC_LOG(1, "ERROR! Beacon report period of " + std::to_string(period) + " s ignored.\n");
    }
  } else {
    // Reports are off: no timer goes on posting the phone's location.
    stopByBeaconTimer();
  }
  if (has("debug_level")) {
    applyDebugLevel(ToInt32(integer("debug_level")));
    store("debug_level");
  }
  if (has("debug_log_file") && f.at("debug_log_file").is_string()) {
    const std::string name = f.at("debug_log_file").get<std::string>();
    if (isPlainFileName(name)) {
      _Logger.setLogFile((platform::Paths::documents() / name).string());
      store("debug_log_file");
    }
  }
  defaults->synchronize();
}

void MCSettingsManager::restoreSettings() {
  const auto defaults = platform::UserDefaults::standardUserDefaults();
  {
    platform::MutexLock lock(stateMutex_);
    for (const char* name : kRestored) {
      const json value = defaults->objectForKey(name);
      if (value.is_null()) continue;
      const Key* key = std::find_if(std::begin(kKeys), std::end(kKeys),
                                    [&](const Key& k) { return std::string(k.name) == name; });
      // A store written by an older kit may hold what no reply may set.
      json checked = Checked(*key, value);
      if (!checked.is_null()) fields_[name] = std::move(checked);
    }
  }
  MC_LOG(1, "Apply old settings.\n");
  applySettings();
}

void MCSettingsManager::applyDebugLevel(int32_t level) {
  {
    platform::MutexLock lock(stateMutex_);
    const auto it = fields_.find("production_enabled");
    debugDLogLevel_ = it != fields_.end() && MCJSONBool(&it->second).value_or(false) ? 0 : level;
  }
  for (const char* file : kLevelFiles) _Logger.setDebugLevel(level, file);
}

void MCSettingsManager::restartConfigTimer(double period) {
  std::weak_ptr<MCSettingsManager> self = weak_from_this();
  // Always the main run loop: a worker thread's loop would never run it.
  auto timer = platform::RunLoop::main()->scheduleTimer(period, true, [self] {
    if (auto m = self.lock()) m->makeConfigRequest();
  });
  std::shared_ptr<platform::Timer> old;
  {
    platform::MutexLock lock(stateMutex_);
    old = std::exchange(configTimer_, timer);
  }
  if (old) old->invalidate();
}

void MCSettingsManager::restartByBeaconTimer(double period) {
  std::weak_ptr<MCSettingsManager> self = weak_from_this();
  auto timer = platform::RunLoop::main()->scheduleTimer(period, true, [self] {
    if (auto m = self.lock()) m->makeByBeaconRequest();
  });
  std::shared_ptr<platform::Timer> old;
  {
    platform::MutexLock lock(stateMutex_);
    old = std::exchange(bybeaconTimer_, timer);
  }
  if (old) old->invalidate();
}

void MCSettingsManager::stopByBeaconTimer() {
  std::shared_ptr<platform::Timer> old;
  {
    platform::MutexLock lock(stateMutex_);
    old = std::exchange(bybeaconTimer_, nullptr);
  }
  if (old) old->invalidate();
  platform::MutexLock lock(mutex_);
  beacons_.clear();
  beaconsCount_ = 0;
}

void MCSettingsManager::stopManager() {
  std::shared_ptr<platform::Timer> config, reports;
  {
    platform::MutexLock lock(stateMutex_);
    config = std::exchange(configTimer_, nullptr);
    reports = std::exchange(bybeaconTimer_, nullptr);
  }
  if (config) config->invalidate();
  if (reports) reports->invalidate();
}

std::string MCSettingsManager::deviceText() const {
  std::shared_ptr<MCDevice> device;
  std::string userHash;
  {
    platform::MutexLock lock(stateMutex_);
    device = device_;
    userHash = userHash_;
  }
  std::string perm;
  const int32_t auth = platform::LocationManager::authorizationStatus();
  if (auth == 3 || auth == 4) perm += "g";
  if (device && device->wifiInfo) perm += "w";
  if (device && device->centralManagerState() == 5) perm += "b";
  if (MCNetworkReachabilityManager::sharedManager()->networkReachabilityStatus() == 1) perm += "m";
  const int32_t now = int32_t(platform::Clock::now().seconds);
  return "<device userHash=\"" + userHash + "\" apiKey=\"" + userHash + "\" deviceId=\"" +
         (device ? device->deviceId : "") + "\" buildDate=\"2017-04-04 17:33:00\"" + std::string(25, ' ') +
         "buildVersion=\"0674104e\" deviceModel=\"" + (device ? device->model : "") + "\" osVersion=\"" +
         (device ? device->osVersion : "") + "\" wifiAddress=\"\" perm=\"" + perm + "\" deviceTime=\"" +
         std::to_string(now) + "\" appid=\"" + platform::Bundle::bundleIdentifier() + "\"/>";
}

void MCSettingsManager::makeConfigRequest() {
  restoreSettings();
  std::string text = deviceText();
  if (const auto fix = lastFix()) {
    char location[256];
    std::snprintf(location, sizeof location,
                  "<location latitude=\"%.8f\" longitude=\"%.8f\" altitude=\"%.8f\" accuracy=\"%.2f\" deviceTime=\"%d\"/>",
                  fix->latitude, fix->longitude, fix->altitude, fix->horizontalAccuracy, int32_t(fix->timestamp));
    text += location;
  }
  std::string url;
  {
    platform::MutexLock lock(stateMutex_);
    url = server_ + "/v0/apps/config?format=json";
  }
  const json parameters = {{"data", text}, {"format", "json"}};
  MC_LOG(1, "POST settings from: " + url + " with params: " + parameters.dump() + "\n");
  std::weak_ptr<MCSettingsManager> self = weak_from_this();
  manager_->POST(
      url, parameters,
      [self](const MCHTTPRequestOperationManager::Operation&, const MCResponseObject& object) {
        PLATFORM_MAIN_THREAD_ONLY();  // replies are applied where the timers run
        MC_LOG(1, "GET settings from server success!\n");
        const json* reply = std::any_cast<json>(&object);
        MC_LOG(2, "GET settings from server response: " + (reply ? reply->dump() : std::string("(none)")) + "\n");
        auto m = self.lock();
        if (m && reply && m->parseSettings(*reply)) m->applySettings();
      },
      [](const MCHTTPRequestOperationManager::Operation&, const platform::Error& error) {
        MC_LOG(1, "ERROR! Can't GET settings from server: " + error.description() + ".\n");
      });
}
