// A host application whose own classes and globals carry the names of the kit's internals
// (the engine's Graph, its process-wide _Logger, the transfer jobs' Loaders, LoaderMutex and
// LoaderCounter), built against the kit's shared libraries alone with the installed headers'
// layout, and exporting its symbols as plug-in hosts do. It loads the simulated world's venue,
// routes, navigates the walk and starts a transfer job, and fails when the kit called the
// host's Graph, wrote into the host's globals or positioned nothing (the world's platform
// not being the kit's), or when a host exception did not pass through the kit.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "MainSDK/marvisto_core.h"
#include "Server/mc_service_addresses.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "world/simulation.h"

namespace fs = std::filesystem;

// The host's own route graph: member functions of the very names and types the engine's
// graph has. The kit must never call them.
int graphCalls = 0;

class Graph {
 public:
  void clear();
  void addVertex(int id);
  void addEdge(int src, int dst, double weight);
  bool hasVertex(int id) const;
  double getPath(int src, int dst, std::vector<int>* path, std::map<int, std::pair<int, double>>* labels) const;
};

void Graph::clear() { ++graphCalls; }
void Graph::addVertex(int) { ++graphCalls; }
void Graph::addEdge(int, int, double) { ++graphCalls; }
bool Graph::hasVertex(int) const { return ++graphCalls, false; }
double Graph::getPath(int, int, std::vector<int>*, std::map<int, std::pair<int, double>>*) const {
  ++graphCalls;
  return -1.0;
}

// The host's own log and job table, under the engine's global names, holding texts the kit
// must leave alone.
struct HostText {
  char text[256];
};
HostText _Logger = {"the host's log"};
HostText Loaders = {"the host's loaders"};
HostText LoaderMutex = {"the host's loader mutex"};
int LoaderCounter = 424242;

namespace {

struct HostError {
  int code;
};

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::printf("foreign host: %s\n", what.c_str());
  ++failures;
}

void CheckHostGlobals(const char* when) {
  const std::string at = std::string(" ") + when;
  Check(std::strcmp(_Logger.text, "the host's log") == 0, "the kit wrote into the host's _Logger" + at);
  Check(std::strcmp(Loaders.text, "the host's loaders") == 0, "the kit wrote into the host's Loaders" + at);
  Check(std::strcmp(LoaderMutex.text, "the host's loader mutex") == 0,
        "the kit wrote into the host's LoaderMutex" + at);
  Check(LoaderCounter == 424242, "the kit counted its jobs in the host's LoaderCounter" + at);
  Check(graphCalls == 0, "the kit called the host's Graph " + std::to_string(graphCalls) + " times" + at);
}

}  // namespace

int main() {
  CheckHostGlobals("while the libraries started");
  platform::RunLoop::setMainThread();
  const fs::path home = fs::temp_directory_path() / ("marvisto-foreign-host-" + std::to_string(::getpid()));
  // The home goes when main returns, whichever way.
  const std::shared_ptr<void> removeHome(nullptr, [home](void*) {
    std::error_code ec;
    fs::remove_all(home, ec);
  });
  platform::Paths::setHome(home);
  // Nothing listens on port 1: whatever the kit sends is refused at once, on loopback.
  const std::string server = "http://127.0.0.1:1";
  MCServiceAddresses::setApiServer(server);
  MCServiceAddresses::setCloudSetupURL(server + "/device/cloudSetup");
  MCServiceAddresses::setZoneVisitURL(server + "/zones/visit");

  std::string error;
  auto sim = world::Simulation::create(7, &error);
  if (!sim) {
    std::printf("foreign host: no simulated world: %s\n", error.c_str());
    return 1;
  }
  const fs::path archive = platform::Paths::documents() / ("#" + std::to_string(sim->locationId())) / "map.mvz";
  fs::create_directories(archive.parent_path());
  if (!sim->writeVenue(archive.string(), &error)) {
    std::printf("foreign host: the venue was not written: %s\n", error.c_str());
    return 1;
  }

  auto core = MarvistoCore::initWithUserHash("foreign-host", server);
  std::optional<platform::Error> loadError;
  core->loadArchiveById(sim->locationId(), &loadError);
  if (loadError || core->location()->sublocations.empty()) {
    std::printf("foreign host: the venue did not load: %s\n", loadError ? loadError->description().c_str() : "no floors");
    return 1;
  }

  // Types the kit made compare equal to the host's view of them.
  for (const auto& floor : core->location()->sublocations) {
    if (floor->beacons->empty()) continue;
    const MCBeacon& beacon = *floor->beacons->front();
    Check(typeid(beacon) == typeid(MCBeacon), "a beacon of the kit is no MCBeacon to the host");
    break;
  }
  // A host exception passes through the kit's frames back to the host.
  MCLocation::setViewControllerFactory([](std::shared_ptr<MCLocation>) -> std::shared_ptr<MCLocationViewController> {
    throw HostError{17};
  });
  int caught = 0;
  try {
    core->location()->viewController();
  } catch (const HostError& e) {
    caught = e.code;
  }
  MCLocation::setViewControllerFactory({});
  Check(caught == 17, "the host's exception did not come back through the kit");

  // Navigation over the walk: the world's phone feeds the kit's own platform.
  const world::SimulatedPlace target = sim->destination();
  const auto to = MCLocationPoint::pointWithLocation(sim->locationId(), target.floor, MCNumber(target.x),
                                                     MCNumber(target.y));
  sim->preparePhone();
  core->startMarvisto();
  sim->startWalk();
  // Ten seconds of the walk: a hundred ticks of the kit's clock, which is the world's.
  int positions = 0;
  std::shared_ptr<const MCDeviceInfo> last;
  for (int tick = 0; tick < 100; ++tick) {
    sim->advance(0.1);
    const auto info = core->deviceInfo();
    if (info->error) continue;
    ++positions;
    last = info;
  }
  bool routed = false;
  if (last) {
    const auto here = MCLocationPoint::pointWithLocation(last->location, last->sublocation, MCNumber(last->x),
                                                         MCNumber(last->y));
    const auto route = core->makeRouteFrom(*here, *to);
    routed = route && route->isValid() && route->lenght > 0;
  }
  core->stopMarvisto();
  Check(positions >= 50, "the kit positioned " + std::to_string(positions) + " of 100 ticks while the world walked");
  Check(routed, "the kit found no route to the end of the walk");

  // A transfer job: the kit's own job table counts it; the refused connection ends it.
  const int job = core->_startLocationListLoader("foreign-host");
  int state = core->checkLocationLoader(job);
  for (int i = 0; i < 1000 && state >= 0 && state <= 99; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state = core->checkLocationLoader(job);
  }
  Check(state < 0 || state == 255, "the refused list request ended in state " + std::to_string(state));
  core->stopSendingPostRequests();

  CheckHostGlobals("at the end");
  if (failures > 0) return 1;
  std::printf("foreign host: %d positions, a route, the job ended in state %d, the host's names untouched\n",
              positions, state);
  return 0;
}
