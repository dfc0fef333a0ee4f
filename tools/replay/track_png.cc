#include "replay/track_png.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/outputs.h"
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

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// The floor image of the archive, or null when there is none or it does not
// decode.
cairo_surface_t* LoadFloorImage(const std::vector<char>* png) {
  if (!png || png->empty()) return nullptr;
  PngSource src{png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(ReadPng, &src);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  return s;
}

// Floor metres to picture pixels; the floor's y axis points up the picture,
// whose plan starts `top` pixels down.
struct Frame {
  double scale = 1.0, height = 0.0, top = 0.0;
  double px(double x) const { return x * scale; }
  double py(double y) const { return top + (height - y) * scale; }
};

void Polyline(cairo_t* cr, const Frame& f, const PlanPath& path, double width) {
  const std::pair<double, double>* last = nullptr;
  cairo_set_source_rgba(cr, path.r, path.g, path.b, 0.85);
  cairo_set_line_width(cr, width);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  bool penDown = false;
  for (const auto& p : path.points) {
    if (std::isnan(p.first) || std::isnan(p.second)) {
      penDown = false;
      continue;
    }
    if (penDown) cairo_line_to(cr, f.px(p.first), f.py(p.second));
    else cairo_move_to(cr, f.px(p.first), f.py(p.second));
    penDown = true;
    last = &p;
  }
  cairo_stroke(cr);
  if (last == nullptr) return;
  cairo_arc(cr, f.px(last->first), f.py(last->second), 2.5 * width, 0, 2 * M_PI);
  cairo_fill(cr);
}

void StartRing(cairo_t* cr, double x, double y, double radius, double width) {
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, width);
  cairo_new_sub_path(cr);
  cairo_arc(cr, x, y, radius, 0, 2 * M_PI);
  cairo_stroke(cr);
}

// The longest of 1, 2, 5 times a power of ten metres not over `most`.
double ScaleLength(double most) {
  double best = 1.0;
  for (double decade = 0.1; decade <= 1e4; decade *= 10) {
    for (double m : {1.0, 2.0, 5.0}) {
      if (m * decade <= most) best = m * decade;
    }
  }
  return best;
}

}  // namespace

void AddPathSample(PlanPath& path, bool onFloor, double x, double y) {
  if (onFloor) {
    path.points.push_back({x, y});
  } else if (!path.points.empty() && !std::isnan(path.points.back().first)) {
    path.points.push_back({std::nan(""), std::nan("")});
  }
}

double DrawLabel(cairo_t* cr, double x, double baseline, const std::string& text, double size,
                 bool centred) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text.c_str(), &ext);
  cairo_move_to(cr, centred ? x - ext.x_advance / 2 : x, baseline);
  cairo_show_text(cr, text.c_str());
  return ext.x_advance;
}

int WritePng(cairo_t* cr, cairo_surface_t* surface, const std::string& path, std::string* error) {
  cairo_destroy(cr);
  // Encoded in memory first, so that a file that cannot be written whole is not left cut.
  std::string png;
  const cairo_status_t st = cairo_surface_write_to_png_stream(surface, AppendPng, &png);
  cairo_surface_destroy(surface);
  const std::string why = st != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(st) : cli::WriteWholeFile(path, png);
  if (why.empty()) return 0;
  if (error) *error = "cannot write " + path + ": " + why;
  return 1;
}

double PlanTextBand(int pictureWidth) { return std::ceil(std::clamp(pictureWidth / 45.0, 11.0, 22.0) * 1.8); }

std::string FloorTitle(int floorId, const std::string& name) {
  return "floor " + std::to_string(floorId) + (name.empty() ? "" : " \"" + name + "\"");
}

