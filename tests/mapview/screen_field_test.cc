// The map screen as hosts meet it: a pin belongs to its own floor, the floor image and
// everything placed on it follow a floor switch and a zoom other than 1, and results or
// floors of absurd size neither hang the renderer nor draw garbage.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "mapview/screen_scene.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

using namespace screen_test;
using platform::ui::Point;
namespace pt = platform::testing;

void ExpectPixel(Pixel got, Pixel want, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_NEAR(got.r, want.r, 4);
  EXPECT_NEAR(got.g, want.g, 4);
  EXPECT_NEAR(got.b, want.b, 4);
}

class ScreenFieldTest : public ScreenFixture {
 public:
  void Up() { platform::ui::touch(*root, screen->btnUpFloor()->center()); }
  void Down() { platform::ui::touch(*root, screen->btnDownFloor()->center()); }
};

// The rule: a pin and its callout show only while the floor the pin was dropped on is shown;
// elsewhere neither is drawn nor can be pressed, so no target is sent for a floor not in view.
TEST_F(ScreenFieldTest, PinAndCalloutShowOnlyWhileTheirFloorIsShown) {
  Open(ThreeFloors());
  platform::ui::touch(*root, {200, 284}, 1.0);  // on floor 11
  const auto pin = screen->pin();
  ASSERT_TRUE(pin);
  const Point callout = pin->unnotationView->center();
  struct Step {
    const char* name;
    void (ScreenFieldTest::*move)();
    int64_t floor;
    bool shown;
  } steps[] = {
      {"dropped", nullptr, 11, true},
      {"one floor up", &ScreenFieldTest::Up, 12, false},
      {"two floors up", &ScreenFieldTest::Up, 13, false},
      {"back down", &ScreenFieldTest::Down, 12, false},
      {"on its floor again", &ScreenFieldTest::Down, 11, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.move) (this->*s.move)();
    ASSERT_EQ(screen->subLocationId(), s.floor);
    EXPECT_EQ(screen->pin(), pin);
    EXPECT_EQ(pin->isHidden(), !s.shown);
    EXPECT_EQ(pin->unnotationView->isHidden(), !s.shown);
    EXPECT_EQ(root->hitTest(callout) == pin->btn.get(), s.shown);
    EXPECT_EQ(root->hitTest(pin->center()) == pin.get(), s.shown);
  }
  platform::ui::touch(*root, callout);
  ASSERT_EQ(nav.targets.size(), 1u);
  EXPECT_EQ(nav.targets[0].sublocation, 11);
  EXPECT_NEAR(nav.targets[0].x.doubleValue(), 20, 1e-4);

  // In remove mode the same: its red callout goes with the floor.
  platform::ui::touch(*root, pin->center());
  ASSERT_TRUE(pin->isRemoveMode());
  Up();
  EXPECT_TRUE(pin->isHidden() && pin->unnotationView->isHidden());
  Down();
  EXPECT_FALSE(pin->isHidden() || pin->unnotationView->isHidden());
}

