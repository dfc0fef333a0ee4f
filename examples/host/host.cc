// marvisto-host: a small host application on the installed kit. It serves the
// simulated world's venue from the kit's content server (or uses a server
// already running), downloads the venue through the facade, walks the
// simulated world with navigation on, and prints positions, zone entries and
// exits and the route to the end of the walk.
//   marvisto-host [--server URL] [--content-server PROGRAM] [--seed N]
// With --server the server must serve the world of the same seed (the kit's
// content server started on a folder the world's venue was written to).
// Exit code 0 when the venue downloaded and navigation produced positions,
// 1 otherwise, 2 for a bad command line.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "MainSDK/marvisto_core.h"
#include "Server/mc_service_addresses.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "world/simulation.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

#ifndef MARVISTO_CONTENT_SERVER
#define MARVISTO_CONTENT_SERVER "marvisto-content-server"
#endif

// The kit's content server as a child process on a free loopback port.
class ContentServer {
 public:
  ~ContentServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

  // The server's address, or "" with the reason in `*error`.
  std::string start(const std::string& program, const fs::path& venues, const fs::path& log,
                    std::string* error) {
    int out[2];
    if (pipe(out) != 0) {
      *error = "cannot make a pipe";
      return "";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string venueDir = venues.string(), logPath = log.string();
    const char* argv[] = {program.c_str(), "--port", "0", "--venue-dir", venueDir.c_str(),
                          "--log", logPath.c_str(), nullptr};
    const int rc = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      pid_ = 0;
      *error = "cannot start " + program + ": " + std::strerror(rc);
      return "";
    }
    // It prints "port P tls-port T" once it listens.
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    int port = 0, tls = 0;
    if (std::sscanf(line.c_str(), "port %d tls-port %d", &port, &tls) != 2 || port <= 0) {
      *error = program + " did not start (see its messages above)";
      return "";
    }
    return "http://127.0.0.1:" + std::to_string(port);
  }

 private:
  pid_t pid_ = 0;
};

int Usage(const std::string& why) {
  std::fprintf(stderr,
               "marvisto-host: %s\nusage: marvisto-host [--server URL] [--content-server PROGRAM] [--seed N]\n",
               why.c_str());
  return 2;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "marvisto-host: %s\n", why.c_str());
  return 1;
}

std::mutex printMutex;

