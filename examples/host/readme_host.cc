// A minimal host: downloads a location, navigates for a few seconds and prints what the
// kit reports.   readme-host SERVER_URL LOCATION_ID [HOME]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "MainSDK/marvisto_core.h"
#include "Server/mc_service_addresses.h"
#include "platform/paths.h"
#include "platform/run_loop.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) return std::fprintf(stderr, "usage: readme-host SERVER_URL LOCATION_ID [HOME]\n"), 2;
  const std::string server = argv[1];  // e.g. "http://127.0.0.1:8080", as the content server prints its port
  const int64_t locationId = std::atoll(argv[2]);

  platform::RunLoop::setMainThread();        // this thread receives the kit's main-queue callbacks
  // The kit keeps its files (archives, queue) in the app home: HOME when given, else
  // $MARVISTO_HOME, else ~/.marvisto. The next run finds the downloaded copy there.
  if (argc == 4) platform::Paths::setHome(argv[3]);
  MCServiceAddresses::setApiServer(server);  // the service's JSON requests go to our server too

  // The facade lives as long as the host keeps it; it holds the delegate weakly, so the
  // host keeps that too. Zone callbacks run on the navigation tick's thread.
  std::shared_ptr<MarvistoCore> core = MarvistoCore::initWithUserHash("readme-host", server);
  auto delegate = std::make_shared<MarvistoCoreDelegate>();
  delegate->didEnterZoneWithId = [](int64_t zone) { std::printf("entered zone %lld\n", (long long)zone); };
  core->setDelegate(delegate);

  // A route target in the middle of the first floor (x and y in metres from the floor's
  // lower-left corner), then the 100 ms navigation tick. A newer copy that replaces the
  // location stops navigation and forgets the targets: this runs again then.
  bool navigating = false;
  auto navigate = [&] {
    const auto& floor = core->location()->sublocations.front();
    core->addTatget(*MCLocationPoint::pointWithLocation(locationId, floor->id, MCNumber(floor->width / 2),
                                                        MCNumber(floor->height / 2)));
    core->startMarvisto();
    navigating = true;
  };

  // Download callbacks arrive on the main thread, while it pumps its run loop. A copy on
  // disk loads at once ("local"); once the progress reaches 100 a newer copy from the
  // server is checked and loaded, which takes as long as a load, and follows ("remote"),
  // while an up-to-date one gets nothing more. The flow holds its three blocks until it
  // has said its last word; what they hold goes then, and here wakes the main thread.
  bool loaded = false, jobEnded = false, failed = false, switched = false, flowEnded = false;
  auto flow = std::shared_ptr<void>(nullptr, [&flowEnded](void*) {
    platform::RunLoop::main()->perform([&flowEnded] { flowEnded = true; });
  });
  core->downloadLocationById(
      locationId, false,
      [&, flow](int64_t percent) {
        std::printf("downloading %lld%%\n", (long long)percent);
        jobEnded = percent == 100;
      },
      [&, flow](const nlohmann::json& result) {
        std::printf("%s copy loaded, version %lld\n", result.value("type", "").c_str(),
                    (long long)result.value("version", int64_t{0}));
        loaded = true;
        if (navigating) {
          navigate();
          switched = true;
        }
      },
      [&, flow](const platform::Error& e) {  // codes: see marvisto_error.h
        std::printf("download failed: %lld %s\n", (long long)e.code, e.localizedDescription.c_str());
        failed = true;
      });
  flow.reset();
  // With no local copy "remote" comes after the 100; a failure may leave a local copy.
  platform::RunLoop::main()->runUntil([&] { return flowEnded || (jobEnded && loaded); }, 60.0);
  if (!loaded) return 1;

  navigate();
  platform::RunLoop::main()->runFor(3.0);
  // A host that ends waits for the download's outcome: ending while a newer copy is
  // checked and loaded would leave the older one, and the next run would download again.
  if (!platform::RunLoop::main()->runUntil([&] { return flowEnded; }, 120.0)) {
    std::printf("the download did not end within 120 s\n");
    return 1;
  }
  if (switched) platform::RunLoop::main()->runFor(3.0);  // the newer copy navigates too

  // The latest tick's result: a copy the host may keep.
  std::shared_ptr<const MCDeviceInfo> info = core->deviceInfo();
  if (info->error) {
    // Code 4, "No solution", until the phone hears the venue's beacons.
    std::printf("no position yet: %lld %s\n", (long long)info->error->code,
                info->error->localizedDescription.c_str());
  } else {
    std::printf("floor %lld at (%.1f, %.1f) m, within %.1f m, heading %.2f rad\n", (long long)info->sublocation,
                info->x, info->y, info->r, info->azimuth);
    for (const auto& route : info->paths) std::printf("route to the target: %.1f m\n", route->lenght);
  }
  core->stopMarvisto();
  core->stopSendingPostRequests();
  return failed ? 1 : 0;
}
