// One floor picture drawn in this process (MCFloorPage::render) beside the same picture
// drawn by the drawing program (MCFloorPageDrawer, a process per floor), warm: the
// program's files are in the page cache after the first iteration. The drawing program is
// the one this program finds from its own place, as the map screen of a host does.
//
// The floor is the default generated venue's first (60 x 30 m at 20 pixels a metre):
// its picture re-encoded as JPG (quality 0.9), and as an SVG plan of its rooms and walls
// with each room's name, so that the SVG draws text as a venue's plan does. Both draw at
// 1200 x 600 pixels; each run checks that both ways give the same pixels.
#include <benchmark/benchmark.h>

#include <cairo.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mapview/floor_page.h"
#include "mapview/floor_page_drawer.h"
#include "venuesim/floor_image.h"
#include "venuesim/generator.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Floor {
  Bytes svg, jpg;
};

const Floor& TheFloor() {
  static const Floor floor = [] {
    Floor f;
    venuesim::VenueSpec plan;
    venuesim::Venue venue;
    std::string error, png;
    if (venuesim::GenerateLayout(plan, &venue, &error) != 0 ||
        venuesim::RenderFloorImage(plan, venue.floors[0], &png, &error) != 0) {
      std::fprintf(stderr, "floor_draw_bench: %s\n", error.c_str());
      std::exit(1);
    }
    const auto image = platform::Image::imageWithData(Bytes(png.begin(), png.end()));
    f.jpg = image->jpegData(0.9);
    const double scale = venuesim::ImageScale(plan);
    const int w = image->pixelWidth(), h = image->pixelHeight();
    std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(w) + "' height='" +
                      std::to_string(h) + "'><rect width='100%' height='100%' fill='#f4f4f0'/>";
    char piece[512];
    for (const auto& r : venue.floors[0].rooms) {
      const double x = r.x0 * scale, y = h - r.y1 * scale, rw = (r.x1 - r.x0) * scale, rh = (r.y1 - r.y0) * scale;
      std::snprintf(piece, sizeof piece,
                    "<rect x='%.1f' y='%.1f' width='%.1f' height='%.1f' fill='%s'/>"
                    "<text x='%.1f' y='%.1f' font-family='sans-serif' font-size='14'>%s</text>",
                    x, y, rw, rh, r.corridor ? "#ffffff" : "#cfe3f5", x + 6, y + 18, r.name.c_str());
      svg += piece;
    }
    for (const auto& wall : venue.floors[0].walls) {
      std::snprintf(piece, sizeof piece, "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='black' stroke-width='%.1f'/>",
                    wall.a.x * scale, h - wall.a.y * scale, wall.b.x * scale, h - wall.b.y * scale, wall.thickness * scale);
      svg += piece;
    }
    svg += "</svg>";
    f.svg.assign(svg.begin(), svg.end());
    return f;
  }();
  return floor;
}

bool SamePixels(const MCFloorPage& a, const MCFloorPage& b) {
  if (!a.loaded || !b.loaded) return false;
  cairo_surface_t* sa = a.image->surface();
  cairo_surface_t* sb = b.image->surface();
  const int w = cairo_image_surface_get_width(sa), h = cairo_image_surface_get_height(sa);
  if (w != cairo_image_surface_get_width(sb) || h != cairo_image_surface_get_height(sb)) return false;
  cairo_surface_flush(sa), cairo_surface_flush(sb);
  for (int y = 0; y < h; ++y) {
    const uint8_t* ra = cairo_image_surface_get_data(sa) + y * cairo_image_surface_get_stride(sa);
    const uint8_t* rb = cairo_image_surface_get_data(sb) + y * cairo_image_surface_get_stride(sb);
    if (std::memcmp(ra, rb, size_t(w) * 4) != 0) return false;
  }
  return true;
}

void Draw(benchmark::State& state, const char* type, bool inProcess) {
  const Bytes& data = std::strcmp(type, "image/jpg") == 0 ? TheFloor().jpg : TheFloor().svg;
  const MCFloorPageDrawer drawer;
  const auto draw = [&] { return inProcess ? MCFloorPage::render(type, data) : drawer.render(type, data); };
  const MCFloorPage reference = MCFloorPage::render(type, data);
  if (!SamePixels(draw(), reference)) {
    state.SkipWithError("the drawing program's page differs from the one drawn here (or did not draw)");
    return;
  }
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  for (auto _ : state) benchmark::DoNotOptimize(draw());
  getrusage(RUSAGE_CHILDREN, &after);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  // The drawing programs' own processor time (user and system), which the real time holds
  // when the machine has a core free for them.
  if (!inProcess)
    state.counters["child_cpu_ms"] = benchmark::Counter(
        ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime),
        benchmark::Counter::kAvgIterations);
  state.counters["pixels"] = reference.image->pixelWidth() * reference.image->pixelHeight();
  state.counters["bytes"] = double(data.size());
}

void BM_InProcess_Svg(benchmark::State& s) { Draw(s, "image/svg+xml", true); }
void BM_DrawingProgram_Svg(benchmark::State& s) { Draw(s, "image/svg+xml", false); }
void BM_InProcess_Jpg(benchmark::State& s) { Draw(s, "image/jpg", true); }
void BM_DrawingProgram_Jpg(benchmark::State& s) { Draw(s, "image/jpg", false); }
BENCHMARK(BM_InProcess_Svg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawingProgram_Svg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InProcess_Jpg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawingProgram_Jpg)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
