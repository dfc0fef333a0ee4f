// The facade's own state: the user hash and server it reads and persists, the
// process's one coordinator behind every facade, location names by id, and
// the Bluetooth state it keeps and passes on, and the push token it registers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "MCServerManager/mc_service_addresses.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "sdk/coordinator_scene.h"
#include "sdk/facade/facade_scene.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;

TEST(FacadeCoreTest, UserHashAndServerFromTheStoreOrAsGiven) {
  struct Case {
    const char* what;
    nlohmann::json storedHash, storedServer;
    int init;  // 0 init, 1 initWithUserHash, 2 initWithUserHash:server:
    std::string hash, server;  // "" server: the default API server
  };
  const std::vector<Case> cases = {
      {"nothing stored", nullptr, nullptr, 0, "", ""},
      {"both stored", "u1", "http://127.0.0.1:1/s1", 0, "u1", "http://127.0.0.1:1/s1"},
      {"hash given, server stored", "u1", "http://127.0.0.1:1/s1", 1, "given", "http://127.0.0.1:1/s1"},
      {"hash given, no server stored", "u1", nullptr, 1, "given", ""},
      {"both given", "u1", "http://127.0.0.1:1/s1", 2, "given", "http://127.0.0.1:1/given"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    facade_test::FacadeScene s(false);
    auto store = platform::UserDefaults::standardUserDefaults();
    store->setObject(c.storedHash, "userHash");
    store->setObject(c.storedServer, "server");
    ASSERT_TRUE(store->synchronize());
    const auto before = store->objectForKey("userHash");
    std::shared_ptr<MarvistoCore> core;
    if (c.init == 0) core = MarvistoCore::init();
    if (c.init == 1) core = MarvistoCore::initWithUserHash("given");
    if (c.init == 2) core = MarvistoCore::initWithUserHash("given", "http://127.0.0.1:1/given", s.managers);
    const std::string server = c.server.empty() ? MCServiceAddresses::apiServer() : c.server;
    EXPECT_EQ(core->userHash(), c.hash);
    EXPECT_EQ(core->server(), server);
    EXPECT_EQ(MarvistoCore::mainSDK()->userHash(), c.hash);
    EXPECT_EQ(MarvistoCore::mainSDK()->server(), server);
    // Initialisers never write the store; the setters write only a new value.
    EXPECT_EQ(store->objectForKey("userHash"), before);
    core->setUserHash(c.hash);
    EXPECT_EQ(store->objectForKey("userHash"), before);
    core->setUserHash("fresh");
    core->setServer("http://127.0.0.1:1/fresh");
    EXPECT_EQ(platform::UserDefaults::standardUserDefaults()->stringForKey("userHash"), "fresh");
    EXPECT_EQ(platform::UserDefaults::standardUserDefaults()->stringForKey("server"), "http://127.0.0.1:1/fresh");
    EXPECT_EQ(MarvistoCore::mainSDK()->userHash(), "fresh");
    EXPECT_EQ(MarvistoCore::mainSDK()->server(), "http://127.0.0.1:1/fresh");
    core->_changeBaseServerTo("http://127.0.0.1:1/other");
    EXPECT_EQ(MarvistoCore::mainSDK()->server(), "http://127.0.0.1:1/other");
    EXPECT_EQ(core->server(), "http://127.0.0.1:1/fresh");
  }
}

TEST(FacadeCoreTest, TheLatestFacadeOwnsTheCoordinatorAndItsEvents) {
  facade_test::FacadeScene s(false);
  auto first = MarvistoCore::initWithUserHash("a", "http://127.0.0.1:1/a", sdk_test::FreshManagers());
  auto second = MarvistoCore::initWithUserHash("b", "http://127.0.0.1:1/b", sdk_test::FreshManagers());
  std::vector<std::string> heard;
  auto d1 = std::make_shared<MarvistoCoreDelegate>();
  auto d2 = std::make_shared<MarvistoCoreDelegate>();
  d1->didEnterZoneWithId = [&](int64_t id) { heard.push_back("first " + std::to_string(id)); };
  d2->didEnterZoneWithId = [&](int64_t id) { heard.push_back("second " + std::to_string(id)); };
  d2->didExitZoneWithId = [&](int64_t id) { heard.push_back("second exit " + std::to_string(id)); };
  first->setDelegate(d1);
  second->setDelegate(d2);
  auto sdk = MarvistoCore::mainSDK();
  auto to = sdk->delegate().lock();
  ASSERT_TRUE(to);
  to->didEnterZoneWithId(*sdk, 5);
  to->didExitZoneWithId(*sdk, 5);
  EXPECT_EQ(heard, (std::vector<std::string>{"second 5", "second exit 5"}));
  first->_changeBaseServerTo("http://127.0.0.1:1/via-first");
  EXPECT_EQ(sdk->server(), "http://127.0.0.1:1/via-first");

  // Names by id, here for a location that is not installed.
  std::optional<platform::Error> error;
  first->loadArchiveById(42, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 2);
  EXPECT_NE(error->localizedDescription.find("/Documents/#42/map.mvz"), std::string::npos)
      << error->localizedDescription;

  // The Bluetooth state is kept, then passed on.
  std::vector<int64_t> states;
  auto bt = std::make_shared<MCBluetoothStateDelegate>();
  bt->didChangeBluetoothState = [&](int64_t state) {
    EXPECT_EQ(second->bluetoothState(), state);
    states.push_back(state);
  };
  second->setBtStateDelegate(bt);
  EXPECT_EQ(second->bluetoothState(), 0);
  second->bluetoothStateManager(*second->deviceState(), 7);
  EXPECT_EQ(states, (std::vector<int64_t>{7}));
}

// Zone events reach the host on the tick's thread once the tick has let go of
// the coordinator's lock, so the host may call back into the facade from them.
TEST(FacadeCoreTest, AZoneCallbackMayStopAndReloadThroughTheFacade) {
  facade_test::FacadeScene s(false);
  s.makeCore(s.managers);
  const fs::path dir = platform::Paths::documents() / "venue";
  fs::create_directories(dir);
  fs::copy_file(sdk_test::SharedScene().map, dir / "map.mvz");
  fs::copy_file(sdk_test::SharedScene().log, dir / "walk.log");
  std::optional<platform::Error> error, reload;
  s.core->loadArchiveByName("venue", &error);
  const int64_t id = s.core->location()->id;
  int events = 0;
  bool offMain = true;
  int64_t reloaded = 0;
  auto delegate = std::make_shared<MarvistoCoreDelegate>();
  delegate->didEnterZoneWithId = delegate->didExitZoneWithId = [&, main = std::this_thread::get_id()](int64_t) {
    offMain &= std::this_thread::get_id() != main;
    if (events++ > 0) return;
    s.core->stopMarvisto();
    s.core->loadArchiveByName("venue", &reload);
    reloaded = s.core->location()->id;
  };
  s.core->setDelegate(delegate);
  const uint64_t records = s.core->_startNavigateByLog("walk.log", &error);
  ASSERT_FALSE(error);
  // The ticks on a thread of their own; the reload renders its floors on this one.
  auto ticks = std::async(std::launch::async, [sdk = MarvistoCore::mainSDK(), records] {
    for (uint64_t i = 0; i + 1 < records; ++i) sdk->mainNavigationQueue();
  });
  if (!pt::pumpUntil([&] { return ticks.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120)) {
    ADD_FAILURE() << "a zone callback that calls the facade stalled the tick";
    std::_Exit(1);
  }
  EXPECT_GT(events, 0);
  EXPECT_TRUE(offMain) << "zone events belong to the tick's thread";
  EXPECT_FALSE(reload) << reload->localizedDescription;
  EXPECT_EQ(reloaded, id);
}

}  // namespace

namespace {

// The push token goes to the cloud set-up address (here the local server) as
// two lower-case hex digits per byte, nothing between them.
TEST(FacadeCoreTest, RegisterTokenPostsTheTokenToTheCloudSetUpAddress) {
  facade_test::FacadeScene s;
  std::mutex mutex;
  std::vector<std::string> bodies;
  s.server->addRoute([&](const std::string& method, const std::string& path, const std::string& body, int* status,
                         std::string* type, std::string* reply) {
    if (method != "POST" || path != "/device/cloudSetup") return false;
    std::lock_guard lock(mutex);
    bodies.push_back(body);
    *status = 200;
    *type = "application/json";
    *reply = "{\"success\": 1}";
    return true;
  });
  s.makeCore(s.managers);
  s.core->registerToken({0x0a, 0xff, 0x00, 0x7b});
  ASSERT_TRUE(platform::testing::pumpUntil([&] {
    std::lock_guard lock(mutex);
    return !bodies.empty();
  }));
  std::lock_guard lock(mutex);
  EXPECT_NE(bodies[0].find("token=0aff007b"), std::string::npos) << bodies[0];
  EXPECT_NE(bodies[0].find("deviceType=ios"), std::string::npos) << bodies[0];
  EXPECT_EQ(MarvistoCore::mainSDK()->token(), (std::vector<uint8_t>{0x0a, 0xff, 0x00, 0x7b}));
}

}  // namespace
