// The SDK reaches the map view only through the floor renderer it is given and
// the location's screen factory.
#include <cairo.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "MCModels/mc_floor_image_renderer.h"
#include "MCModels/mc_location.h"
#include "MainSDK/main_sdk.h"
#include "mapview/mc_map_view_install.h"
#include "mapview/mc_map_view_manager.h"
#include "platform/run_loop.h"
#include "sdk/coordinator_scene.h"

namespace {

using sdk_test::CoordinatorScene;
using sdk_test::SharedScene;

// Hands every floor a fresh image of its own and notes where it was asked.
class RecordingRenderer : public MCFloorImageRenderer {
 public:
  void loadSublocationImage(const MCSublocation& floor) override {
    std::lock_guard lock(mutex);
    onMain.push_back(platform::RunLoop::isMainThread());
    floors.push_back(floor.id);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 2, 2);
    last = platform::Image::imageWithSurface(s);
    cairo_surface_destroy(s);
  }
  std::shared_ptr<platform::Image> image() const override {
    std::lock_guard lock(mutex);
    return last;
  }
  void setLocation(std::shared_ptr<MCLocation> l) override {
    std::lock_guard lock(mutex);
    location = std::move(l);
  }

  mutable std::mutex mutex;
  std::vector<bool> onMain;
  std::vector<int64_t> floors;
  std::shared_ptr<platform::Image> last;
  std::shared_ptr<MCLocation> location;
};

TEST(MapViewPortTest, FloorsAreRenderedByTheInjectedRendererOnTheMainThread) {
  struct Case {
    const char* name;
    bool withRenderer;
    bool loadOnWorker;  // the download flow loads from a worker thread
  } cases[] = {{"none", false, false}, {"main", true, false}, {"worker", true, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto renderer = std::make_shared<RecordingRenderer>();
    CoordinatorScene c([&](MainSDKManagers& m) {
      m.mapViewManager = k.withRenderer ? renderer : nullptr;
    });
    c.install("venue", SharedScene().map);
    std::optional<platform::Error> error;
    if (k.loadOnWorker) {
      std::atomic<bool> done = false;
      std::thread t([&] {
        c.sdk->loadArchive("venue", &error);
        done = true;
      });
      while (!done) {
        if (!platform::RunLoop::main()->runPending()) std::this_thread::yield();
      }
      t.join();
    } else {
      c.sdk->loadArchive("venue", &error);
    }
    ASSERT_FALSE(error) << error->localizedDescription;
    const auto floors = c.sdk->location()->sublocations;
    ASSERT_EQ(floors.size(), 2u);
    if (!k.withRenderer) {
      for (const auto& f : floors) EXPECT_FALSE(f->image);
      continue;
    }
    EXPECT_EQ(renderer->location, c.sdk->location());
    ASSERT_EQ(renderer->floors, (std::vector<int64_t>{floors[0]->id, floors[1]->id}));
    EXPECT_EQ(renderer->onMain, (std::vector<bool>{true, true}));
    EXPECT_TRUE(floors[0]->image && floors[1]->image && floors[0]->image != floors[1]->image);
    EXPECT_EQ(floors[1]->image, renderer->last);
  }
}

TEST(MapViewPortTest, InstallingTheMapViewGivesSharedCoordinatorsItsRenderer) {
  MCFloorImageRenderer::setShared(nullptr);
  EXPECT_FALSE(MainSDKManagers::shared().mapViewManager);
  MCMapViewInstall();
  EXPECT_EQ(MainSDKManagers::shared().mapViewManager, MCMapViewManager::sharedInstance());
  MCFloorImageRenderer::setShared(nullptr);
}

// The screen is opaque to the SDK: the test's factory hands back the location
// itself under the screen's type, which only ever gets compared.
std::shared_ptr<MCLocationViewController> ScreenOf(std::shared_ptr<MCLocation> location) {
  auto* p = reinterpret_cast<MCLocationViewController*>(location.get());
  return std::shared_ptr<MCLocationViewController>(std::move(location), p);
}

TEST(MapViewPortTest, ViewControllerComesFromTheRegisteredFactory) {
  int made = 0;
  struct Case {
    const char* name;
    bool registered;
    bool shared;  // the location is held by a shared_ptr
    bool screen;
  } cases[] = {{"no factory", false, true, false},
               {"shared location", true, true, true},
               {"location on the stack", true, false, false},
               {"unregistered again", false, true, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MCLocation::setViewControllerFactory(
        k.registered ? MCLocationScreenFactory([&](std::shared_ptr<MCLocation> l) {
          ++made;
          return ScreenOf(std::move(l));
        })
                     : MCLocationScreenFactory());
    auto held = std::make_shared<MCLocation>();
    MCLocation onStack;
    MCLocation& location = k.shared ? *held : onStack;
    const int before = made;
    const auto screen = location.viewController();
    EXPECT_EQ(bool(screen), k.screen);
    EXPECT_EQ(made - before, k.screen ? 1 : 0);
    if (screen) {
      EXPECT_EQ(static_cast<void*>(screen.get()), static_cast<void*>(held.get()));
      location.viewController();  // every read asks for a new screen
      EXPECT_EQ(made - before, 2);
    }
  }
  MCLocation::setViewControllerFactory({});
}

}  // namespace
