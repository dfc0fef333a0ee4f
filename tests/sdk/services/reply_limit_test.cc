// Service replies far larger than any the services send are cut off as they arrive, with
// the size error, and never reach a parser; replies of an honest size still pass.
#include <fstream>
#include <sstream>

#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MainSDK/main_sdk.h"
#include "platform/paths.h"
#include "server/utils.h"
#include "sdk/services/services_support.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ReplyLimits, OversizedServiceRepliesFailAsTheyArriveAndHonestOnesPass) {
  platform::RunLoop::setMainThread();
  platform::testing::useManualClock({services_test::kStart, 0});
  platform::testing::ScopedHome home;
  std::mutex mutex;
  std::map<std::string, std::string> bodies;  // path -> reply body
  contentserver::ServerOptions options;
  options.ipv6 = false;
  contentserver::ContentServer server(options);
  server.addRoute([&](const std::string&, const std::string& path, const std::string&, int* status, std::string* type,
                      std::string* reply) {
    std::lock_guard<std::mutex> lock(mutex);
    *status = 200;
    *type = path == "/tracking/time/time.php" ? "text/plain" : "application/json";
    *reply = bodies[path];
    return true;
  });
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());

  auto settings = std::make_shared<MCSettingsManager>();  // logs to Documents/marvisto_log.txt
  settings->applyDebugLevel(1);
  settings->setServer(base);
  auto push = std::make_shared<MCPushManager>();
  push->setServer(base);
  auto log = std::make_shared<MCLogManager>();
  // The coordinator's cloud set-up logs its outcome at level 2.
  _Logger.setDebugLevel(2, "main_sdk_server.cc");
  MCServiceAddresses::setCloudSetupURL(base + "/device/cloudSetup");
  std::shared_ptr<MainSDK> coordinator;
  const auto registerToken = [&] {
    if (!coordinator) {
      MainSDKManagers m = MainSDKManagers::shared();
      m.settingsManager = settings;
      m.pushManager = push;
      m.logManager = log;
      coordinator = MainSDK::initWithUserHash("hash", base, m);
    }
    coordinator->registerToken({0x01, 0xab});
  };
  const auto logText = [] {
    return (std::stringstream() << std::ifstream(platform::Paths::documents() / "marvisto_log.txt").rdbuf()).str();
  };
  struct Case {
    const char* name;
    std::string path, body;
    std::function<void()> send;
    std::function<size_t()> passed;
    std::string failed;  // the log line of a failed request
  } cases[] = {
      {"settings", "/v0/apps/config", R"({"post_zone_timeout": 31})", [&] { settings->makeConfigRequest(); },
       [&] { return Count(logText(), "GET settings from server success!"); },
       "ERROR! Can't GET settings from server: Error Domain=com.marvisto.platform.url Code=-1103"},
      {"beacon report", "/v0/locations/byBeacon", R"({"ok": 1})", [&] { settings->makeByBeaconRequest(); },
       [&] { return Count(logText(), "result: {\"ok\":1}"); }, "ERROR! Can't POST location from server: "},
      {"actions", "/actions", R"({"data": {"success": 1}})", [&] { push->loadPushesFromServer(); },
       [&] { return Count(logText(), "GET push succes!"); },
       "ERROR! Can't load pushes from server: Error Domain=com.marvisto.platform.url Code=-1103"},
      {"server time", "/tracking/time/time.php", "1767225600000", [&] { log->server().empty() ? log->setServer(base) : log->loadTimeFromServer(); },
       [&] { return size_t(log->deviceOffset().has_value()); },
       "ERROR! Cant't load time from server: Error Domain=com.marvisto.platform.url Code=-1103"},
      {"cloud setup", "/device/cloudSetup", R"({"success": 1})", registerToken,
       [&] { return Count(logText(), "Cloud setup success!"); }, "MarvistoLog: Error Domain=com.marvisto.platform.url Code=-1103"},
  };
  for (const Case& c : cases) {
    // The oversized reply first: the time service's later success would hide its failure.
    for (size_t size : {size_t(8) << 20, c.body.size()}) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        bodies[c.path] = c.body + std::string(size - c.body.size(), ' ');  // blanks after JSON or a number are allowed
      }
      const size_t passed = c.passed(), failed = Count(logText(), c.failed);
      c.send();
      ASSERT_TRUE(platform::testing::pumpUntil([&] { return c.passed() > passed || Count(logText(), c.failed) > failed; }, 30))
          << c.name << " " << size;
      EXPECT_EQ(c.passed() > passed, size == c.body.size()) << c.name << " " << size;
    }
  }
  if (coordinator) coordinator->stopMarvisto();
  settings->stopManager();
  settings->applyDebugLevel(0);
  _Logger.setDebugLevel(0, "main_sdk_server.cc");
  MCServiceAddresses::reset();
  platform::testing::settle();
  server.stop();
  platform::testing::useRealClock();
}

}  // namespace
