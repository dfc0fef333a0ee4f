// Remote settings against our content server: applied, stored and restored;
// what the server must not be able to do (escape Documents, flood it with
// zero periods, keep reports going after turning them off, crash the kit);
// timers that stay on the main run loop whichever thread asked.
#include <thread>

#include "MCSettingsManager/mc_settings_manager.h"
#include "MainSDK/mc_device.h"
#include "platform/user_defaults.h"
#include "sdk/services/services_support.h"

using nlohmann::json;
using services_test::ServicesTest;

namespace {

struct Heard {
  std::map<std::string, double> values;  // last value per target
  std::map<std::string, bool> onMain;
};

MCSettingsTargets Recording(std::shared_ptr<Heard> h) {
  auto put = [h](const char* name) {
    return [h, name](auto v) {
      h->values[name] = double(v);
      h->onMain[name] = platform::RunLoop::isMainThread();
    };
  };
  MCSettingsTargets t;
  t.fastScanEnabled = put("fast");
  t.regularScanEnabled = put("regular");
  t.changeRestartTimeout = put("restart");
  t.setDirectTimeout = put("zone");
  t.setMqMessageTimeoutForeground = put("fg");
  t.setMqMessageTimeoutBackground = put("bg");
  t.changeUpdateActionsTimeout = put("actions");
  return t;
}

json Stored(const std::string& key) { return platform::UserDefaults::standardUserDefaults()->objectForKey(key); }

class Settings : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    m_ = std::make_shared<MCSettingsManager>();
    m_->setTargets(Recording(heard_));
    m_->setServer(base());
    m_->setUserHash("hash-1");
    m_->setFixSource([] { return std::optional<platform::Location>(services_test::Fix()); });
  }
  void TearDown() override {
    m_->stopManager();
    ServicesTest::TearDown();
  }
  const std::string config_ = "/v0/apps/config";
  std::shared_ptr<Heard> heard_ = std::make_shared<Heard>();
  std::shared_ptr<MCSettingsManager> m_;
};

TEST_F(Settings, FirstRequestAppliesCreationValuesThenTheReplyOnTheMainThread) {
  editReplies([](contentserver::SdkReplies& r) {
    r.config = {{"post_zone_timeout", 12}, {"restart_bluetooth_timeout", 10}, {"fast_scan_enabled", true},
                {"post_messages_timeout_background", 300}, {"post_rfsignals_enabled", true},
                {"post_rfsignals_timeout", 40}, {"post_rfsignals_length", 30}};
  });
  m_->makeConfigRequest();
  // The restore step ran before the request: creation periods, 3600 stored.
  EXPECT_EQ(m_->configTimerPeriod(), 3600);
  EXPECT_EQ(m_->byBeaconTimerPeriod(), 40);
  EXPECT_EQ(Stored("config_update_timeout"), 3600);
  ASSERT_TRUE(awaitCount(config_, 1));
  const auto sent = routes_->records(config_)[0];
  EXPECT_EQ(sent.form.at("format"), "json");
  EXPECT_EQ(sent.form.at("data").rfind("<device userHash=\"hash-1\" apiKey=\"hash-1\" deviceId=\"", 0), 0u);
  EXPECT_NE(sent.form.at("data").find("buildDate=\"2017-04-04 17:33:00\"" + std::string(25, ' ') + "buildVersion="),
            std::string::npos);
  EXPECT_NE(sent.form.at("data").find("<location latitude=\"52.50000000\" longitude=\"13.25000000\""),
            std::string::npos);
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return heard_->values.count("zone") > 0; }));
  EXPECT_EQ(heard_->values["zone"], 12);
  EXPECT_EQ(heard_->values["restart"], 10.0);
  EXPECT_EQ(heard_->values["fast"], 1);
  EXPECT_EQ(heard_->values["bg"], 300);
  EXPECT_TRUE(heard_->onMain["zone"]);
  EXPECT_EQ(Stored("post_zone_timeout"), 12);
  // The reply left "config_update_timeout" out: the field clears, the timer runs on.
  EXPECT_FALSE(m_->settings().contains("config_update_timeout"));
  EXPECT_EQ(m_->configTimerPeriod(), 3600);
}

TEST_F(Settings, StoredValuesComeBackBeforeTheNextStartsFirstRequest) {
  editReplies([](contentserver::SdkReplies& r) {
    r.config = {{"post_zone_timeout", 12}, {"actions_update_timeout", 77}, {"config_update_timeout", 600},
                {"debug_log_file", "mine.txt"}, {"regular_scan_enabled", false},
                {"post_messages_timeout_foreground", 9}, {"post_rfsignals_length", 5}};
  });
  m_->makeConfigRequest();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return m_->configTimerPeriod() == 600; }));
  m_->stopManager();

  // A new start in the same home, against a server that now sends nothing.
  editReplies([](contentserver::SdkReplies& r) { r.config = json::object(); });
  auto heard = std::make_shared<Heard>();
  auto next = std::make_shared<MCSettingsManager>();
  next->setTargets(Recording(heard));
  next->setServer(base());
  next->makeConfigRequest();
  EXPECT_EQ(heard->values["zone"], 12);
  EXPECT_EQ(heard->values["actions"], 77);
  EXPECT_EQ(heard->values["regular"], 0);
  EXPECT_EQ(heard->values["fg"], 9);
  EXPECT_EQ(next->configTimerPeriod(), 600);
  EXPECT_EQ(next->settings().value("debug_log_file", ""), "mine.txt");
  // The report length lives in memory only: the new start has its creation value.
  EXPECT_EQ(next->settings().value("post_rfsignals_length", 0), 30);
  ASSERT_TRUE(awaitCount(config_, 2));
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !next->settings().contains("post_zone_timeout"); }));
  EXPECT_EQ(Stored("post_zone_timeout"), 12);  // kept for the next restore
  next->stopManager();
}

