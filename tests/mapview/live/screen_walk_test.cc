// The map screen over the whole SDK on the simulated world's walk: the coordinator's tick
// refills the device information on its thread while the screen's refresh reads it on the
// main thread; the screen follows the walker and, after the floor change, shows the new
// floor once the user steps the floor buttons there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "mapview/mc_location_view_controller.h"
#include "mapview/mc_screen_follow.h"
#include "platform/animated_png.h"
#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "sdk/coordinator_scene.h"
#include "world/world.h"

// Fontconfig keeps the patterns of the fonts cairo drew the controls' texts with for the
// life of the process; the leak checker sees them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;
constexpr double kSettle = 8;

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST(ScreenWalkTest, TheScreenFollowsTheWalkerAcrossAFloorChange) {
  sdk_test::CoordinatorScene c;
  platform::location::reset();
  std::string error;
  auto w = world::World::create(world::WorldSetup{}, &error);
  ASSERT_TRUE(w) << error;
  fs::create_directories(platform::Paths::documents() / "venue");
  ASSERT_EQ(w->writeVenue((platform::Paths::documents() / "venue" / "map.mvz").string(), &error), 0);
  c.sdk->loadArchive("venue", nullptr);
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  pt::settle();
  const auto location = c.sdk->location();
  ASSERT_GE(location->sublocations.size(), 2u);

  // The snapshot each refresh read, so that what the marker shows is checked against it.
  MCScreenNavigation navigation = MCScreenNavigation::forManager(c.sdk->managers().navigationManager);
  std::shared_ptr<const MCDeviceInfo> seen;
  navigation.deviceInfo = [read = navigation.deviceInfo, &seen] { return seen = read(); };
  auto screen = MCLocationViewController::create(navigation);
  screen->setLocation(location);
  const auto root = screen->view();
  ASSERT_GT(screen->pixPerMeter(), 0);
  auto indexOf = [&](int64_t id) {
    for (size_t i = 0; i < location->sublocations.size(); ++i)
      if (location->sublocations[i]->id == id) return int64_t(i);
    return int64_t(-1);
  };

  c.sdk->fastScanEnabled(true);
  c.sdk->startMarvisto();
  w->start();
  const double t0 = platform::Clock::nowSeconds();
  std::vector<int64_t> floorsFollowed;  // floor ids the screen showed the marker on, in order
  std::vector<double> misses;           // metres between the marker and the walker
  std::vector<double> sdkMisses;        // metres between the SDK's position and the walker
  int hiddenWhileAway = 0, shownWhileAway = 0;
  bool picture = false;
  platform::AnimatedPng walkAnimation;  // a frame every 5 s of the walk, shown for 0.5 s
  for (int tick = 0; !w->finished(); ++tick) {
    pt::advance(0.1);
    // A frame every 5 s, panned to the marker; never switching floors, which the checks
    // below leave to the moment the result leaves the floor shown.
    if (tick % 50 == 0 && seen && seen->sublocation == screen->subLocationId() &&
        c.sdk->deviceInfo()->sublocation == screen->subLocationId()) {
      MCFollowPosition(*screen);
      ASSERT_TRUE(walkAnimation.addFrame(*screen->snapshot(), 0.5));
    }
    const auto info = seen;
    if (!info) continue;
    const auto truth = w->truthAt({int64_t(std::floor(info->time)), int32_t((info->time - std::floor(info->time)) * 1e6)});
    if (!truth || info->error || platform::Clock::nowSeconds() - t0 < kSettle) continue;
    const auto& marker = *screen->current();
    if (info->sublocation != screen->subLocationId()) {
      // The result is on another floor: the marker hides until the user follows it there.
      (marker.isHidden() ? hiddenWhileAway : shownWhileAway)++;
      MCFollowPosition(*screen);
      ASSERT_EQ(screen->subLocationId(), seen->sublocation);
      ASSERT_FALSE(marker.isHidden());
      continue;
    }
    if (floorsFollowed.empty() || floorsFollowed.back() != info->sublocation) floorsFollowed.push_back(info->sublocation);
    if (truth->floorId != info->sublocation) continue;
    const double x = marker.center().x / screen->pixPerMeter();
    const double y = screen->imageSize().height - marker.center().y / screen->pixPerMeter();
    misses.push_back(std::hypot(x - truth->x, y - truth->y));
    sdkMisses.push_back(std::hypot(info->x - truth->x, info->y - truth->y));
    if (!picture && floorsFollowed.size() == 2) {
      const fs::path file = c.home.path() / "screen.png";
      ASSERT_TRUE(screen->writePng(file, &error)) << error;
      const auto image = platform::Image::imageWithContentsOfFile(file);
      ASSERT_TRUE(image);
      EXPECT_EQ(image->pixelWidth(), int(MCLocationViewController::kScreenWidth));
      picture = true;
    }
  }
  c.sdk->stopMarvisto();
  const auto& walk = w->setup().walk;
  ASSERT_EQ(floorsFollowed.size(), 2u);
  EXPECT_EQ(indexOf(floorsFollowed[0]), walk.startFloor);
  EXPECT_EQ(indexOf(floorsFollowed[1]), walk.endFloor);
  EXPECT_GT(hiddenWhileAway, 0);
  EXPECT_EQ(shownWhileAway, 0);
  const double median = Median(misses), sdkMedian = Median(sdkMisses);
  std::printf("to the walker over %zu refreshes: marker median %.2f m, SDK position median %.2f m\n",
              misses.size(), median, sdkMedian);
  EXPECT_LT(median, 4.0);
  EXPECT_NEAR(median, sdkMedian, 0.05);  // the screen's mapping adds nothing
  EXPECT_TRUE(picture);
  EXPECT_GT(walkAnimation.frameCount(), 5u);
  ASSERT_TRUE(walkAnimation.writeToFile(c.home.path() / "walk.png", &error)) << error;
  EXPECT_TRUE(platform::Image::imageWithContentsOfFile(c.home.path() / "walk.png"));
  screen.reset();
}

}  // namespace
