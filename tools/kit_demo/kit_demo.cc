// marvisto-kit-demo: a host program driving the whole kit through the public facade.
// It serves the built-in generated venue from our content server on a free
// loopback port, starts the simulated world, initialises the facade, downloads
// the location with a progress bar, navigates a walk with a route target
// while zone entries and exits and push actions are printed as they happen,
// records a measurement log, stops, replays it, stops the message queue,
// prints what the server received and ends with the accuracy table against
// the world's truth and the pictures it drew (the map screen at chosen moments
// and through the whole walk, and the floors with the true and estimated
// paths). Nothing leaves the machine.
//   marvisto-kit-demo --out DIR [--speed X]
// The clock is manual and stepped: by default as fast as the machine goes,
// with --speed X at X times real time.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MainSDK/main_sdk.h"
#include "MainSDK/marvisto_core.h"
#include "MCServerManager/mc_server_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "cli/cli.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"
#include "kit_demo/demo_report.h"
#include "mapview/mc_map_view_install.h"
#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "replay/replay_run.h"
#include "replay/track_png.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "world/score.h"
#include "world/world.h"

namespace fs = std::filesystem;
namespace pt = platform::testing;

namespace {

constexpr double kSettleSeconds = 8;
constexpr double kTick = 0.1;
constexpr const char* kUserHash = "demo-user";

int Fail(const std::string& why) {
  std::fprintf(stderr, "marvisto-kit-demo: %s\n", why.c_str());
  return 1;
}

// The demo's own checks: each one that fails is told on stderr at the end
// and makes the exit status 1.
struct Checks {
  std::vector<std::string> failed;
  void check(bool ok, const std::string& why) {
    if (!ok) failed.push_back(why);
  }
};

// The heat-map lines the kit hands to its message queue, counted on the way.
class CountingQueueEngine : public MMQueueEngine {
 public:
  void addMessage(const std::string& text) override {
    ++queued;
    MMQueueEngine::addMessage(text);
  }
  std::atomic<size_t> queued{0};
};

struct Demo {
  std::string out;
  double speed = 0;  // 0: as fast as possible
  std::shared_ptr<world::World> world;
  std::unique_ptr<contentserver::ContentServer> server;
  std::shared_ptr<contentserver::SdkRoutes> sdkRoutes = std::make_shared<contentserver::SdkRoutes>();
  std::string serverUrl;
  contentserver::Location venue;
  std::shared_ptr<MarvistoCore> core;
  // Made once the app home is set: its queue lives under the home's Documents.
  std::shared_ptr<CountingQueueEngine> queueEngine;
  std::shared_ptr<MarvistoCoreDelegate> delegate = std::make_shared<MarvistoCoreDelegate>();
  std::mutex printMutex;
  double walkStart = 0, replayStart = 0;
  std::map<int64_t, std::string> zoneNames;
  std::unique_ptr<kitdemo::MapScreenPictures> screen;
  int zoneEvents = 0, pushes = 0;
  size_t ranged = 0;
  Checks checks;

  // One step of the manual clock, paced when asked.
  void step(double seconds, double atLeastRealFraction = 0) {
    pt::advance(seconds);
    const double pace = speed > 0 ? 1 / speed : atLeastRealFraction;
    if (pace > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds * pace));
  }

  void say(const std::string& text) {
    std::lock_guard lock(printMutex);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }

  std::string walkTime() const {
    char t[48];
    const double now = platform::Clock::nowSeconds();
    if (replayStart > 0) {
      std::snprintf(t, sizeof t, "[replay %6.1f s]", now - replayStart);
    } else {
      std::snprintf(t, sizeof t, "[%6.1f s]", now - walkStart);
    }
    return t;
  }
};

