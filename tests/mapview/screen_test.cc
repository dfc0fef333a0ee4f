// The map screen: view state first (frames, hidden, alpha, path points, actions), then
// pixels probed at computed points of the rendered viewport.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "MCModels/mc_floor_image_renderer.h"
#include "mapview/mc_map_view_install.h"
#include "mapview/screen_scene.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

// Fontconfig keeps the patterns of the fonts cairo drew the controls' texts with for the
// life of the process; the leak checker sees them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace screen_test;
using platform::ui::Point;
using platform::ui::Rect;
namespace pt = platform::testing;

const Rgb kBlue{0, 0, 1}, kLight{74 / 255.0, 173 / 255.0, 212 / 255.0};

void ExpectPixel(Pixel got, Pixel want, const char* where) {
  SCOPED_TRACE(where);
  EXPECT_NEAR(got.r, want.r, 4);
  EXPECT_NEAR(got.g, want.g, 4);
  EXPECT_NEAR(got.b, want.b, 4);
}

void ExpectSize(platform::ui::Size got, platform::ui::Size want) {
  EXPECT_NEAR(got.width, want.width, 1e-6);
  EXPECT_NEAR(got.height, want.height, 1e-6);
}

void ExpectRuns(const std::vector<std::vector<Point>>& got, const std::vector<std::vector<Point>>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].size(), want[i].size()) << i;
    for (size_t j = 0; j < got[i].size(); ++j) {
      EXPECT_NEAR(got[i][j].x, want[i][j].x, 1e-3) << i << "," << j;
      EXPECT_NEAR(got[i][j].y, want[i][j].y, 1e-3) << i << "," << j;
    }
  }
}

class ScreenTest : public ScreenFixture {
 protected:
  std::shared_ptr<platform::Image> Render() { return platform::ui::renderView(*root); }
};

TEST_F(ScreenTest, MarkerSitsAtTheResultWithItsAccuracyCircle) {
  Open(ThreeFloors());
  EXPECT_EQ(screen->current()->background->frame().size.width, 36);  // before any refresh
  struct Case {
    const char* name;
    int64_t floor;
    float kx, ky, r;
    bool hidden;
    Point centre;  // content points
    double side;
  } cases[] = {
      {"on the floor shown", 11, 0.25f, 0.5f, 2.5f, false, {100, 284}, 50},
      {"lower-left corner", 11, 0, 0, 1, false, {0, 568}, 20},
      {"upper-right corner", 11, 1, 1, 0, false, {400, 0}, 0},
      {"another floor: hidden, still moved", 12, 0.5f, 0.5f, 2, true, {200, 284}, 40},
      {"back on the floor, at the newest place", 11, 0.3f, 0.7f, 4, false, {120, 568 * 0.3}, 80},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    nav.at(k.floor, k.kx, k.ky, k.r);
    screen->changeCoordinates();
    const auto& marker = *screen->current();
    EXPECT_EQ(marker.isHidden(), k.hidden);
    EXPECT_NEAR(marker.center().x, k.centre.x, 1e-3);
    EXPECT_NEAR(marker.center().y, k.centre.y, 1e-3);
    EXPECT_NEAR(marker.frame().size.width, 36, 1e-9);
    const Rect circle = marker.background->frame();
    EXPECT_NEAR(circle.size.width, k.side, 1e-3);
    EXPECT_NEAR(circle.midX(), 18, 1e-3);
    EXPECT_NEAR(circle.midY(), 18, 1e-3);
    EXPECT_NEAR(marker.background->cornerRadius(), k.side / 2, 1e-3);
  }

  // Pixels: 2.5 m at 10 points per metre is a circle 50 across about (100, 284).
  nav.at(11, 0.25f, 0.5f, 2.5f);
  screen->changeCoordinates();
  const auto image = Render();
  const Pixel floor = Of(kGrey);
  const Pixel disc = Over(kLight, 0.5, Of(kBlue));
  ExpectPixel(PixelAt(*image, 100, 284), Over({disc.r / 255.0, disc.g / 255.0, disc.b / 255.0}, 0.9, floor), "disc");
  ExpectPixel(PixelAt(*image, 100 + 23, 284), Over(kLight, 0.45, floor), "inside the circle, beyond the disc");
  ExpectPixel(PixelAt(*image, 100 + 27, 284), floor, "beyond the circle");
  ExpectPixel(PixelAt(*image, 100, 284 - 27), floor, "beyond the circle, above");

  nav.at(12, 0.25f, 0.5f, 2.5f);
  screen->changeCoordinates();
  ExpectPixel(PixelAt(*Render(), 100, 284), floor, "hidden on another floor");
}