int WriteFloorPlanPng(const FloorPlan& plan, const std::string& path, std::string* error) {
  const double W = plan.widthMeters, H = plan.heightMeters;
  if (!(W > 0) || !(H > 0) || !std::isfinite(W) || !std::isfinite(H)) {
    if (error) *error = "cannot draw " + path + ": the floor has no size";
    return 1;
  }
  cairo_surface_t* image = LoadFloorImage(plan.floorPng);
  // The plan at the image's own scale, but wide enough for the legend and at
  // most 2000 pixels a side; 20 pixels a metre without an image.
  double scale = image ? cairo_image_surface_get_width(image) / W : 20.0;
  scale = std::max(scale, 600.0 / W);
  scale = std::min(scale, 2000.0 / std::max(W, H));
  const int w = std::max(1, static_cast<int>(std::lround(W * scale)));
  const int planH = std::max(1, static_cast<int>(std::lround(H * scale)));
  const double font = std::clamp(w / 45.0, 11.0, 22.0);
  const double band = PlanTextBand(w);
  const int h = planH + static_cast<int>(3 * band);  // title and legend above, scale bar below
  const Frame f{scale, H, 2 * band};

  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t* cr = cairo_create(out);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  if (image) {
    cairo_save(cr);
    cairo_translate(cr, 0, f.top);
    cairo_scale(cr, w / static_cast<double>(cairo_image_surface_get_width(image)),
                planH / static_cast<double>(cairo_image_surface_get_height(image)));
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint_with_alpha(cr, 0.6);
    cairo_restore(cr);
    cairo_surface_destroy(image);
  }
  const double line = std::max(1.5, std::min(w, planH) / 300.0);
  for (const PlanPath& p : plan.paths) Polyline(cr, f, p, line * p.width);
  if (plan.hasStart) StartRing(cr, f.px(plan.startX), f.py(plan.startY), 4 * line, line);

  // Title, then the legend: a stroke of each path's colour and its label.
  // A long title (the evaluation's names the venue, seed and method) shrinks to the width.
  double titleSize = font * 1.1;
  {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, titleSize);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, plan.title.c_str(), &ext);
    if (ext.x_advance > w - font) titleSize = std::max(7.0, titleSize * (w - font) / ext.x_advance);
  }
  DrawLabel(cr, font * 0.5, band * 0.75, plan.title, titleSize);
  double x = font * 0.5;
  const double y = band * 1.5;
  for (const PlanPath& p : plan.paths) {
    if (p.label.empty()) continue;
    cairo_set_source_rgb(cr, p.r, p.g, p.b);
    cairo_set_line_width(cr, std::max(2.0, line * p.width));
    cairo_move_to(cr, x, y - font * 0.35);
    cairo_line_to(cr, x + font * 1.6, y - font * 0.35);
    cairo_stroke(cr);
    x += font * 2.0;
    x += DrawLabel(cr, x, y, p.label, font) + font;
  }
  if (plan.hasStart) {
    StartRing(cr, x + font * 0.5, y - font * 0.35, font * 0.4, std::max(1.5, line));
    x += font * 1.3;
    DrawLabel(cr, x, y, "start", font);
  }

  // The scale bar under the plan.
  const double meters = ScaleLength(W / 4);
  const double bx = font * 0.5, by = f.top + planH + band * 0.55, len = meters * scale;
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 2);
  cairo_move_to(cr, bx, by - font * 0.3);
  cairo_line_to(cr, bx, by);
  cairo_line_to(cr, bx + len, by);
  cairo_line_to(cr, bx + len, by - font * 0.3);
  cairo_stroke(cr);
  char label[32];
  std::snprintf(label, sizeof label, "%g m", meters);
  DrawLabel(cr, bx + len + font * 0.5, by + font * 0.35, label, font);

  return WritePng(cr, out, path, error);
}

int DrawFloorPictures(const NavigationMap& map, const ReplayReport& report, const std::string& dir,
                      std::vector<std::string>* written, std::string* error) {
  // The walk starts at its first true place, or else at its first output.
  const ReplayTick* start = nullptr;
  for (const ReplayTick& t : report.ticks) {
    if (t.hasTruth) {
      start = &t;
      break;
    }
  }
  const bool startIsTruth = start != nullptr;
  if (!start) {
    for (const ReplayTick& t : report.ticks) {
      if (t.floorId >= 0) {
        start = &t;
        break;
      }
    }
  }
  for (const SublocationMap& floor : map.getSublocationsVector()) {
    FloorPlan plan;
    plan.widthMeters = floor.getProperties().width_meters;
    plan.heightMeters = floor.getProperties().height_meters;
    if (!(plan.widthMeters > 0) || !(plan.heightMeters > 0)) continue;
    plan.title = FloorTitle(floor.getId(), floor.getName());
    plan.floorPng = &floor.getImages().getPngData();
    for (const RoutePath& route : report.routes) {
      PlanPath p{"route", 0.1, 0.3, 0.9, 1.5, {}};
      for (const LocationPoint& pt : route.points) {
        if (pt.subLoc == floor.getId()) p.points.push_back({pt.x, pt.y});
      }
      // One legend entry for all routes.
      if (!plan.paths.empty()) p.label.clear();
      if (!p.points.empty()) plan.paths.push_back(std::move(p));
    }
    PlanPath truth{"true path", 0.0, 0.6, 0.1, 1.0, {}};
    PlanPath estimate{"estimate", 0.85, 0.1, 0.1, 1.0, {}};
    for (const ReplayTick& t : report.ticks) {
      if (t.hasTruth) AddPathSample(truth, t.truthFloorId == floor.getId(), t.truthX, t.truthY);
      AddPathSample(estimate, t.floorId == floor.getId(), t.x, t.y);
    }
    plan.paths.push_back(std::move(truth));
    plan.paths.push_back(std::move(estimate));
    if (start) {
      const int id = startIsTruth ? start->truthFloorId : start->floorId;
      if (id == floor.getId()) {
        plan.hasStart = true;
        plan.startX = startIsTruth ? start->truthX : start->x;
        plan.startY = startIsTruth ? start->truthY : start->y;
      }
    }
    const std::string name = dir + "/floor" + std::to_string(floor.getId()) + ".png";
    if (WriteFloorPlanPng(plan, name, error) != 0) return 1;
    written->push_back(name);
  }
  return 0;
}

}  // namespace replay
