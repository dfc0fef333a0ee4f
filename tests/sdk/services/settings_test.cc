// Remote settings against our content server: applied, stored and restored;
// what a server must not be able to make the kit do; timers that stay on the
// main run loop whichever thread asked.
#include <cmath>
#include <thread>

#include "MCSettingsManager/mc_settings_manager.h"
#include "platform/user_defaults.h"
#include "sdk/services/services_support.h"

using nlohmann::json;

namespace {

json Stored(const std::string& key) { return platform::UserDefaults::standardUserDefaults()->objectForKey(key); }

class Settings : public services_test::ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    m_ = make();
  }
  void TearDown() override {
    m_->stopManager();
    ServicesTest::TearDown();
  }
  // A manager whose targets record the last value each received, and on which thread.
  std::shared_ptr<MCSettingsManager> make() {
    auto m = std::make_shared<MCSettingsManager>();
    auto put = [this](const char* name) {
      return [this, name](auto v) { heard_[name] = {double(v), platform::RunLoop::isMainThread()}; };
    };
    m->setTargets({put("fast"), put("regular"), put("restart"), put("zone"), put("fg"), put("bg"), put("actions")});
    m->setServer(base());
    m->setUserHash("hash-1");
    m->setFixSource([] { return std::optional<platform::Location>(services_test::Fix()); });
    return m;
  }
  bool awaitReply() {
    return platform::testing::pumpUntil([&] { return m_->settings().contains("post_zone_timeout"); });
  }
  const std::string config_ = "/v0/apps/config";
  std::map<std::string, std::pair<double, bool>> heard_;
  std::shared_ptr<MCSettingsManager> m_;
};

TEST_F(Settings, AppliedOnTheMainThreadStoredAndRestoredAtTheNextStart) {
  editReplies([](contentserver::SdkReplies& r) {
    r.config = {{"post_zone_timeout", 12}, {"restart_bluetooth_timeout", 10}, {"regular_scan_enabled", false},
                {"actions_update_timeout", 77}, {"config_update_timeout", 600}, {"debug_log_file", "mine.txt"}};
  });
  m_->makeConfigRequest();
  // The restore step ran first: creation periods, 3600 stored.
  EXPECT_EQ(m_->configTimerPeriod(), 3600);
  EXPECT_EQ(m_->byBeaconTimerPeriod(), 40);
  EXPECT_EQ(Stored("config_update_timeout"), 3600);
  ASSERT_TRUE(awaitReply());
  const std::string sent = routes_->records(config_)[0].form.at("data");
  EXPECT_EQ(sent.rfind("<device userHash=\"hash-1\" apiKey=\"hash-1\" deviceId=\"", 0), 0u);
  EXPECT_NE(sent.find("\"2017-04-04 17:33:00\"" + std::string(25, ' ') + "buildVersion="), std::string::npos);
  EXPECT_NE(sent.find("<location latitude=\"52.50000000\" longitude=\"13.25000000\""), std::string::npos);
  EXPECT_EQ(heard_["zone"], std::make_pair(12.0, true));
  EXPECT_EQ(heard_["restart"], std::make_pair(10.0, true));
  EXPECT_EQ(m_->configTimerPeriod(), 600);
  // Reports were left out: off, and no timer posts any more.
  EXPECT_FALSE(m_->byBeaconTimerPeriod());
  m_->stopManager();

  // The next start, against a server that sends nothing: the stored values come back first.
  editReplies([](contentserver::SdkReplies& r) { r.config = {{"post_zone_timeout", nullptr}}; });
  heard_.clear();
  m_ = make();
  m_->makeConfigRequest();
  EXPECT_EQ(heard_["zone"].first, 12);
  EXPECT_EQ(heard_["regular"].first, 0);
  EXPECT_EQ(heard_["actions"].first, 77);
  EXPECT_EQ(m_->configTimerPeriod(), 600);
  EXPECT_EQ(m_->settings().value("debug_log_file", ""), "mine.txt");
  EXPECT_EQ(m_->settings().value("post_rfsignals_length", 0), 30);  // memory only: back to its creation value
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !m_->settings().contains("config_update_timeout"); }));
  EXPECT_EQ(Stored("post_zone_timeout"), 12);
}