bool StartWorldAndServer(Demo& d, std::string* error) {
  d.world = world::World::create(world::WorldSetup{}, error);
  if (!d.world) return false;
  const fs::path venues = fs::path(d.out) / "venues";
  fs::create_directories(venues);
  if (d.world->writeVenue((venues / "venue.mvz").string(), error) != 0) return false;
  auto locations = contentserver::LoadVenueDir(venues.string(), error);
  if (locations.empty()) return false;
  d.venue = locations[0];
  contentserver::ServerOptions o;
  o.logPath = (fs::path(d.out) / "server.log.jsonl").string();
  d.server = std::make_unique<contentserver::ContentServer>(o);
  if (!d.server->start(error)) return false;
  d.server->addLocation(d.venue);
  // The service's clock, so the measurement log carries the server time.
  d.server->addRoute([](const std::string& method, const std::string& path, const std::string&, int* status,
                        std::string* type, std::string* reply) {
    if (method != "GET" || path != "/tracking/time/time.php") return false;
    *status = 200;
    *type = "text/plain";
    *reply = std::to_string(int64_t(platform::Clock::nowSeconds() * 1000));
    return true;
  });
  // Remote settings, beacon reports, push actions, cloud set-up and zone visits.
  d.sdkRoutes->install(*d.server);
  d.serverUrl = "http://127.0.0.1:" + std::to_string(d.server->port());
  // Every fixed address of the service points at the local server.
  MCServiceAddresses::setApiServer(d.serverUrl);
  MCServiceAddresses::setCloudSetupURL(d.serverUrl + d.sdkRoutes->paths().cloudSetup);
  MCServiceAddresses::setZoneVisitURL(d.serverUrl + d.sdkRoutes->paths().zoneVisit);
  std::printf("content server on %s serving \"%s\" (location %d, version %d, %zu bytes)\n", d.serverUrl.c_str(),
              d.venue.title.c_str(), d.venue.id, d.venue.version, d.venue.archive.size());
  std::printf("simulated world: a %.0f s walk through the venue's %zu floors\n", d.world->durationSeconds(),
              d.world->venue().floors.size());
  return true;
}

void InitFacade(Demo& d) {
  d.queueEngine = std::make_shared<CountingQueueEngine>();
  MCServerManager::sharedInstance()->setMqEngine(d.queueEngine);
  d.core = MarvistoCore::initWithUserHash(kUserHash, d.serverUrl);
  d.delegate->didEnterZoneWithId = [&d](int64_t id) {
    ++d.zoneEvents;
    d.say(d.walkTime() + " entered zone " + std::to_string(id) + " " + d.zoneNames[id]);
  };
  d.delegate->didExitZoneWithId = [&d](int64_t id) {
    ++d.zoneEvents;
    d.say(d.walkTime() + " left zone    " + std::to_string(id) + " " + d.zoneNames[id]);
  };
  d.delegate->didRangePushWithTitle = [&d](const std::string& title, const std::string& content,
                                           const std::string&, int64_t id) {
    ++d.pushes;
    d.say(d.walkTime() + " push action " + std::to_string(id) + ": " + title + " - " + content);
  };
  d.delegate->didRangeBeacons = [&d](const std::vector<nlohmann::json>& b) { d.ranged += b.size(); };
  d.core->setDelegate(d.delegate);
  std::printf("facade initialised: user hash \"%s\", server %s\n", kUserHash, d.serverUrl.c_str());
}

bool Download(Demo& d) {
  bool ended = false, ok = false;
  // The bar on a terminal only: redirected, the output stays plain lines.
  cli::Progress progress("marvisto-kit-demo");
  d.core->downloadLocationById(
      d.venue.id, false,
      [&](int64_t p) { progress.show("downloading " + kitdemo::ProgressBar(int(p)), p == 100 || p < 0); },
      [&](const nlohmann::json& r) {
        progress.clear();
        std::printf("%s copy loaded, version %lld\n", r.value("type", "?").c_str(),
                    (long long)r.value("version", int64_t{0}));
        if (r.value("type", "") == "remote") ended = ok = true;
      },
      [&](const platform::Error& e) {
        progress.clear();
        std::printf("download failed: %s (code %lld)\n", e.localizedDescription.c_str(), (long long)e.code);
        ended = true;
      });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended && std::chrono::steady_clock::now() < until) d.step(MarvistoCore::kDownloadPollSeconds, 0.1);
  return ok;
}

