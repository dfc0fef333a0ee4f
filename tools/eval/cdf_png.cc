#include "eval/cdf_png.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "eval/walk_pictures.h"
#include "replay/replay_run.h"
#include "replay/track_png.h"

namespace eval {
namespace {

constexpr int kWidth = 960, kHeight = 540;
constexpr double kLeft = 70, kRight = 640, kTop = 62, kBottom = 480;  // the plot's frame
constexpr double kFont = 14;

}  // namespace

int WriteCdfPng(const std::string& title, const std::vector<CdfCurve>& curves, const std::string& path,
                std::string* error) {
  double xmax = 3;
  for (const CdfCurve& c : curves) xmax = std::max(xmax, std::ceil(replay::Quantile(c.errors, 0.95)));
  xmax = std::min(xmax, 20.0);
  const double step = xmax <= 6 ? 1 : xmax <= 12 ? 2 : 5;
  auto px = [&](double e) { return kLeft + (kRight - kLeft) * std::min(e, xmax) / xmax; };
  auto py = [&](double share) { return kBottom - (kBottom - kTop) * share; };

  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t* cr = cairo_create(out);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  replay::DrawLabel(cr, kLeft, 26, title, kFont * 1.2);

  // Grid and axes.
  cairo_set_line_width(cr, 1);
  char label[32];
  for (double e = 0; e <= xmax + 1e-9; e += step) {
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_move_to(cr, px(e), kTop);
    cairo_line_to(cr, px(e), kBottom);
    cairo_stroke(cr);
    std::snprintf(label, sizeof label, "%g", e);
    replay::DrawLabel(cr, px(e), kBottom + kFont * 1.4, label, kFont, true);
  }
  for (int q = 0; q <= 4; ++q) {
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_move_to(cr, kLeft, py(q / 4.0));
    cairo_line_to(cr, kRight, py(q / 4.0));
    cairo_stroke(cr);
    std::snprintf(label, sizeof label, "%d%%", q * 25);
    replay::DrawLabel(cr, kLeft - kFont * 3.2, py(q / 4.0) + kFont * 0.35, label, kFont);
  }
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, kLeft, kTop, kRight - kLeft, kBottom - kTop);
  cairo_stroke(cr);
  replay::DrawLabel(cr, (kLeft + kRight) / 2, kBottom + kFont * 3, "horizontal error (m)", kFont, true);
  replay::DrawLabel(cr, kLeft, kTop - 6, "share of ticks with at most that error", kFont * 0.9);

  // One step curve each, and its legend line.
  double ly = kTop + kFont;
  for (const CdfCurve& c : curves) {
    std::vector<double> e = c.errors;
    std::sort(e.begin(), e.end());
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
    cairo_set_line_width(cr, 2);
    const double dash[] = {7, 4};
    cairo_set_dash(cr, dash, c.dashed ? 2 : 0, 0);
    if (!e.empty()) {
      cairo_move_to(cr, px(0), py(0));
      for (size_t i = 0; i < e.size(); ++i) {
        cairo_line_to(cr, px(e[i]), py(static_cast<double>(i) / e.size()));
        cairo_line_to(cr, px(e[i]), py(static_cast<double>(i + 1) / e.size()));
      }
      if (e.back() < xmax) cairo_line_to(cr, px(xmax), py(1));
      cairo_stroke(cr);
    }
    cairo_move_to(cr, kRight + 20, ly - kFont * 0.35);
    cairo_line_to(cr, kRight + 60, ly - kFont * 0.35);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    std::snprintf(label, sizeof label, " (p75 %.2f m)", replay::Quantile(c.errors, 0.75));
    replay::DrawLabel(cr, kRight + 68, ly, c.label + label, kFont);
    ly += kFont * 1.8;
  }

  return replay::WritePng(cr, out, path, error);
}

// The error distributions of a set: its pooled rows when it has several
// kinds, else its one kind's.
int DrawSetCdfs(const std::vector<Row>& rows, const std::string& dir, std::vector<std::string>* written,
             std::string* error) {
  std::vector<std::string> groups;
  for (const Row& r : rows) {
    if (groups.empty() || groups.back() != r.group) groups.push_back(r.group);
  }
  for (const std::string& group : groups) {
    bool pooled = false;
    for (const Row& r : rows) pooled = pooled || (r.group == group && r.kind.rfind("all ", 0) == 0);
    std::vector<CdfCurve> curves;
    std::string what;
    for (const Row& r : rows) {
      if (r.group != group || (pooled && r.kind.rfind("all ", 0) != 0)) continue;
      what = r.kind;
      CdfCurve c;
      c.label = r.setting == "-" ? r.method : r.method + " " + r.setting;
      c.dashed = r.setting == "classic";
      c.errors = r.errors;
      if (r.method == "histogram") {
        c.r = 0.9, c.g = 0.5, c.b = 0.0;
      } else if (r.method == "GP") {
        c.r = 0.55, c.g = 0.2, c.b = 0.7;
      } else if (r.method == "3-NN") {
        c.r = c.g = c.b = 0.45;
      } else {
        c.r = 0.1, c.g = 0.35, c.b = 0.85;
      }
      curves.push_back(c);
    }
    const std::string file = dir + "/cdf-" + Slug(group) + ".png";
    if (WriteCdfPng(group + ", " + what + ": error distribution (dashed: classic)", curves, file, error) != 0) {
      return 1;
    }
    written->push_back(file);
  }
  return 0;
}

}  // namespace eval