TEST_F(ScreenFieldTest, FloorImageRouteAndVenuesFollowFloorSwitchesAtAnyZoom) {
  // Content sizes 400 x 568, 568 x 568 and 320 x 1136; points per metre 10, 28.4 and 32.
  auto location = ThreeFloors();
  const std::array<Point, 3> venueMetres{{{10, 50}, {2, 17}, {1.5, 31}}};
  for (size_t f = 0; f < 3; ++f) {
    auto venue = std::make_shared<MCVenue>();
    venue->x = venueMetres[f].x;
    venue->y = venueMetres[f].y;
    location->sublocations[f]->venues->push_back(venue);
  }
  const Pixel orange = Of({240 / 255.0, 140 / 255.0, 40 / 255.0}), blue = Of({74 / 255.0, 173 / 255.0, 212 / 255.0});
  struct Case {
    const char* name;
    int ups, zoomIns;
    int64_t floor;
    Rgb colour;
    std::array<double, 3> line;  // x from, x to, y in metres: a level line
    Point venue;                 // content points
    std::array<Point, 2> ends;   // the line's ends in content points
  } cases[] = {
      {"first floor, zoom 1", 0, 0, 11, kGrey, {1, 5, 55}, {100, 68}, {{{10, 18}, {50, 18}}}},
      {"first floor, zoom 2", 0, 5, 11, kGrey, {1, 5, 55}, {100, 68}, {{{10, 18}, {50, 18}}}},
      {"second floor, zoom 2", 1, 5, 12, kSand, {1, 5, 19}, {56.8, 85.2}, {{{28.4, 28.4}, {142, 28.4}}}},
      {"third floor, zoom 3", 2, 10, 13, kMint, {1, 3, 34}, {48, 144}, {{{32, 48}, {96, 48}}}},
      {"back to the first, zoom 2", 0, 5, 11, kGrey, {1, 5, 55}, {100, 68}, {{{10, 18}, {50, 18}}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    nav = FakeNavigation{};
    Open(location);
    for (int i = 0; i < k.zoomIns; ++i) platform::ui::touch(*root, screen->mapButtons()[0]->center());
    for (int i = 0; i < k.ups; ++i) Up();
    if (k.ups == 0 && k.zoomIns > 0) {  // there and back again
      Up();
      Down();
    }
    const double z = screen->sv()->zoomScale();
    ASSERT_NEAR(z, 1 + 0.2 * k.zoomIns, 1e-5);
    ASSERT_EQ(screen->subLocationId(), k.floor);
    const double f = double(k.floor);
    nav.route({{f, k.line[0], k.line[2]}, {f, k.line[1], k.line[2]}}, 10);
    screen->changeCoordinates();

    ASSERT_EQ(screen->venues().size(), 1u);
    EXPECT_NEAR(screen->venues()[0]->center().x, k.venue.x, 1e-3);
    EXPECT_NEAR(screen->venues()[0]->center().y, k.venue.y, 1e-3);
    ASSERT_TRUE(screen->routeLayer());
    const auto runs = screen->routeLayer()->path.subpaths();
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(runs[0].size(), 2u);
    for (size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(runs[0][j].x, k.ends[j].x, 1e-3);
      EXPECT_NEAR(runs[0][j].y, k.ends[j].y, 1e-3);
    }

    // Pixels with the viewport at content (0, 0): the shown floor's own image, the line and
    // the venue marker where zoom z puts their content places.
    screen->sv()->setContentOffset({0, 0});
    const auto image = platform::ui::renderView(*root);
    ExpectPixel(PixelAt(*image, 5, 200), Of(k.colour), "the shown floor's image");
    const double midX = (k.ends[0].x + k.ends[1].x) / 2 * z;
    ExpectPixel(PixelAt(*image, midX, k.ends[0].y * z - 0.5), blue, "the line");
    ExpectPixel(PixelAt(*image, midX, k.ends[0].y * z + 8), Of(k.colour), "beside the line");
    ExpectPixel(PixelAt(*image, k.venue.x * z, k.venue.y * z), orange, "the venue marker");
  }
}

TEST_F(ScreenFieldTest, AbsurdRadiiPositionsAndFloorSizesAreClampedOrSkipped) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  auto tiny = ThreeFloors();
  tiny->sublocations[0]->width = 1e-30f;
  auto tinier = ThreeFloors();
  tinier->sublocations[0]->width = 1e-40f;  // a metre beyond any finite number of points
  struct Case {
    const char* name;
    std::shared_ptr<MCLocation> location;
    float kx, r;
    double routeX;
    bool floorShown;
    double side;  // -1: the cover of the whole floor, 2 (400 + 568), over every pixel of it
  } cases[] = {
      {"infinite radius", ThreeFloors(), 0.5f, inf, 5, true, 0},
      {"radius 1e30", ThreeFloors(), 0.5f, 1e30f, 5, true, -1},
      {"radius not a number", ThreeFloors(), 0.5f, nan, 5, true, 0},
      {"negative radius", ThreeFloors(), 0.5f, -2, 5, true, 0},
      {"ordinary radius", ThreeFloors(), 0.5f, 2.5f, 5, true, 50},
      {"position at infinity", ThreeFloors(), inf, 2.5f, 5, true, 50},
      {"route point at infinity", ThreeFloors(), 0.5f, 2.5f, HUGE_VAL, true, 50},
      {"floor 1e-30 m wide", tiny, 0.5f, 2.5f, 5, true, -1},
      {"floor 1e-30 m wide, radius 1e30", tiny, 0.5f, 1e30f, 5, true, 0},
      {"floor 1e-40 m wide", tinier, 0.5f, 2.5f, 5, false, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    nav = FakeNavigation{};
    Open(k.location);
    EXPECT_EQ(screen->pixPerMeter() > 0, k.floorShown);
    nav.at(11, k.kx, 0.5f, k.r);
    nav.route({{11, 1, 1}, {11, k.routeX, 3}, {11, 5, 5}}, 10);
    screen->changeCoordinates();
    const double side = screen->current()->background->frame().size.width;
    EXPECT_NEAR(side, k.side < 0 ? 2 * (400 + 568) : k.side, 1e-3);
    if (k.floorShown && screen->routeLayer()) {  // the point nowhere breaks the line
      EXPECT_EQ(screen->routeLayer()->path.subpaths().size(), std::isfinite(k.routeX) ? 1u : 2u);
    }
    const auto image = screen->snapshot();
    ASSERT_TRUE(image);
    const Pixel floor = k.side < 0 ? Over({74 / 255.0, 173 / 255.0, 212 / 255.0}, 0.45, Of(kGrey)) : Of(kGrey);
    ExpectPixel(PixelAt(*image, 5, 5), k.floorShown ? floor : Pixel{255, 255, 255}, "the floor or the empty map");
  }
}

}  // namespace
