// A map screen over made-up floors and a scripted navigation result: what it sends back
// (targets, cancels) is recorded. Floors are solid colours so that pixels can be probed.
#pragma once

#include <cairo.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "mapview/mc_location_view_controller.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "platform/ui_probe.h"
#include "platform/ui_render.h"

namespace screen_test {

struct Rgb {
  double r, g, b;
};

// A floor with an image of iw x ih pixels in `colour`, `width` x `height` metres.
inline std::shared_ptr<MCSublocation> Floor(int64_t id, int iw, int ih, float width, float height, Rgb colour) {
  auto f = std::make_shared<MCSublocation>();
  f->id = id;
  f->location = 7;
  f->width = width;
  f->height = height;
  if (iw > 0 && ih > 0) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, iw, ih);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    cairo_paint(cr);
    cairo_destroy(cr);
    f->image = platform::Image::imageWithSurface(s);
    cairo_surface_destroy(s);
  }
  return f;
}

// The screen's viewport is 320 x 568: floor 11's 200 x 284 image fills it at scale 2
// (content 400 x 568, 10 points per metre); floor 12's 320 x 320 at 1.775 (568 x 568,
// 28.4 per metre); floor 13's 160 x 568 at 2 (320 x 1136, 32 per metre).
inline const Rgb kGrey{0.8, 0.8, 0.8}, kSand{0.9, 0.85, 0.7}, kMint{0.7, 0.9, 0.8};

inline std::shared_ptr<MCLocation> ThreeFloors() {
  auto l = std::make_shared<MCLocation>();
  l->id = 7;
  l->sublocations = {Floor(11, 200, 284, 40, 56.8f, kGrey), Floor(12, 320, 320, 20, 20, kSand),
                     Floor(13, 160, 568, 10, 35.5f, kMint)};
  return l;
}

struct FakeNavigation {
  std::shared_ptr<MCDeviceInfo> info = std::make_shared<MCDeviceInfo>();
  std::vector<MCLocationPoint> targets;
  int cancels = 0;

  MCScreenNavigation navigation() {
    return {[this] { return std::shared_ptr<const MCDeviceInfo>(info); },
            [this](const MCLocationPoint& p) { targets.push_back(p); }, [this] { ++cancels; }};
  }
  // A result on `floor` at (kx, ky) with accuracy r and optionally one route.
  void at(int64_t floor, float kx, float ky, float r) {
    auto i = std::make_shared<MCDeviceInfo>(*info);
    i->sublocation = floor;
    i->kx = kx;
    i->ky = ky;
    i->r = r;
    info = i;
  }
  void route(std::vector<std::array<double, 3>> points, float length) {
    auto i = std::make_shared<MCDeviceInfo>(*info);
    auto p = std::make_shared<MCRoutePath>();
    for (const auto& q : points)
      p->points.push_back(MCLocationPoint::pointWithLocation(7, int64_t(q[0]), MCNumber(q[1]), MCNumber(q[2])));
    p->lenght = length;
    i->paths = {p};
    info = i;
  }
  void noRoute() {
    auto i = std::make_shared<MCDeviceInfo>(*info);
    i->paths.clear();
    info = i;
  }
};

struct Pixel {
  int r, g, b;
};

inline Pixel PixelAt(const platform::Image& image, double x, double y) {
  const auto p = ui_probe::PixelAt(image, x, y);
  return {p.r, p.g, p.b};
}

// `top` at `alpha` over `under`, in 0..255.
inline Pixel Over(Rgb top, double alpha, Pixel under) {
  auto mix = [alpha](double t, int u) { return int(std::lround(t * 255 * alpha + u * (1 - alpha))); };
  return {mix(top.r, under.r), mix(top.g, under.g), mix(top.b, under.b)};
}

inline Pixel Of(Rgb c) { return Over(c, 1, {0, 0, 0}); }

// A screen opened on the main thread under the manual clock, over a FakeNavigation.
class ScreenFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    platform::testing::useManualClock();
  }
  void TearDown() override {
    screen.reset();
    platform::testing::useRealClock();
  }
  void Open(std::shared_ptr<MCLocation> location) {
    screen = MCLocationViewController::create(nav.navigation());
    screen->setLocation(std::move(location));
    root = screen->view();
  }

  FakeNavigation nav;
  std::shared_ptr<MCLocationViewController> screen;
  std::shared_ptr<platform::ui::View> root;
};

}  // namespace screen_test