// Each reply after a base of a 600 s configuration timer, reports every 50 s
// and the log file "good.txt".
TEST_F(Settings, RepliesTheKitMustNotObey) {
  struct Row {
    const char* reply;
    bool parsed;
    std::optional<double> config, reports;
    const char* logFile;
  };
  const json base = {{"config_update_timeout", 600}, {"post_rfsignals_enabled", true},
                     {"post_rfsignals_timeout", 50}, {"debug_log_file", "good.txt"}};
  const Row rows[] = {
      {R"({"debug_log_file": "../escape.txt"})", true, 600, 50, "good.txt"},
      {R"({"debug_log_file": "/tmp/escape.txt"})", true, 600, 50, "good.txt"},
      {R"({"debug_log_file": "logs/inner.txt"})", true, 600, 50, "good.txt"},
      {R"({"debug_log_file": ".."})", true, 600, 50, "good.txt"},
      {R"({"debug_log_file": "plain.txt"})", true, 600, 50, "plain.txt"},
      {R"({"config_update_timeout": 0})", true, 600, 50, "good.txt"},
      {R"({"config_update_timeout": -5})", true, 600, 50, "good.txt"},
      {R"({"config_update_timeout": 120})", true, 120, 50, "good.txt"},
      {R"({"post_rfsignals_timeout": 0})", true, 600, 50, "good.txt"},
      {R"({"post_rfsignals_timeout": null})", true, 600, 50, "good.txt"},
      {R"({"post_rfsignals_enabled": false})", true, 600, std::nullopt, "good.txt"},
      {R"([{"config_update_timeout": 5}])", false, 600, 50, "good.txt"},
      {R"("config_update_timeout")", false, 600, 50, "good.txt"},
      {R"(null)", false, 600, 50, "good.txt"},
      {R"({"config_update_timeout": "60", "post_rfsignals_timeout": "5", "debug_log_file": 7,
           "debug_level": {}, "fast_scan_enabled": "yes", "post_zone_timeout": [1]})", true, 600, 50, "good.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    ASSERT_TRUE(m_->parseSettings(base));
    m_->applySettings();
    heard_.clear();
    json reply = json::parse(row.reply);
    if (reply.is_object() && !reply.contains("post_rfsignals_enabled"))
      for (const auto& [k, v] : base.items())
        if (!reply.contains(k)) reply[k] = v;
    EXPECT_EQ(m_->parseSettings(reply), row.parsed);
    m_->applySettings();
    EXPECT_EQ(m_->configTimerPeriod(), row.config);
    EXPECT_EQ(m_->byBeaconTimerPeriod(), row.reports);
    EXPECT_EQ(Stored("debug_log_file"), row.logFile);
    EXPECT_TRUE(heard_.empty());
  }
}

// Every period a reply (or a store an older kit wrote) may set: out of range,
// it reaches no manager and no timer, and the value before stays, stored too.
TEST_F(Settings, PeriodsOutOfRangeLeaveTheValueBefore) {
  struct Period {
    const char* key;
    const char* heard;  // the target, or "" for a timer
    double before;
  };
  const Period periods[] = {{"restart_bluetooth_timeout", "restart", 10}, {"post_zone_timeout", "zone", 30},
                            {"post_messages_timeout_foreground", "fg", 10}, {"post_messages_timeout_background", "bg", 300},
                            {"actions_update_timeout", "actions", 900},   {"config_update_timeout", "", 600},
                            {"post_rfsignals_timeout", "", 50}};
  struct Value {
    json value;
    bool taken;
  };
  const Value values[] = {{0, false},    {-1, false},     {0.5, false},    {1e308, false},     {-1e308, false},
                          {2592001, false}, {9.3e18, false}, {1, true},     {2592000, true},    {45, true}};
  auto timer = [&](const char* key) {
    return std::string(key) == "config_update_timeout" ? m_->configTimerPeriod() : m_->byBeaconTimerPeriod();
  };
  for (const Period& p : periods)
    for (const Value& v : values) {
      SCOPED_TRACE(std::string(p.key) + " = " + v.value.dump());
      const json base = {{p.key, p.before}, {"post_rfsignals_enabled", true}, {"post_rfsignals_timeout", 50}};
      ASSERT_TRUE(m_->parseSettings(base));
      m_->applySettings();
      heard_.clear();
      json reply = base;
      reply[p.key] = v.value;
      ASSERT_TRUE(m_->parseSettings(reply));
      m_->applySettings();
      const double now = v.taken ? std::trunc(v.value.get<double>()) : p.before;
      if (*p.heard) {
        EXPECT_EQ(heard_.count(p.heard) ? heard_[p.heard].first : -1, v.taken ? now : -1);
      } else {
        EXPECT_EQ(timer(p.key), now);
      }
      if (std::string(p.key) == "post_rfsignals_timeout") continue;  // kept in memory only
      EXPECT_EQ(Stored(p.key), v.taken ? v.value : json(p.before));
      // The same value in the store, as an older kit left it: restored only when in range.
      platform::UserDefaults::standardUserDefaults()->setObject(v.value, p.key);
      ASSERT_TRUE(m_->parseSettings(json::object()));
      heard_.clear();
      m_->restoreSettings();
      EXPECT_EQ(heard_.count(p.heard), *p.heard && v.taken ? 1u : 0u);
    }
}

TEST_F(Settings, AServerThatTurnsReportsOffGetsNoMoreReports) {
  m_->makeConfigRequest();
  ASSERT_TRUE(awaitReply());  // reports every 40 s from the reply on
  platform::testing::advance(80.0);
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 2));
  editReplies([](contentserver::SdkReplies& r) { r.config = {{"post_zone_timeout", 1}}; });
  m_->makeConfigRequest();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !m_->byBeaconTimerPeriod(); }));
  m_->addNewBeacons({services_test::RangedBeacon(1, 2)});
  EXPECT_EQ(m_->beaconsCount(), 0);
  platform::testing::advance(400.0);
  platform::testing::settle();
  EXPECT_EQ(count("/v0/locations/byBeacon"), 2u);
}

TEST_F(Settings, TimersMadeOnAWorkerThreadRunOnTheMainLoop) {
  editReplies([](contentserver::SdkReplies& r) { r.configStatus = 500; });  // no reply re-creates them
  std::thread([&] { m_->makeConfigRequest(); }).join();
  ASSERT_TRUE(awaitCount(config_, 1));
  platform::testing::advance(40.0);
  EXPECT_TRUE(awaitCount("/v0/locations/byBeacon", 1));
  platform::testing::advance(3600.0 - 40.0);
  EXPECT_TRUE(awaitCount(config_, 2));
}

}  // namespace