// Zone events arrive on the navigation tick's thread, the rest on this one.
void Say(const std::string& text) {
  std::lock_guard lock(printMutex);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string Place(int64_t floor, double x, double y) {
  char text[80];
  std::snprintf(text, sizeof text, "floor %lld (%.1f, %.1f) m", static_cast<long long>(floor), x, y);
  return text;
}

void PrintRoute(const MCRoutePath& route) {
  char head[80];
  std::snprintf(head, sizeof head, "route: %.1f m through %zu points", route.lenght, route.points.size());
  Say(head);
  for (const auto& e : route.events) {
    char line[96];
    if (e->type == 3) {
      std::snprintf(line, sizeof line, "  after %5.1f m: change to floor %d", e->distance, e->value);
    } else {
      std::snprintf(line, sizeof line, "  after %5.1f m: turn %d degrees", e->distance, e->value);
    }
    Say(line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string serverUrl, program = MARVISTO_CONTENT_SERVER;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage(a == "--server" || a == "--content-server" || a == "--seed"
                                        ? a + " needs a value"
                                        : "unexpected argument " + a);
    if (a == "--server") {
      serverUrl = argv[++i];
    } else if (a == "--content-server") {
      program = argv[++i];
    } else if (a == "--seed") {
      char* end = nullptr;
      seed = std::strtoull(argv[++i], &end, 10);
      if (*end || !argv[i][0] || argv[i][0] == '-') return Usage("--seed needs a whole number");
    } else {
      return Usage("unexpected argument " + a);
    }
  }

  // 1. This thread is the main thread; the kit keeps its files in a home of our choosing.
  platform::RunLoop::setMainThread();
  char home[] = "/tmp/marvisto-host.XXXXXX";
  if (!mkdtemp(home)) return Fail("cannot make a temporary folder");
  struct RemoveHome {
    fs::path path;
    ~RemoveHome() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } removeHome{home};
  platform::Paths::setHome(fs::path(home) / "home");

  // 2. The simulated world: a venue, a person walking it, a phone in their hand.
  std::string error;
  auto sim = world::Simulation::create(seed, &error);
  if (!sim) return Fail(error);
  std::printf("simulated world: \"%s\" (location %lld), a %.0f s walk\n", sim->locationName().c_str(),
              static_cast<long long>(sim->locationId()), sim->walkSeconds());

  // 3. A content server serving the world's venue, unless one was named.
  ContentServer server;
  if (serverUrl.empty()) {
    const fs::path venues = fs::path(home) / "venues";
    fs::create_directories(venues);
    if (!sim->writeVenue((venues / "venue.mvz").string(), &error)) return Fail(error);
    serverUrl = server.start(program, venues, fs::path(home) / "server.log", &error);
    if (serverUrl.empty()) return Fail(error);
  }
  std::printf("content server: %s\n", serverUrl.c_str());
  // Everything the kit sends goes to that server, nowhere else.
  MCServiceAddresses::setApiServer(serverUrl);
  MCServiceAddresses::setCloudSetupURL(serverUrl + "/device/cloudSetup");
  MCServiceAddresses::setZoneVisitURL(serverUrl + "/zones/visit");

  // 4. The facade and its delegate. Zone events come from the navigation tick's thread
  // once the tick has released the SDK's lock: the handlers only print, from names read beforehand.
  auto core = MarvistoCore::initWithUserHash("example-host", serverUrl);
  auto delegate = std::make_shared<MarvistoCoreDelegate>();
  std::map<int64_t, std::string> zoneNames;
  std::atomic<int> zoneEvents{0};
  auto zoneName = [&](int64_t id) {
    const auto it = zoneNames.find(id);
    return it == zoneNames.end() ? std::string() : it->second;
  };
  delegate->didEnterZoneWithId = [&](int64_t id) {
    ++zoneEvents;
    Say("entered zone " + std::to_string(id) + " " + zoneName(id));
  };
  delegate->didExitZoneWithId = [&](int64_t id) {
    ++zoneEvents;
    Say("left zone " + std::to_string(id) + " " + zoneName(id));
  };
  core->setDelegate(delegate);

  // 5. The download: its callbacks arrive on this thread while the simulation runs the clock.
  bool ended = false, downloaded = false;
  int shown = -2;
  core->downloadLocationById(
      sim->locationId(), false,
      [&](int64_t progress) {
        if (progress / 25 == shown / 25) return;
        shown = static_cast<int>(progress);
        std::printf("downloading: %lld%%\n", static_cast<long long>(progress));
      },
      [&](const nlohmann::json& result) {
        std::printf("%s copy loaded, version %lld\n", result.value("type", "?").c_str(),
                    static_cast<long long>(result.value("version", int64_t{0})));
        if (result.value("type", "") == "remote") ended = downloaded = true;
      },
      [&](const platform::Error& e) {
        std::printf("download failed: %s (code %lld)\n", e.localizedDescription.c_str(),
                    static_cast<long long>(e.code));
        ended = true;
      });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended && std::chrono::steady_clock::now() < until) {
    sim->advance(MarvistoCore::kDownloadPollSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the transfer runs in real time
  }
  if (!downloaded) return Fail("the venue did not download");
  std::printf("%zu floors\n", core->location()->sublocations.size());
  for (const auto& floor : core->location()->sublocations)
    for (const auto& zone : *floor->zones) zoneNames[zone->id] = "\"" + zone->name + "\"";

  // 6. Navigation with a target at the end of the walk.
  const auto target = sim->destination();
  const auto targetPoint = MCLocationPoint::pointWithLocation(sim->locationId(), target.floor,
                                                              MCNumber(target.x), MCNumber(target.y));
  core->addTatget(*targetPoint);
  sim->preparePhone();
  core->_fastScanEnabled(true);
  core->startMarvisto();
  sim->startWalk();
  std::printf("navigating to %s\n", Place(target.floor, target.x, target.y).c_str());

  int positions = 0;
  bool routed = false;
  double nextReport = 0;
  const double step = 0.1;
  for (double t = 0; !sim->walkFinished() && t < sim->walkSeconds() + 30; t += step) {
    sim->advance(step);
    const auto info = core->deviceInfo();
    if (info->error) continue;
    ++positions;
    if (!routed) {
      // The route from the first position, as the facade plans it on request.
      const auto here = MCLocationPoint::pointWithLocation(info->location, info->sublocation, MCNumber(info->x),
                                                           MCNumber(info->y));
      if (const auto route = core->makeRouteFrom(*here, *targetPoint); route && route->isValid()) {
        routed = true;
        // The tick's own route carries the turn events.
        PrintRoute(info->paths.empty() ? *route : *info->paths.front());
      }
    }
    if (t >= nextReport) {
      nextReport = std::floor(t / 10 + 1e-9) * 10 + 10;
      std::string line = "[" + std::to_string(static_cast<int>(t)) + " s] position " +
                         Place(info->sublocation, info->x, info->y);
      if (const auto truth = sim->truth()) {
        line += ", truly " + Place(truth->floor, truth->x, truth->y);
      }
      Say(line);
    }
  }
  core->stopMarvisto();
  core->stopSendingPostRequests();
  Say(std::to_string(positions) + " positions, " + std::to_string(zoneEvents.load()) + " zone events, route " +
      (routed ? "found" : "not found"));
  return positions > 0 ? 0 : 1;
}
