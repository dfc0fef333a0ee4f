#include "replay/track_png.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "wifipos/navigation_map/navigation_map.h"

namespace replay {
namespace {

struct PngSource {
  const std::vector<char>* data;
  size_t pos;
};

cairo_status_t ReadPng(void* closure, unsigned char* out, unsigned int length) {
  auto* src = static_cast<PngSource*>(closure);
  if (src->pos + length > src->data->size()) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, src->data->data() + src->pos, length);
  src->pos += length;
  return CAIRO_STATUS_SUCCESS;
}

// The floor image of the archive, or null when there is none or it does not
// decode.
cairo_surface_t* LoadFloorImage(const std::vector<char>& png) {
  if (png.empty()) return nullptr;
  PngSource src{&png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(ReadPng, &src);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  return s;
}

// Floor metres to picture pixels; the floor's y axis points up the picture.
struct Frame {
  double sx = 1.0, sy = 1.0, height = 0.0;
  double px(double x) const { return x * sx; }
  double py(double y) const { return (height - y) * sy; }
};

void Polyline(cairo_t* cr, const Frame& f, const std::vector<std::pair<double, double>>& pts, double r, double g,
              double b, double width) {
  if (pts.empty()) return;
  cairo_set_source_rgba(cr, r, g, b, 0.85);
  cairo_set_line_width(cr, width);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_move_to(cr, f.px(pts[0].first), f.py(pts[0].second));
  for (const auto& p : pts) cairo_line_to(cr, f.px(p.first), f.py(p.second));
  cairo_stroke(cr);
  cairo_arc(cr, f.px(pts.back().first), f.py(pts.back().second), 2.5 * width, 0, 2 * M_PI);
  cairo_fill(cr);
}

}  // namespace

int DrawFloorPictures(const NavigationMap& map, const ReplayReport& report, const std::string& dir,
                      std::vector<std::string>* written, std::string* error) {
  for (const SublocationMap& floor : map.getSublocationsVector()) {
    const double W = floor.getProperties().width_meters, H = floor.getProperties().height_meters;
    if (!(W > 0) || !(H > 0)) continue;
    cairo_surface_t* image = LoadFloorImage(floor.getImages().getPngData());
    // Without an image: 20 pixels a metre, at most 2000 pixels a side.
    const double fallback = std::min(20.0, 2000.0 / std::max(W, H));
    const int w = image ? cairo_image_surface_get_width(image) : std::max(1, static_cast<int>(std::lround(W * fallback)));
    const int h = image ? cairo_image_surface_get_height(image) : std::max(1, static_cast<int>(std::lround(H * fallback)));
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    if (image) {
      cairo_set_source_surface(cr, image, 0, 0);
      cairo_paint_with_alpha(cr, 0.6);
      cairo_surface_destroy(image);
    }
    const Frame f{w / W, h / H, H};
    const double line = std::max(1.5, std::min(w, h) / 300.0);
    std::vector<std::pair<double, double>> truth, estimate;
    for (const ReplayTick& t : report.ticks) {
      if (t.hasTruth && t.truthFloorId == floor.getId()) truth.push_back({t.truthX, t.truthY});
      if (t.floorId == floor.getId()) estimate.push_back({t.x, t.y});
    }
    for (const RoutePath& route : report.routes) {
      std::vector<std::pair<double, double>> pts;
      for (const LocationPoint& p : route.points) {
        if (p.subLoc == floor.getId()) pts.push_back({p.x, p.y});
      }
      Polyline(cr, f, pts, 0.1, 0.3, 0.9, line * 1.5);
    }
    Polyline(cr, f, truth, 0.0, 0.6, 0.1, line);
    Polyline(cr, f, estimate, 0.85, 0.1, 0.1, line);
    cairo_destroy(cr);
    const std::string name = dir + "/floor" + std::to_string(floor.getId()) + ".png";
    const cairo_status_t st = cairo_surface_write_to_png(out, name.c_str());
    cairo_surface_destroy(out);
    if (st != CAIRO_STATUS_SUCCESS) {
      if (error) *error = "cannot write " + name + ": " + cairo_status_to_string(st);
      return 1;
    }
    written->push_back(name);
  }
  return 0;
}

}  // namespace replay