// The venue operator's push actions: one on the beacon nearest the walker at a
// few moments of the walk, open every day; the push manager loads them from the
// server and fires each when its beacon is ranged.
void OfferPushActions(Demo& d) {
  const auto& ticks = d.world->walk().ticks;
  if (ticks.empty()) return;
  nlohmann::json floors = nlohmann::json::array();
  std::map<int64_t, nlohmann::json> byFloor;
  const char* titles[] = {"Welcome", "Today in the corridor", "Upstairs offer"};
  const double at[] = {0.05, 0.5, 0.95};
  const nlohmann::json everyDay = [] {
    nlohmann::json days;
    for (const char* day : {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"})
      days[day] = {{"is_open", true}, {"start", "00:00"}, {"end", "23:59"}};
    return days;
  }();
  for (int i = 0; i < 3; ++i) {
    const auto& truth = ticks[size_t(at[i] * double(ticks.size() - 1))].truth;
    std::shared_ptr<MCBeacon> nearest;
    double best = 1e300;
    for (const auto& floor : d.core->location()->sublocations) {
      if (floor->id != truth.floorId || !floor->beacons) continue;
      for (const auto& b : *floor->beacons) {
        const double dx = b->x.doubleValue() - truth.x, dy = b->y.doubleValue() - truth.y;
        if (dx * dx + dy * dy < best) best = dx * dx + dy * dy, nearest = b;
      }
    }
    if (!nearest) continue;
    nlohmann::json action = {{"id", 100 + i},     {"active", 1},         {"title", titles[i]},
                             {"content", "beacon " + nearest->name}, {"frequency", 60},
                             {"proximity", "Near"}, {"schedule", everyDay}};
    nlohmann::json beacon = {{"id", nearest->id},     {"major", nearest->major}, {"minor", nearest->minor},
                             {"uuid", nearest->uuid}, {"actions", nlohmann::json::array({action})}};
    byFloor[truth.floorId]["beacons"].push_back(beacon);
  }
  for (auto& [id, floor] : byFloor) floors.push_back(floor);
  auto replies = d.sdkRoutes->replies();
  replies.actions = {{"data", {{"success", 1}, {"location", {{"sublocations", floors}}}}}};
  d.sdkRoutes->setReplies(replies);
  d.core->startPushManager();
  std::printf("push actions offered on %zu beacons\n", size_t(3));
}

struct Walked {
  std::vector<world::ScoredTick> scored;
  std::vector<std::optional<std::array<double, 3>>> positions;  // per tick
  std::string log;
  double routeLength = 0;
  RoutePath firstRoute;  // the route the kit gave at the first position
  double lastRouteLength = -1;  // of the latest tick with a route; -1 before the first
  bool arrived = false;
  std::string caption = "0.0 s\nno position yet";  // of the latest tick, for the animation
};

void Track(Demo& d, Walked& w, const std::optional<world::Truth>& truth, double t0) {
  const auto info = d.core->deviceInfo();
  if (info->error) {
    w.positions.push_back(std::nullopt);
    return;
  }
  w.positions.push_back(std::array<double, 3>{double(info->sublocation), info->x, info->y});
  if (!info->paths.empty() && w.routeLength == 0) {
    w.routeLength = info->paths[0]->lenght;
    for (const auto& p : info->paths[0]->points)
      w.firstRoute.points.emplace_back(int(p->sublocation), p->x.doubleValue(), p->y.doubleValue());
    w.firstRoute.length = info->paths[0]->lenght;
  }
  if (!info->paths.empty()) {
    w.lastRouteLength = info->paths[0]->lenght;
  } else if (w.lastRouteLength >= 0 && !w.arrived) {
    // The route ended: the map screen saw it short enough and cancelled the target.
    w.arrived = true;
    char line[160];
    std::snprintf(line, sizeof line, " arrived: the route to the target was %.1f m, the map screen ended it",
                  w.lastRouteLength);
    d.say(d.walkTime() + line);
  }
  char caption[160];
  const double t = platform::Clock::nowSeconds() - t0;
  if (info->sublocation < 0) {
    std::snprintf(caption, sizeof caption, "%.1f s\nno position yet", t);
  } else if (truth && truth->floorId != info->sublocation) {
    std::snprintf(caption, sizeof caption, "%.1f s, floor %lld\nwrong floor (truth: %d)", t,
                  (long long)info->sublocation, truth->floorId);
  } else if (truth) {
    std::snprintf(caption, sizeof caption, "%.1f s, floor %lld\nerror to the truth %.2f m", t,
                  (long long)info->sublocation, std::hypot(info->x - truth->x, info->y - truth->y));
  } else {
    std::snprintf(caption, sizeof caption, "%.1f s, floor %lld", t, (long long)info->sublocation);
  }
  w.caption = caption;
  if (truth)
    w.scored.push_back({info->time - t0, info->sublocation >= 0, int(info->sublocation), info->x, info->y,
                        truth->floorId, truth->x, truth->y});
}

Walked WalkWithNavigation(Demo& d) {
  Walked w;
  for (const auto& floor : d.core->location()->sublocations)
    for (const auto& z : *floor->zones) d.zoneNames.emplace(z->id, "\"" + z->name + "\"");
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  pt::settle();
  d.core->_fastScanEnabled(true);
  OfferPushActions(d);
  const auto& end = d.world->walk().ticks.back().truth;
  d.core->addTatget(*MCLocationPoint::pointWithLocation(d.venue.id, end.floorId, MCNumber(float(end.x)),
                                                        MCNumber(float(end.y))));
  std::printf("route target: floor %d at (%.1f, %.1f) m\n", end.floorId, end.x, end.y);
  // The central learns that the radio is on before the first advertisement.
  platform::dispatch::sync(MarvistoCore::mainSDK()->managers().beaconManager->centralManager()->queue(), [] {});
  w.log = d.core->_startSaveLogToFile();
  std::printf("recording the measurement log %s\n", w.log.c_str());
  // Navigation and the walk start at one instant: the ticks fall on the walk's grid.
  d.core->startMarvisto();
  d.world->start();
  std::printf("navigation started; walking...\n");
  d.walkStart = platform::Clock::nowSeconds();
  pt::settle();
  Track(d, w, std::nullopt, d.walkStart);
  // The ready-made screen over the downloaded location, as a host would present it.
  d.screen = std::make_unique<kitdemo::MapScreenPictures>(d.core->location()->viewController(), d.out);
  bool startTaken = false;
  double nextStatus = 20, nextFrame = 0;
  const double pictureAt[] = {30, 85};
  size_t nextPicture = 0;
  while (!d.world->finished()) {
    d.step(kTick);
    Track(d, w, d.world->truthAt(platform::Clock::now()), d.walkStart);
    const double t = platform::Clock::nowSeconds() - d.walkStart;
    // The first picture shows the marker: it waits for the first position.
    if (!startTaken && w.positions.back() && (*w.positions.back())[0] >= 0) {
      startTaken = true;
      d.checks.check(d.screen->picture("start"), "the map screen's first picture was not written");
    }
    if (t >= nextFrame) {
      nextFrame += 1;
      d.screen->frame(w.caption);
    }
    if (nextPicture < std::size(pictureAt) && t >= pictureAt[nextPicture]) {
      d.checks.check(d.screen->picture(std::to_string(int(pictureAt[nextPicture++])) + "s"),
                     "a picture of the map screen was not written");
    }
    if (t >= nextStatus) {
      nextStatus += 20;
      const auto info = d.core->deviceInfo();
      char line[160];
      std::snprintf(line, sizeof line, " position: floor %lld (%.1f, %.1f) m, heading %.0f deg, %zu route(s)",
                    (long long)info->sublocation, info->x, info->y, info->azimuth * 180 / M_PI, info->paths.size());
      d.say(d.walkTime() + line);
    }
  }
  d.checks.check(startTaken, "the walk never had a position for the map screen's first picture");
  d.checks.check(d.screen->picture("end") && d.screen->finish(), "a picture of the map screen was not written");
  d.checks.check(w.routeLength > 0, "the kit gave no route to the target");
  d.checks.check(w.arrived, "the route never ended at the target (no arrival)");
  d.core->_stopSaveLogToFile();
  d.core->stopMarvisto();
  d.world->stop();
  std::printf("navigation stopped after %zu ticks; route to the target %.1f m long at the start; %d zone events, "
              "%d push actions, %zu ranged-beacon reports\n",
              w.positions.size(), w.routeLength, d.zoneEvents, d.pushes, d.ranged);
  return w;
}

// The recording, fed back through the facade's log path in place of live readings.
Walked Replay(Demo& d, const Walked& live) {
  Walked r;
  std::optional<platform::Error> error;
  const uint64_t records = d.core->_startNavigateByLog(fs::path(live.log).filename().string(), &error);
  if (error) {
    std::printf("replay failed: %s\n", error->localizedDescription.c_str());
    d.checks.check(false, "the recorded log did not replay: " + error->localizedDescription);
    return r;
  }
  d.replayStart = platform::Clock::nowSeconds();
  auto logs = MCLogManager::manager();
  while (logs->navigate()) {
    d.step(kTick);
    if (!logs->navigate()) break;
    const auto info = d.core->deviceInfo();
    r.positions.push_back(info->error ? std::nullopt
                                      : std::optional(std::array<double, 3>{double(info->sublocation), info->x, info->y}));
  }
  double worst = 0;
  size_t compared = 0;
  for (size_t i = 0; i < std::min(r.positions.size(), live.positions.size()); ++i) {
    if (!r.positions[i] || !live.positions[i]) continue;
    ++compared;
    for (int k = 1; k < 3; ++k) worst = std::max(worst, std::abs((*r.positions[i])[k] - (*live.positions[i])[k]));
  }
  std::printf("replayed %llu records through the facade's log path: %zu ticks, largest difference to the live "
              "positions %.3g m\n",
              (unsigned long long)records, compared, worst);
  d.checks.check(compared > 0, "the replay through the facade gave no position to compare");
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const auto began = std::chrono::steady_clock::now();
  Demo d;
  cli::Parser parser("marvisto-kit-demo", "--out DIR [--speed X]",
                     "Drives the whole kit through its public facade: serves the built-in venue from a\n"
                     "loopback content server, downloads it, navigates a simulated walk with a route,\n"
                     "replays the recorded log and prints the accuracy table and the pictures it drew.");
  parser.text("--out", "DIR", "folder for the app home, the logs and the pictures (created)", &d.out);
  parser.require("--out");
  parser.real("--speed", "X", "times real time (default: as fast as the machine goes)", &d.speed, 1, 1000);
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  // Every picture and log goes under --out: one that cannot take files is refused now, not
  // after the walk.
  if (const std::string why = cli::MakeWritableFolder(d.out); !why.empty())
    return Fail("cannot write into " + d.out + ": " + why);
  std::error_code ec;
  fs::remove_all(fs::path(d.out) / "home", ec);
  fs::create_directories(fs::path(d.out) / "home", ec);
  if (ec) return Fail("cannot create " + d.out + "/home: " + ec.message());
  d.out = fs::absolute(d.out).string();
  platform::Paths::setHome(fs::path(d.out) / "home");
  platform::RunLoop::setMainThread();
  pt::useManualClock(platform::Clock::now());
  // Floors get their images and locations their map screen.
  MCMapViewInstall();

  std::string error;
  if (!StartWorldAndServer(d, &error)) return Fail(error);
  InitFacade(d);
  if (!Download(d)) return Fail("the location did not download");
  const Walked live = WalkWithNavigation(d);
  Replay(d, live);
  // The replay's client goes with navigation, as a host shuts the kit down.
  d.core->stopMarvisto();

  // Let the queue hand over what it holds, then stop it. Heat-map steps still
  // waiting on the main queue add their lines first.
  pt::settle();
  if (!MCServerManager::sharedInstance()->mqEngine()->drainAndStop(std::chrono::seconds(15)))
    std::fprintf(stderr, "marvisto-kit-demo: the message queue still held lines after 15 s\n");
  std::printf("message queue stopped\n");
  const auto records = d.server->records();
  d.checks.check(d.queueEngine->queued > 0, "the kit queued no heat-map line");
  d.checks.check(kitdemo::PrintServerReceived(records, d.queueEngine->queued),
                 "the server did not receive every queued heat-map line exactly once");
  kitdemo::PrintServiceExchanges(d.sdkRoutes->records());

  // The pictures: the recorded log drawn over the floors by the engine's
  // replay, which also scores it against the world's truth as a reference.
  const std::string truth = d.out + "/walk.truth.csv";
  if (d.world->writeLog(d.out + "/walk.log", truth, &error) != 0) {
    std::fprintf(stderr, "marvisto-kit-demo: world: %s\n", error.c_str());
    d.checks.check(false, "the world's log was not written: " + error);
  }
  replay::ReplayOptions ro;
  ro.mapPath = (platform::Paths::documents() / ("#" + std::to_string(d.venue.id)) / "map.mvz").string();
  ro.logPath = live.log;
  ro.truthPath = truth;
  ro.progress = false;
  replay::ReplayReport report;
  if (replay::RunReplay(ro, &report, &error) != 0) {
    std::fprintf(stderr, "marvisto-kit-demo: replay tool: %s\n", error.c_str());
    d.checks.check(false, "the engine's replay tool failed: " + error);
  }
  std::printf("the engine's replay tool read the SDK's log: %d records, %d unparsable\n", report.records,
              report.badRecords);
  d.checks.check(report.records > 0 && report.badRecords == 0, "the engine's replay tool could not read the SDK's log");
  // The floors with the true and estimated paths and the route the kit gave
  // at the walk's first position.
  report.routes = {live.firstRoute};
  error.clear();
  NavigationMap map(EngineBehaviour::kit());
  if (map.setPathToNavArchive(ro.mapPath.c_str()) != 0 || map.parseAllFiles(false) != 0 ||
      replay::DrawFloorPictures(map, report, d.out, &report.pictures, &error) != 0) {
    std::fprintf(stderr, "marvisto-kit-demo: floor pictures: %s\n",
                 error.empty() ? ("cannot read " + ro.mapPath).c_str() : error.c_str());
    d.checks.check(false, "the floor pictures were not drawn");
  }

  const std::vector<world::ScoredTick> replayed =
      world::ScoredFromReplay(report, report.ticks.empty() ? 0 : report.ticks.front().timeMs);
  const bool met = kitdemo::PrintAccuracyTable(
      {{"live, through the facade", world::ScoreTicks(live.scored, kSettleSeconds)},
       {"the SDK's log, engine replay", world::ScoreTicks(replayed, kSettleSeconds)}},
      kSettleSeconds);
  for (const auto& p : report.pictures) std::printf("picture: %s\n", p.c_str());
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("marvisto-kit-demo took %.1f s\n", took);
  d.checks.check(met, "the figures marked MISSED do not meet the venue's targets");
  if (d.checks.failed.empty()) std::printf("every check passed; every figure meets the venue's targets\n");
  d.screen.reset();
  d.core.reset();
  d.server->stop();
  for (const std::string& why : d.checks.failed) {
    std::fprintf(stderr, "marvisto-kit-demo: check failed: %s\n", why.c_str());
  }
  return d.checks.failed.empty() ? 0 : 1;
}