TEST_F(ScreenTest, FloorButtonsAndFieldWalkThreeFloorsAndStopAtTheEnds) {
  auto location = ThreeFloors();
  auto venue = std::make_shared<MCVenue>();
  venue->x = 5.0;
  venue->y = 15.0;
  location->sublocations[1]->venues->push_back(venue);  // at (142, 142) on floor 12
  Open(location);
  ASSERT_TRUE(screen->btnUpFloor() && screen->btnDownFloor() && screen->tfFloor());
  const Point up = screen->btnUpFloor()->center(), down = screen->btnDownFloor()->center();
  EXPECT_EQ(screen->btnUpFloor()->actionNames(), std::vector<std::string>{"btnUpFloorPressed:"});
  EXPECT_NEAR(screen->btnDownFloor()->transform().a, -1, 1e-12);  // the up artwork turned over
  struct Step {
    const char* name;
    const Point* press;
    int64_t floor, id;
    const char* field;
    double upAlpha, downAlpha;
    Rect content;
    float pixPerMeter;
  } steps[] = {
      {"set-up", nullptr, 0, 11, "0", 1.0, 0.7, {0, 0, 400, 568}, 10},
      {"up", &up, 1, 12, "1", 1.0, 1.0, {0, 0, 568, 568}, 28.4f},
      {"up", &up, 2, 13, "2", 0.7, 1.0, {0, 0, 320, 1136}, 32},
      {"up at the top", &up, 2, 13, "2", 0.7, 1.0, {0, 0, 320, 1136}, 32},
      {"down", &down, 1, 12, "1", 1.0, 1.0, {0, 0, 568, 568}, 28.4f},
      {"down", &down, 0, 11, "0", 1.0, 0.7, {0, 0, 400, 568}, 10},
      {"down at the bottom", &down, 0, 11, "0", 1.0, 0.7, {0, 0, 400, 568}, 10},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.name) + " to " + s.field);
    if (s.press) platform::ui::touch(*root, *s.press);
    EXPECT_EQ(screen->floor(), s.floor);
    EXPECT_EQ(screen->subLocationId(), s.id);
    EXPECT_EQ(screen->tfFloor()->text(), s.field);
    EXPECT_DOUBLE_EQ(screen->btnUpFloor()->alpha(), s.upAlpha);
    EXPECT_DOUBLE_EQ(screen->btnDownFloor()->alpha(), s.downAlpha);
    EXPECT_EQ(screen->contentView()->frame().origin, s.content.origin);
    ExpectSize(screen->contentView()->frame().size, s.content.size);
    ExpectSize(screen->sv()->contentSize(), s.content.size);
    EXPECT_FLOAT_EQ(screen->pixPerMeter(), s.pixPerMeter);
    size_t venueViews = 0;
    for (const auto& v : screen->contentView()->subviews()) venueViews += v != screen->current();
    EXPECT_EQ(venueViews, screen->venues().size());
    ASSERT_EQ(screen->venues().size(), s.id == 12 ? 1u : 0u);
    if (s.id == 12) {
      EXPECT_NEAR(screen->venues()[0]->center().x, 142, 1e-6);
      EXPECT_NEAR(screen->venues()[0]->center().y, 142, 1e-6);
    }
  }
  // One floor: no floor controls, the map buttons all the same.
  auto one = ThreeFloors();
  one->sublocations.resize(1);
  Open(one);
  EXPECT_FALSE(screen->btnUpFloor() || screen->btnDownFloor() || screen->tfFloor());
  EXPECT_EQ(screen->mapButtons().size(), 3u);
}

