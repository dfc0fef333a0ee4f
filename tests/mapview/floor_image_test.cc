#include "mapview/mc_map_view_manager.h"

#include <gtest/gtest.h>

#include <cairo.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Pictures {
  Bytes png, jpg, svg, svgViewBox;
  Pictures() {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 40, 30);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.2, 0.5, 0.8);
    cairo_paint(cr);
    cairo_destroy(cr);
    auto image = platform::Image::imageWithSurface(s);
    cairo_surface_destroy(s);
    png = image->pngData();
    jpg = image->jpegData(0.9);
    svg = Text("<svg xmlns='http://www.w3.org/2000/svg' width='64' height='48'>"
               "<rect x='4' y='4' width='20' height='10' fill='red'/></svg>");
    svgViewBox = Text("<svg xmlns='http://www.w3.org/2000/svg' width='100%' viewBox='0 0 120 60'>"
                      "<circle cx='30' cy='30' r='20'/></svg>");
  }
};

TEST(MapViewManagerTest, FloorsRenderAtTheirPicturesSize) {
  const Pictures p;
  const Bytes broken = Text("\x89PNG not really");
  struct Case {
    const char* name;
    std::optional<Bytes> png, svg, jpg;
    int width, height;  // 0: no image
    const char* page;   // mime type of the page made, null: the page is left as it was
  } cases[] = {
      {"png", p.png, {}, {}, 40, 30, nullptr},
      {"svg", {}, p.svg, {}, 64, 48, "image/svg+xml"},
      {"svg view box", {}, p.svgViewBox, {}, 120, 60, "image/svg+xml"},
      {"jpg", {}, {}, p.jpg, 40, 30, "image/jpg"},
      {"png before svg", p.png, p.svg, {}, 40, 30, nullptr},
      {"svg before jpg", {}, p.svg, p.jpg, 64, 48, "image/svg+xml"},
      {"broken png", broken, p.svg, {}, 0, 0, nullptr},
      {"broken svg", {}, Text("<svg"), {}, 10, 10, "image/svg+xml"},
      {"broken jpg", {}, {}, Text("\xFF\xD8\xFF junk"), 10, 10, "image/jpg"},
      {"nothing", {}, {}, {}, 10, 10, ""},
  };
  MCMapViewManager manager;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MCSublocation floor;
    floor.pngImage = k.png;
    floor.svgImage = k.svg;
    floor.jpgImage = k.jpg;
    const auto before = manager.webView();
    manager.loadSublocationImage(floor);
    const auto image = manager.image();
    ASSERT_EQ(image != nullptr, k.width > 0);
    if (image) {
      EXPECT_EQ(image->pixelWidth(), k.width);
      EXPECT_EQ(image->pixelHeight(), k.height);
    }
    if (k.page) {
      ASSERT_NE(manager.webView(), before);
      EXPECT_EQ(manager.webView()->mimeType, k.page);
      EXPECT_EQ(manager.webView()->loaded, k.width > 10);
    } else {
      EXPECT_EQ(manager.webView(), before);
    }
  }
}

TEST(MapViewManagerTest, MutatedPicturesNeverCrash) {
  const Pictures p;
  std::mt19937 rng(1207);
  const Bytes* sources[] = {&p.png, &p.svg, &p.jpg, &p.svgViewBox};
  MCMapViewManager manager;
  for (int i = 0; i < 3000; ++i) {
    Bytes b = *sources[i % 4];
    for (int e = 1 + int(rng() % 6); e > 0; --e) {
      const size_t at = rng() % b.size();
      if (rng() % 2) {
        b[at] = uint8_t(rng());
      } else {
        b.resize(at + 1);
      }
    }
    MCSublocation floor;
    if (i % 4 == 0) floor.pngImage = b;
    if (i % 4 == 1 || i % 4 == 3) floor.svgImage = b;
    if (i % 4 == 2) floor.jpgImage = b;
    manager.loadSublocationImage(floor);
    if (i % 4) {
      ASSERT_TRUE(manager.image());
    }
  }
}


// Pages too large to draw at their own size are drawn scaled down to the page bound, with
// their shape kept; the screen scales every floor to fit anyway.
TEST(MapViewManagerTest, LargePagesAreDrawnWithinThePixelBound) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4000, 3000);
  auto big = platform::Image::imageWithSurface(s);
  cairo_surface_destroy(s);
  struct Case {
    const char* name;
    std::optional<Bytes> svg, jpg;
    int width, height;  // expected within a pixel
  } cases[] = {
      {"svg 8000 x 8000", Text("<svg xmlns='http://www.w3.org/2000/svg' width='8000' height='8000'>"
                               "<rect width='8000' height='8000' fill='red'/></svg>"), {}, 2048, 2048},
      {"svg 40000 x 10", Text("<svg xmlns='http://www.w3.org/2000/svg' width='40000' height='10'>"
                              "<rect width='40000' height='10'/></svg>"), {}, 32767, 8},
      {"jpg 4000 x 3000, decoded at half", {}, big->jpegData(0.5), 2000, 1500},
  };
  MCMapViewManager manager;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MCSublocation floor;
    floor.svgImage = k.svg;
    floor.jpgImage = k.jpg;
    manager.loadSublocationImage(floor);
    const auto image = manager.image();
    ASSERT_TRUE(image);
    EXPECT_TRUE(manager.webView()->loaded);
    EXPECT_LE(int64_t(image->pixelWidth()) * image->pixelHeight(), MCFloorPage::kMaxPixels);
    EXPECT_NEAR(image->pixelWidth(), k.width, 1);
    EXPECT_NEAR(image->pixelHeight(), k.height, 1);
  }
}

// A page still being drawn when the time limit passes: the floor gets the empty page at the
// limit, the next floor waits for that drawing only as long as its own limit, and once the
// drawing has ended floors draw again.
TEST(MapViewManagerTest, PagesNotDrawnWithinTheTimeLimitGiveTheEmptyPage) {
  const Pictures p;
  struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int draws = 0;
  };
  auto gate = std::make_shared<Gate>();
  auto draw = [gate](std::string type, Bytes data) {
    std::unique_lock lock(gate->mutex);
    ++gate->draws;
    // Held until the test opens the gate (at the latest after 20 s, so that a screen that
    // waits without a limit fails rather than hangs).
    gate->cv.wait_for(lock, std::chrono::seconds(20), [&] { return gate->open; });
    lock.unlock();
    return MCFloorPage::render(std::move(type), std::move(data));
  };
  MCMapViewManager manager(draw);
  struct Step {
    const char* name;
    bool openBefore;
    int draws;  // drawings started so far
    bool loaded;
  } steps[] = {
      {"held drawing", false, 1, false},
      {"next floor behind the held drawing", false, 1, false},
      {"gate open: drawn", true, 2, true},
  };
  for (const Step& k : steps) {
    SCOPED_TRACE(k.name);
    if (k.openBefore) {
      std::lock_guard lock(gate->mutex);
      gate->open = true;
      gate->cv.notify_all();
    }
    MCSublocation floor;
    floor.svgImage = p.svg;
    manager.loadSublocationImage(floor);
    const auto page = manager.webView();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->loaded, k.loaded);
    EXPECT_EQ(page->mimeType, "image/svg+xml");
    EXPECT_EQ(page->data, p.svg);
    EXPECT_EQ(manager.image()->pixelWidth(), k.loaded ? 64 : MCFloorPage::kEmptyPageSize);
    std::lock_guard lock(gate->mutex);
    EXPECT_EQ(gate->draws, k.draws);
  }
}

}  // namespace
