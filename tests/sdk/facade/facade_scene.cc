#include "sdk/facade/facade_scene.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "MCServerManager/mc_service_addresses.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "sdk/coordinator_scene.h"
#include "server/zip_archive.h"
#include "tools/venuesim/venue_test_util.h"
#include "world/world.h"

namespace fs = std::filesystem;
namespace pt = platform::testing;

namespace facade_test {

namespace {

struct Venue {
  venuesim_test::TempDir dir;
  std::string path;
  contentserver::Location location;
};

const Venue& SharedVenue() {
  // Held, not leaked: its destructor removes the scratch directory at exit.
  static const std::unique_ptr<Venue> v([] {
    auto* x = new Venue;
    std::string error;
    auto w = world::World::create(world::WorldSetup{}, &error);
    EXPECT_TRUE(w) << error;
    x->path = x->dir.file("venue.mvz");
    EXPECT_EQ(w->writeVenue(x->path, &error), 0) << error;
    auto all = contentserver::LoadVenueDir(x->dir.file(""), &error);
    EXPECT_EQ(all.size(), 1u) << error;
    if (!all.empty()) x->location = all[0];
    return x;
  }());
  return *v;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

bool Outcome::has(const std::string& entry) const {
  return std::find(order.begin(), order.end(), entry) != order.end();
}

bool Outcome::remote() const {
  for (const auto& s : successes)
    if (s.value("type", "") == "remote") return true;
  return false;
}

const std::string& VenueArchivePath() { return SharedVenue().path; }

std::string VenueArchive(const std::string& version) {
  venuesim_test::TempDir dir;
  const std::string path = dir.file("v.mvz");
  fs::copy_file(SharedVenue().path, path);
  zip* z = ZipOpen(path.c_str());
  EXPECT_NE(z, nullptr);
  if (version.empty()) {
    ZipDeleteFile(z, "version.txt");
  } else {
    ZipWriteBuffer(z, "version.txt", version.data(), int(version.size()));
  }
  ZipClose(z);
  return ReadFile(path);
}

std::string WithMember(const std::string& archive, const std::string& name, const std::string& text) {
  venuesim_test::TempDir dir;
  const std::string path = dir.file("m.mvz");
  std::ofstream(path, std::ios::binary) << archive;
  zip* z = ZipOpen(path.c_str());
  EXPECT_NE(z, nullptr);
  ZipWriteBuffer(z, name.c_str(), text.data(), int(text.size()));
  ZipClose(z);
  return ReadFile(path);
}

contentserver::Location VenueLocation(int version) {
  contentserver::Location l = SharedVenue().location;
  l.version = version;
  l.archive = VenueArchive(std::to_string(version));
  return l;
}

FacadeScene::FacadeScene(bool start, bool manualClock) {
  platform::RunLoop::setMainThread();
  if (manualClock) pt::useManualClock({1767268800, 0});
  SharedVenue();
  if (start) {
    EXPECT_TRUE(startServer());
  }
  // Nothing the kit sends may leave the machine.
  MCServiceAddresses::setApiServer(serverUrl());
  MCServiceAddresses::setCloudSetupURL(serverUrl() + "/device/cloudSetup");
  MCServiceAddresses::setZoneVisitURL(serverUrl() + "/zones/visit");
  managers = sdk_test::FreshManagers();
}

FacadeScene::~FacadeScene() {
  if (core) {
    core->stopMarvisto();
    core->stopSendingPostRequests();
  }
  if (platform::Clock::isManual()) pt::settle();
  core.reset();
  managers = {};
  stopServer();
  MCServiceAddresses::reset();
  pt::useRealClock();
}

bool FacadeScene::startServer(int wanted) {
  contentserver::ServerOptions o;
  o.port = wanted;
  server = std::make_unique<contentserver::ContentServer>(o);
  std::string error;
  if (!server->start(&error)) {
    ADD_FAILURE() << error;
    server.reset();
    return false;
  }
  port = server->port();
  // The time service, so records carry the server's clock.
  server->addRoute([](const std::string& method, const std::string& path, const std::string&, int* status,
                      std::string* type, std::string* reply) {
    if (method != "GET" || path != "/tracking/time/time.php") return false;
    *status = 200;
    *type = "text/plain";
    *reply = std::to_string(int64_t(platform::Clock::nowSeconds() * 1000) - 1500);
    return true;
  });
  return true;
}

void FacadeScene::stopServer() {
  if (server) server->stop();
  server.reset();
}

std::string FacadeScene::serverUrl() const { return "http://127.0.0.1:" + std::to_string(port); }

void FacadeScene::install(const std::string& name, const std::string& bytes) {
  const fs::path dir = platform::Paths::documents() / name;
  fs::create_directories(dir);
  std::ofstream(dir / "map.mvz", std::ios::binary) << bytes;
}

std::string FacadeScene::installed(const std::string& name) const {
  return ReadFile(platform::Paths::documents() / name / "map.mvz");
}

void FacadeScene::makeCore(MainSDKManagers m) {
  core = MarvistoCore::initWithUserHash("hash", serverUrl(), std::move(m));
}

Outcome FacadeScene::download(const std::string& name, bool force,
                              const std::function<bool(const Outcome&)>& done,
                              const std::function<void(const Outcome&)>& eachStep) {
  auto o = std::make_shared<Outcome>();
  const auto main = std::this_thread::get_id();
  auto note = [o, main](const std::string& entry) {
    o->order.push_back(entry);
    if (std::this_thread::get_id() != main) o->offMainThread = true;
  };
  auto held = std::make_shared<int>();  // only the blocks keep it
  const std::weak_ptr<int> blocks = held;
  core->downloadLocationByName(
      name, force,
      [o, note, held](int64_t p) {
        o->process.push_back(p);
        note("process " + std::to_string(p));
      },
      [o, note, held](const nlohmann::json& r) {
        o->successes.push_back(r);
        note(r.value("type", "?") + " " + std::to_string(r.value("version", -1)));
      },
      [o, note, held](const platform::Error& e) {
        o->fails.push_back(e);
        note("fail " + std::to_string(e.code));
      });
  held.reset();
  auto released = [&] {
    if (!o->released && blocks.expired()) o->released = true, o->saidWhenReleased = o->order.size();
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done(*o) && std::chrono::steady_clock::now() < end) {
    pt::advance(MarvistoCore::kDownloadPollSeconds);
    if (server) pt::pumpUntil([] { return false; }, MarvistoCore::kDownloadPollSeconds / 2);
    if (eachStep) eachStep(*o);
    released();
  }
  EXPECT_TRUE(done(*o)) << "the flow did not finish";
  pt::advance(2.0);
  released();
  return *o;
}

}  // namespace facade_test