TEST_F(ScreenTest, ZoomStaysBetweenOneAndFive) {
  Open(ThreeFloors());
  const Point in = screen->mapButtons()[0]->center(), out = screen->mapButtons()[1]->center();
  struct Case {
    const Point* button;
    int presses;
    double zoom;
  } cases[] = {{&in, 1, 1.2}, {&in, 30, 5.0}, {&out, 1, 4.8}, {&out, 30, 1.0}, {&in, 5, 2.0}};
  for (const Case& k : cases) {
    for (int i = 0; i < k.presses; ++i) platform::ui::touch(*root, *k.button);
    EXPECT_NEAR(screen->sv()->zoomScale(), k.zoom, 1e-5) << k.presses;
  }
  // At zoom 2 the marker keeps its content place, and the floor's content size stays.
  nav.at(11, 0.5f, 0.5f, 1);
  screen->changeCoordinates();
  EXPECT_NEAR(screen->current()->center().x, 200, 1e-3);
  ExpectSize(screen->contentView()->bounds().size, {400, 568});
}

TEST_F(ScreenTest, RouteLineIsDrawnOnlyOnTheShownFloorAndEndsAtThreeMetres) {
  Open(ThreeFloors());
  using Route = std::vector<std::array<double, 3>>;
  using Runs = std::vector<std::vector<Point>>;
  struct Case {
    const char* name;
    Route route;
    float length;
    bool layer;
    Runs runs;  // content points; 10 per metre, y flipped on 56.8 m
    int cancels;
  } cases[] = {
      {"leaves the floor and comes back", {{11, 0, 0}, {11, 10, 0}, {12, 5, 5}, {11, 10, 20}, {11, 30, 20}}, 40, true,
       {{{0, 568}, {100, 568}}, {{100, 368}, {300, 368}}}, 0},
      {"just longer than arrival", {{11, 5, 5}, {11, 5, 5.0}}, 3.01f, true, {{{50, 518}, {50, 518}}}, 0},
      {"nothing on this floor", {{12, 1, 1}, {13, 2, 2}}, 20, true, {}, 0},
      {"arrived at 3 m", {{11, 5, 5}, {11, 6, 5}}, 3.0f, false, {}, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    nav = FakeNavigation{};
    screen = MCLocationViewController::create(nav.navigation());
    screen->setLocation(ThreeFloors());
    root = screen->view();
    nav.route(k.route, k.length);
    screen->changeCoordinates();
    ASSERT_EQ(bool(screen->routeLayer()), k.layer);
    EXPECT_EQ(nav.cancels, k.cancels);
    if (!k.layer) {
      EXPECT_TRUE(screen->contentView()->sublayers().empty());
      continue;
    }
    const auto& layer = *screen->routeLayer();
    ExpectRuns(layer.path.subpaths(), k.runs);
    EXPECT_EQ(layer.strokeColor, platform::ui::Color::rgb(74, 173, 212));
    EXPECT_EQ(layer.lineWidth, 2.0);
    EXPECT_EQ(layer.lineJoin, platform::ui::LineJoin::Round);
    EXPECT_EQ(screen->contentView()->subviews().back(), screen->current());  // marker above the line
    ASSERT_EQ(screen->contentView()->sublayers().size(), 1u);  // the last refresh's line only
  }
  // Pixels: the line along the first run and the second, nothing across the gap.
  nav.route(cases[0].route, 40);
  screen->changeCoordinates();
  const auto image = Render();
  ExpectPixel(PixelAt(*image, 50, 567), Of(kLight), "first run");
  ExpectPixel(PixelAt(*image, 200, 368), Of(kLight), "second run");
  ExpectPixel(PixelAt(*image, 100, 468), Of(kGrey), "no segment across the gap");
  nav.noRoute();
  screen->changeCoordinates();
  EXPECT_FALSE(screen->routeLayer());
  ExpectPixel(PixelAt(*Render(), 200, 368), Of(kGrey), "line gone with the route");
}

TEST_F(ScreenTest, LongPressDropsOnePinWhoseCalloutMakesItATarget) {
  Open(ThreeFloors());
  const double pinHeight = MCPressPin(Rect(5, 5, 99, 99)).frame().size.height;
  platform::ui::touch(*root, {50, 60}, 1.0);
  platform::ui::touch(*root, {150, 400}, 1.2);  // a second pin replaces the first
  ASSERT_TRUE(screen->pin());
  const auto pin = screen->pin();
  size_t pins = 0, callouts = 0;
  for (const auto& v : screen->contentView()->subviews()) {
    pins += dynamic_cast<MCPressPin*>(v.get()) != nullptr;
    callouts += v == pin->unnotationView;
  }
  EXPECT_EQ(pins, 1u);
  EXPECT_EQ(callouts, 1u);
  EXPECT_NEAR(pin->frame().maxY(), 400, 1e-9);
  EXPECT_NEAR(pin->center().x, 150, 1e-9);
  EXPECT_NEAR(pin->frame().size.height, pinHeight, 1e-9);
  EXPECT_NEAR(pin->unnotationView->frame().maxY(), 400 - pinHeight - 10, 1e-9);
  EXPECT_NEAR(pin->unnotationView->center().x, 150, 1e-9);
  EXPECT_EQ(pin->sublocationId, 11);
  EXPECT_EQ(pin->btn->title(), "Make route");

  // "Make route": the pin's tip in metres on floor 11 (10 points per metre, y up from 568).
  platform::ui::touch(*root, pin->unnotationView->center());
  ASSERT_EQ(nav.targets.size(), 1u);
  EXPECT_EQ(nav.targets[0].location, 7);
  EXPECT_EQ(nav.targets[0].sublocation, 11);
  EXPECT_NEAR(nav.targets[0].x.doubleValue(), 15, 1e-4);
  EXPECT_NEAR(nav.targets[0].y.doubleValue(), 16.8, 1e-4);
  EXPECT_EQ(pin->unnotationView->superview(), nullptr);
  EXPECT_EQ(screen->pin(), pin);

  // While a route exists a long press and a tap change nothing.
  nav.route({{11, 1, 1}, {11, 15, 16.8}}, 20);
  screen->changeCoordinates();
  platform::ui::touch(*root, {60, 60}, 1.5);
  platform::ui::touch(*root, {60, 60}, 0.1);
  EXPECT_EQ(screen->pin(), pin);

  // A tap on the pin: remove mode; its button then sends the target again and cancels all.
  platform::ui::touch(*root, pin->center());
  EXPECT_TRUE(pin->isRemoveMode());
  EXPECT_EQ(pin->btn->title(), "Remove pin");
  EXPECT_EQ(pin->btn->actionNames(), (std::vector<std::string>{"btnRoute:", "btnCancelRoute:"}));
  EXPECT_EQ(pin->unnotationView->superview(), screen->contentView().get());
  platform::ui::touch(*root, pin->unnotationView->center());
  EXPECT_EQ(nav.targets.size(), 2u);
  EXPECT_EQ(nav.cancels, 1);
  EXPECT_FALSE(screen->pin());
  EXPECT_EQ(pin->superview(), nullptr);
  EXPECT_FALSE(screen->routeLayer());

  // No route: a tap on the map takes a fresh pin away.
  nav.noRoute();
  platform::ui::touch(*root, {100, 100}, 1.0);
  ASSERT_TRUE(screen->pin());
  platform::ui::touch(*root, {200, 500}, 0.1);
  EXPECT_FALSE(screen->pin());
}

TEST_F(ScreenTest, MakeRouteAfterAFloorSwitchKeepsThePinsFloorAndSize) {
  Open(ThreeFloors());
  platform::ui::touch(*root, {200, 284}, 1.0);  // floor 11: (20 m, 28.4 m)
  ASSERT_TRUE(screen->pin());
  platform::ui::touch(*root, screen->btnUpFloor()->center());
  ASSERT_EQ(screen->subLocationId(), 12);
  screen->btnRoute();
  ASSERT_EQ(nav.targets.size(), 1u);
  EXPECT_EQ(nav.targets[0].sublocation, 11);
  EXPECT_NEAR(nav.targets[0].x.doubleValue(), 20, 1e-4);
  EXPECT_NEAR(nav.targets[0].y.doubleValue(), 28.4, 1e-4);
}

TEST_F(ScreenTest, LocationsWithoutAShowableFloorGiveAnEmptyScreen) {
  auto noImage = ThreeFloors();
  noImage->sublocations[0]->image = nullptr;
  auto noExtent = ThreeFloors();
  noExtent->sublocations[0]->width = 0;
  struct Case {
    const char* name;
    std::shared_ptr<MCLocation> location;
    bool floorButtons;
  } cases[] = {
      {"no location", nullptr, false},
      {"no floors", std::make_shared<MCLocation>(), false},
      {"first floor without an image", noImage, true},
      {"first floor without an extent", noExtent, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    nav = FakeNavigation{};
    Open(k.location);
    EXPECT_EQ(screen->contentView()->frame().size, (platform::ui::Size{0, 0}));
    EXPECT_EQ(screen->pixPerMeter(), 0.f);
    EXPECT_EQ(bool(screen->btnUpFloor()), k.floorButtons);
    nav.at(screen->subLocationId(), 0.5f, 0.5f, 3);
    const double id = double(screen->subLocationId());
    nav.route({{id, 1, 1}, {id, 9, 9}}, 12);
    screen->changeCoordinates();
    EXPECT_TRUE(screen->current()->isHidden());
    EXPECT_FALSE(screen->routeLayer());
    nav.noRoute();
    platform::ui::touch(*root, {100, 100}, 1.0);
    EXPECT_FALSE(screen->pin());
    ExpectPixel(PixelAt(*Render(), 100, 100), {255, 255, 255}, "white scroll view");
    if (k.floorButtons) {  // the next floor still shows
      platform::ui::touch(*root, screen->btnUpFloor()->center());
      ExpectSize(screen->contentView()->frame().size, {568, 568});
    }
  }
}

TEST_F(ScreenTest, RefreshTimerTicksWhileTheScreenLivesAndStopsWithIt) {
  auto unloaded = MCLocationViewController::create(nav.navigation());
  EXPECT_FALSE(unloaded->isRefreshing());  // never loaded: no timer
  Open(ThreeFloors());
  EXPECT_TRUE(screen->isRefreshing());
  nav.at(11, 0.5f, 0.5f, 1);
  pt::advance(0.05);
  EXPECT_TRUE(screen->current()->isHidden());  // not yet refreshed
  pt::advance(0.05);
  EXPECT_FALSE(screen->current()->isHidden());
  EXPECT_NEAR(screen->current()->center().x, 200, 1e-3);
  nav.at(11, 0.25f, 0.5f, 1);
  pt::advance(0.1);
  EXPECT_NEAR(screen->current()->center().x, 100, 1e-3);

  // The host's target nearing arrival: a screen that is gone neither holds on nor cancels.
  const std::weak_ptr<MCLocationViewController> weak = screen;
  screen.reset();
  root.reset();
  EXPECT_TRUE(weak.expired());
  nav.route({{11, 1, 1}, {11, 2, 2}}, 2);
  pt::advance(1.0);
  EXPECT_EQ(nav.cancels, 0);
  // A live screen does end the route.
  Open(ThreeFloors());
  pt::advance(0.1);
  EXPECT_GE(nav.cancels, 1);
}

}  // namespace

namespace {

TEST(ScreenFactoryTest, InstallingTheMapViewMakesANewScreenPerRead) {
  MCMapViewInstall();
  const auto location = screen_test::ThreeFloors();
  const auto a = location->viewController(), b = location->viewController();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->location(), location);
  EXPECT_FALSE(a->isViewLoaded());
  MCLocation::setViewControllerFactory({});
  MCFloorImageRenderer::setShared(nullptr);
  EXPECT_FALSE(location->viewController());
}

}  // namespace
