// The floor plan picture shared by the replay, the demos and the evaluation:
// the path where it belongs, the start ringed, the legend in the path's
// colour, and a scale bar as long as its label says.
#include "replay/track_png.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>

#include "tools/venuesim/venue_test_util.h"

// Text goes through fontconfig, whose caches live until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

struct Image {
  cairo_surface_t* s = nullptr;
  int w = 0, h = 0, stride = 0;
  const unsigned char* px = nullptr;
  explicit Image(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {
    cairo_surface_flush(s);
    w = cairo_image_surface_get_width(s);
    h = cairo_image_surface_get_height(s);
    stride = cairo_image_surface_get_stride(s);
    px = cairo_image_surface_get_data(s);
  }
  ~Image() { cairo_surface_destroy(s); }
  void rgb(int x, int y, int* r, int* g, int* b) const {
    const uint32_t v = *reinterpret_cast<const uint32_t*>(px + y * stride + x * 4);
    *r = (v >> 16) & 0xff, *g = (v >> 8) & 0xff, *b = v & 0xff;
  }
  bool dark(int x, int y) const {
    int r, g, b;
    rgb(x, y, &r, &g, &b);
    return r < 80 && g < 80 && b < 80;
  }
  bool green(int x, int y) const {
    int r, g, b;
    rgb(x, y, &r, &g, &b);
    return g > r + 40 && g > b + 40;
  }
};

TEST(TrackPng, PlanWithLegendStartAndScaleBar) {
  venuesim_test::TempDir dir;
  const struct {
    double width, height, barMetres;
  } cases[] = {{20, 10, 5}, {60, 30, 10}, {200, 20, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    replay::FloorPlan plan;
    plan.title = replay::FloorTitle(3, "Mezzanine");
    plan.widthMeters = c.width;
    plan.heightMeters = c.height;
    plan.paths.push_back({"true path", 0.0, 0.6, 0.1, 1.0, {{0.1 * c.width, c.height / 2}, {0.9 * c.width, c.height / 2}}});
    plan.hasStart = true;
    plan.startX = 0.1 * c.width;
    plan.startY = c.height / 2;
    const std::string file = dir.file("plan.png");
    std::string error;
    ASSERT_EQ(replay::WriteFloorPlanPng(plan, file, &error), 0) << error;
    const Image img(file);
    ASSERT_EQ(cairo_surface_status(img.s), CAIRO_STATUS_SUCCESS);
    const double scale = img.w / c.width, band = replay::PlanTextBand(img.w), top = 2 * band;
    const int planBottom = static_cast<int>(top + c.height * scale);
    EXPECT_EQ(img.h, planBottom + static_cast<int>(band));
    // The path across the middle of the floor.
    const int row = static_cast<int>(top + c.height / 2 * scale);
    EXPECT_TRUE(img.green(img.w / 2, row));
    // The ring around the start: dark pixels near it, none near the path's middle.
    auto darkAround = [&](int cx) {
      int n = 0;
      for (int y = row - 12; y <= row + 12; ++y)
        for (int x = cx - 12; x <= cx + 12; ++x) n += img.dark(x, y);
      return n;
    };
    EXPECT_GT(darkAround(static_cast<int>(0.1 * c.width * scale)), 5);
    EXPECT_EQ(darkAround(img.w / 2), 0);
    // The legend's stroke in the path's colour, under the title.
    int legendGreen = 0;
    for (int y = static_cast<int>(band); y < static_cast<int>(top); ++y)
      for (int x = 0; x < img.w / 3; ++x) legendGreen += img.green(x, y);
    EXPECT_GT(legendGreen, 10);
    // The scale bar: the longest dark run under the plan is barMetres long.
    int longest = 0;
    for (int y = planBottom; y < img.h; ++y) {
      int run = 0;
      for (int x = 0; x < img.w; ++x) {
        run = img.dark(x, y) ? run + 1 : 0;
        longest = std::max(longest, run);
      }
    }
    EXPECT_NEAR(longest, c.barMetres * scale, 3.0);
  }
}

TEST(TrackPng, RefusesWhatItCannotDraw) {
  venuesim_test::TempDir dir;
  replay::FloorPlan plan;
  std::string error;
  plan.widthMeters = 0;
  plan.heightMeters = 10;
  EXPECT_EQ(replay::WriteFloorPlanPng(plan, dir.file("a.png"), &error), 1);
  EXPECT_FALSE(error.empty());
  plan.widthMeters = NAN;
  EXPECT_EQ(replay::WriteFloorPlanPng(plan, dir.file("a.png"), &error), 1);
  plan.widthMeters = 10;
  error.clear();
  EXPECT_EQ(replay::WriteFloorPlanPng(plan, dir.file("no/such/dir/a.png"), &error), 1);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(replay::FloorTitle(2, ""), "floor 2");
  EXPECT_EQ(replay::FloorTitle(2, "Lobby"), "floor 2 \"Lobby\"");
}

}  // namespace

// A walk that leaves the floor and comes back is two pieces on it, not one
// line jumping across the floor.
TEST(TrackPng, AWalkOffTheFloorLiftsThePen) {
  venuesim_test::TempDir dir;
  replay::FloorPlan plan;
  plan.title = replay::FloorTitle(1, "");
  plan.widthMeters = 40;
  plan.heightMeters = 20;
  replay::PlanPath path{"true path", 0.0, 0.6, 0.1, 1.0, {}};
  const struct {
    bool onFloor;
    double x;
  } samples[] = {{true, 4}, {true, 10}, {false, 20}, {false, 25}, {true, 30}, {true, 36}};
  for (const auto& s : samples) replay::AddPathSample(path, s.onFloor, s.x, 10);
  plan.paths.push_back(path);
  const std::string file = dir.file("plan.png");
  std::string error;
  ASSERT_EQ(replay::WriteFloorPlanPng(plan, file, &error), 0) << error;
  const Image img(file);
  const double scale = img.w / plan.widthMeters, top = 2 * replay::PlanTextBand(img.w);
  const int row = static_cast<int>(top + 10 * scale);
  EXPECT_TRUE(img.green(static_cast<int>(7 * scale), row));
  EXPECT_TRUE(img.green(static_cast<int>(33 * scale), row));
  EXPECT_FALSE(img.green(static_cast<int>(20 * scale), row));
}