// What a reply does to the timers and the stored log file name, starting from
// a configuration timer of 600 s, reports every 50 s and "good.txt".
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
      {R"({"debug_log_file": ""})", true, 600, 50, "good.txt"},
      {R"({"debug_log_file": "plain.txt"})", true, 600, 50, "plain.txt"},
      {R"({"config_update_timeout": 0})", true, 600, 50, "good.txt"},
      {R"({"config_update_timeout": -5})", true, 600, 50, "good.txt"},
      {R"({"config_update_timeout": 120})", true, 120, 50, "good.txt"},
      {R"({"post_rfsignals_timeout": 0})", true, 600, 50, "good.txt"},
      {R"({"post_rfsignals_timeout": -40})", true, 600, 50, "good.txt"},
      {R"({"post_rfsignals_timeout": null})", true, 600, 50, "good.txt"},
      {R"({"post_rfsignals_enabled": false})", true, 600, std::nullopt, "good.txt"},
      {R"({"post_rfsignals_enabled": null})", true, 600, std::nullopt, "good.txt"},
      {R"([{"config_update_timeout": 5}])", false, 600, 50, "good.txt"},
      {R"("config_update_timeout")", false, 600, 50, "good.txt"},
      {R"(42)", false, 600, 50, "good.txt"},
      {R"(null)", false, 600, 50, "good.txt"},
      {R"({"config_update_timeout": "60", "post_rfsignals_timeout": "5", "debug_log_file": 7,
           "debug_level": {}, "fast_scan_enabled": "yes", "post_zone_timeout": [1]})",
       true, 600, 50, "good.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    ASSERT_TRUE(m_->parseSettings(base));
    m_->applySettings();
    heard_->values.clear();
    json reply = json::parse(row.reply);
    // Rows that only change one key keep the others of the base.
    if (reply.is_object() && !reply.contains("post_rfsignals_enabled")) {
      for (const auto& [k, v] : base.items())
        if (!reply.contains(k)) reply[k] = v;
    }
    EXPECT_EQ(m_->parseSettings(reply), row.parsed);
    m_->applySettings();
    EXPECT_EQ(m_->configTimerPeriod(), row.config);
    EXPECT_EQ(m_->byBeaconTimerPeriod(), row.reports);
    EXPECT_EQ(Stored("debug_log_file"), row.logFile);
    EXPECT_EQ(heard_->values.count("zone") + heard_->values.count("fast"), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(home_->path() / "escape.txt"));
}

TEST_F(Settings, AServerThatTurnsReportsOffGetsNoMoreReports) {
  m_->makeConfigRequest();
  // The reply restarts the report timer: periods count from its arrival.
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return m_->settings().contains("post_zone_timeout"); }));
  platform::testing::advance(40.0);
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 1));
  platform::testing::advance(40.0);
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 2));

  editReplies([](contentserver::SdkReplies& r) { r.config = {{"post_rfsignals_enabled", false}}; });
  m_->makeConfigRequest();
  ASSERT_TRUE(awaitCount(config_, 2));
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !m_->byBeaconTimerPeriod(); }));
  m_->addNewBeacons({services_test::RangedBeacon(1, 2)});
  EXPECT_EQ(m_->beaconsCount(), 0);
  const size_t before = count("/v0/locations/byBeacon");
  platform::testing::advance(400.0);
  platform::testing::settle();
  EXPECT_EQ(count("/v0/locations/byBeacon"), before);
  EXPECT_EQ(before, 2u);
}

TEST_F(Settings, TimersMadeOnAWorkerThreadRunOnTheMainLoop) {
  // No reply ever re-creates the timers here: only the worker's restore step does.
  editReplies([](contentserver::SdkReplies& r) { r.configStatus = 500; });
  std::thread worker([&] { m_->makeConfigRequest(); });
  worker.join();
  ASSERT_TRUE(awaitCount(config_, 1));
  platform::testing::advance(40.0);
  EXPECT_TRUE(awaitCount("/v0/locations/byBeacon", 1));
  platform::testing::advance(3600.0 - 40.0);
  EXPECT_TRUE(awaitCount(config_, 2));
  EXPECT_EQ(m_->configTimerPeriod(), 3600);
}

}  // namespace
