#include "mapview/mc_map_view_manager.h"

#include <gtest/gtest.h>

#include <cairo.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/peers.h"

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
  MCMapViewManager manager(FLOOR_DRAW);
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
      // The drawing program's page is the drawing's own, pixel for pixel.
      EXPECT_EQ(image->pngData(), MCFloorPage::render(k.page, manager.webView()->data).image->pngData());
    } else {
      EXPECT_EQ(manager.webView(), before);
    }
  }
}

// The SVG and JPG pictures are drawn in this process, not by the drawing program, so that a
// crash or a sanitizer's finding in the drawing shows instead of an empty page.
TEST(MapViewManagerTest, MutatedPicturesNeverCrash) {
  const Pictures p;
  std::mt19937 rng(1207);
  const Bytes* sources[] = {&p.png, &p.svg, &p.jpg, &p.svgViewBox};
  MCMapViewManager manager(FLOOR_DRAW);
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
    if (i % 4 == 0) {
      MCSublocation floor;
      floor.pngImage = b;
      manager.loadSublocationImage(floor);
    } else {
      ASSERT_TRUE(MCFloorPage::render(i % 4 == 2 ? "image/jpg" : "image/svg+xml", b).image);
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
  MCMapViewManager manager(FLOOR_DRAW);
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

// Twenty circles over a page of 8000 x 8000, each dilated and blurred across the whole
// page: even at the pixel bound its drawing takes minutes.
Bytes SlowSvg() {
  std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='8000' height='8000'>"
                    "<filter id='f' filterUnits='userSpaceOnUse' x='0' y='0' width='8000' height='8000'>"
                    "<feMorphology operator='dilate' radius='50'/><feGaussianBlur stdDeviation='400'/>"
                    "</filter>";
  for (int i = 0; i < 20; ++i) {
    const std::string at = std::to_string(400 + 360 * i);
    svg += "<circle cx='" + at + "' cy='" + at + "' r='300' filter='url(#f)'/>";
  }
  return Text(svg + "</svg>");
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A picture not drawn within the time limit gives the empty page, and its drawing ends
// there: the next floors are drawn and the renderer goes at once. The scenario runs in a
// child process that an alarm ends, so that a drawing left running fails the test rather
// than holding the suite for minutes.
TEST(MapViewManagerTest, APictureNotDrawnWithinTheTimeLimitIsAbandoned) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Pictures p;
  const auto scenario = [&] {
    alarm(30);
    int faults = 0;
    const auto expect = [&](bool holds, const std::string& what) {
      if (!holds) std::fprintf(stderr, "fault: %s\n", what.c_str()), ++faults;
    };
    auto manager = std::make_unique<MCMapViewManager>(FLOOR_DRAW);
    MCSublocation slow;
    slow.svgImage = SlowSvg();
    auto start = std::chrono::steady_clock::now();
    manager->loadSublocationImage(slow);
    expect(!manager->webView()->loaded && manager->image()->pixelWidth() == MCFloorPage::kEmptyPageSize,
           "the slow picture gives the empty page");
    expect(SecondsSince(start) < MCFloorPage::kTimeLimit + 1, "the slow picture is given up at the limit");
    struct Plain {
      const char* name;
      std::optional<Bytes> svg, jpg;
      int width;
    } plain[] = {{"svg", p.svg, {}, 64}, {"jpg", {}, p.jpg, 40}};
    for (const Plain& k : plain) {
      MCSublocation floor;
      floor.svgImage = k.svg;
      floor.jpgImage = k.jpg;
      manager->loadSublocationImage(floor);
      expect(manager->webView()->loaded && manager->image()->pixelWidth() == k.width,
             std::string("the plain ") + k.name + " floor after it is drawn");
    }
    start = std::chrono::steady_clock::now();
    manager.reset();
    expect(SecondsSince(start) < 1, "the renderer goes within a second");
    std::exit(faults == 0 ? 0 : 1);
  };
  EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "");
}

// A drawing program that cannot start, dies, answers amiss or stalls gives the empty page
// within the time limit, and the floor after it is drawn.
TEST(MapViewManagerTest, DrawingProgramsThatFailGiveTheEmptyPage) {
  const Pictures p;
  const peers::TempDir dir("floor-draw");
  struct Case {
    const char* name;
    const char* script;  // null: no program there
  } cases[] = {
      {"missing", nullptr},
      {"killed", "kill -SEGV $$"},
      {"answers nothing", "exit 0"},
      {"answers no page", "echo not a page"},
      {"a page larger than the bound", "printf 'MVFLOOR1\\001\\0\\0\\0\\377\\177\\0\\0\\377\\177\\0\\0\\0\\0\\0\\0'"},
      {"a cut page", "printf 'MVFLOOR1\\001\\0\\0\\0\\002\\0\\0\\0\\002\\0\\0\\0\\0\\0\\0\\0pixe'"},
      {"stalls", "exec sleep 60"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string program = dir.file(std::string(k.name) + ".sh");
    if (k.script) {
      std::ofstream(program) << "#!/bin/sh\n" << k.script << "\n";
      std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    }
    MCMapViewManager broken(program);
    MCSublocation floor;
    floor.svgImage = p.svg;
    const auto start = std::chrono::steady_clock::now();
    broken.loadSublocationImage(floor);
    EXPECT_LT(SecondsSince(start), MCFloorPage::kTimeLimit + 1);
    EXPECT_FALSE(broken.webView()->loaded);
    EXPECT_EQ(broken.webView()->data, p.svg);
    EXPECT_EQ(broken.image()->pixelWidth(), MCFloorPage::kEmptyPageSize);
  }
}

// A program built in the tree that names no drawing program finds the one of the tree, as an
// installed program finds the installed one. Where it has none, or one that fails, each SVG
// and JPG floor is the empty page and stderr says why, once for the whole run.
TEST(MapViewManagerTest, AHostFindsTheDrawingProgramFromItsPlace) {
  const Pictures p;
  const peers::TempDir dir("floor-host");
  peers::writeFile(dir.path() / "floor.svg", std::string(p.svg.begin(), p.svg.end()));
  peers::writeFile(dir.path() / "floor.jpg", std::string(p.jpg.begin(), p.jpg.end()));
  const std::string empty = "empty 10x10 painted 0\n";
  struct Case {
    const char* name;
    const char* program;  // null: the host where it was built; else a copy of it with this
                          // drawing program beside it ("": none)
    std::string floors;   // the host's line per floor
    const char* told;     // what stderr says, null: nothing
  } cases[] = {
      {"in the build tree", nullptr, "drawn 64x48 painted 200\ndrawn 40x30 painted 1200\n", nullptr},
      {"without a drawing program", "", empty + empty, "No such file or directory"},
      {"with one that fails", "#!/bin/sh\nexit 3\n", empty + empty, "ended with exit status 3"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string host = FLOOR_HOST;
    if (k.program) {
      if (!*k.program && std::filesystem::exists(FLOOR_DRAW_INSTALLED)) {
        std::printf("skipped \"%s\": a kit is installed at %s\n", k.name, FLOOR_DRAW_INSTALLED);
        continue;
      }
      const auto root = dir.path() / k.name;
      std::filesystem::create_directories(root / "bin");
      host = (root / "bin" / "floor_host").string();
      std::filesystem::copy_file(FLOOR_HOST, host);
      if (*k.program) {
        const auto program = root / "libexec" / "marvisto" / "marvisto-floor-draw";
        std::filesystem::create_directories(program.parent_path());
        peers::writeFile(program, k.program);
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
      }
    }
    const auto out = dir.path() / "out", errFile = dir.path() / "err";
    ASSERT_EQ(peers::run("('" + host + "' '" + dir.file("floor.svg") + "' '" + dir.file("floor.jpg") + "' >'" +
                         out.string() + "' 2>'" + errFile.string() + "')"),
              0);
    EXPECT_EQ(peers::readFile(out), k.floors);
    // The kit's lines only: a sanitizer build may add its own.
    std::istringstream err(peers::readFile(errFile));
    std::vector<std::string> told;
    for (std::string line; std::getline(err, line);) {
      if (line.starts_with("marvisto: ")) told.push_back(line);
    }
    if (!k.told) {
      EXPECT_TRUE(told.empty()) << told.front();
      continue;
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].starts_with("marvisto: SVG and JPG floors show an empty page: ")) << told[0];
    EXPECT_NE(told[0].find(k.told), std::string::npos) << told[0];
  }
}

}  // namespace
