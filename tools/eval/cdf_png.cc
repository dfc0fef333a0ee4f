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

constexpr int kWidth = 1000, kHeight = 540;
constexpr double kLeft = 70, kRight = 640, kTop = 62, kBottom = 480;  // the plot's frame
constexpr double kFont = 14;

std::string Shown(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%g", v);
  return s;
}

}  // namespace

double CdfAxisEnd(const std::vector<CdfCurve>& curves) {
  double end = 2;
  for (const CdfCurve& c : curves) {
    if (!c.errors.empty()) end = std::max(end, replay::Quantile(c.errors, c.dashed ? 0.75 : 0.95));
  }
  const double unit = end <= 10 ? 1 : end <= 20 ? 2 : 5;
  return unit * std::ceil(end / unit - 1e-9);
}

double ShareBeyond(const std::vector<double>& errors, double axisEnd) {
  if (errors.empty()) return 0;
  size_t beyond = 0;
  for (double e : errors) beyond += e > axisEnd ? 1 : 0;
  return static_cast<double>(beyond) / errors.size();
}

int WriteCdfPng(const std::string& title, const std::vector<CdfCurve>& curves, double axisEnd,
                const std::string& path, std::string* error) {
  const double xmax = axisEnd > 0 ? axisEnd : CdfAxisEnd(curves);
  const double step = xmax <= 6 ? 1 : xmax <= 12 ? 2 : xmax <= 30 ? 5 : 10;
  auto px = [&](double e) { return kLeft + (kRight - kLeft) * std::min(e, xmax) / xmax; };
  auto py = [&](double share) { return kBottom - (kBottom - kTop) * share; };

  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t* cr = cairo_create(out);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  // A long title shrinks to the picture's width.
  double titleSize = kFont * 1.2;
  {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, titleSize);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, title.c_str(), &ext);
    const double room = kWidth - kLeft - 10;
    if (ext.x_advance > room) titleSize = std::max(8.0, titleSize * room / ext.x_advance);
  }
  replay::DrawLabel(cr, kLeft, 26, title, titleSize);

  // Grid and axes.
  cairo_set_line_width(cr, 1);
  char label[64];
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

  // A triangle pointing out of the frame where a curve leaves it.
  auto cutMark = [&](double x, double y) {
    const double s = 7;
    cairo_move_to(cr, x, y - s);
    cairo_line_to(cr, x + s * 1.4, y);
    cairo_line_to(cr, x, y + s);
    cairo_close_path(cr);
    cairo_fill(cr);
  };

  // One step curve each, and its legend line.
  double ly = kTop + kFont;
  bool anyCut = false;
  for (const CdfCurve& c : curves) {
    std::vector<double> e = c.errors;
    std::sort(e.begin(), e.end());
    const double beyond = ShareBeyond(e, xmax);
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
    cairo_set_line_width(cr, 2);
    const double dash[] = {7, 4};
    cairo_set_dash(cr, dash, c.dashed ? 2 : 0, 0);
    if (!e.empty()) {
      cairo_move_to(cr, px(0), py(0));
      for (size_t i = 0; i < e.size() && e[i] <= xmax; ++i) {
        cairo_line_to(cr, px(e[i]), py(static_cast<double>(i) / e.size()));
        cairo_line_to(cr, px(e[i]), py(static_cast<double>(i + 1) / e.size()));
      }
      cairo_line_to(cr, px(xmax), py(1 - beyond));
      cairo_stroke(cr);
      cairo_set_dash(cr, nullptr, 0, 0);
      if (beyond > 0) cutMark(kRight, py(1 - beyond));
    }
    cairo_set_dash(cr, dash, c.dashed ? 2 : 0, 0);
    cairo_move_to(cr, kRight + 20, ly - kFont * 0.35);
    cairo_line_to(cr, kRight + 60, ly - kFont * 0.35);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    if (beyond > 0) {
      anyCut = true;
      std::snprintf(label, sizeof label, " (p75 %.2f m, %.0f%% cut)", replay::Quantile(c.errors, 0.75),
                    std::max(1.0, std::round(100 * beyond)));
    } else {
      std::snprintf(label, sizeof label, " (p75 %.2f m)", replay::Quantile(c.errors, 0.75));
    }
    replay::DrawLabel(cr, kRight + 68, ly, c.label + label, kFont * 0.9);
    ly += kFont * 1.8;
  }
  if (anyCut) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cutMark(kRight + 20, ly - kFont * 0.35);
    replay::DrawLabel(cr, kRight + 36, ly, "cut: the errors beyond " + Shown(xmax) + " m go on", kFont * 0.9);
  }

  return replay::WritePng(cr, out, path, error);
}

std::vector<CdfPlot> SetCdfPlots(const std::vector<Row>& rows, const std::map<std::string, std::string>& about) {
  std::vector<std::string> groups;
  for (const Row& r : rows) {
    if (groups.empty() || groups.back() != r.group) groups.push_back(r.group);
  }
  std::vector<CdfPlot> plots;
  for (const std::string& group : groups) {
    bool pooled = false;
    for (const Row& r : rows) pooled = pooled || (r.group == group && r.kind.rfind("all ", 0) == 0);
    CdfPlot plot;
    plot.group = group;
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
      plot.curves.push_back(c);
    }
    const auto note = about.find(group);
    plot.title = group + (note == about.end() || note->second.empty() ? "" : " (" + note->second + ")") + ", " +
                 what + ": error distribution (dashed: classic)";
    plots.push_back(plot);
  }
  // Sets meant to be compared (the generated venues' tuning and held-out
  // seeds; a recording against either survey) share their axis.
  auto family = [](const std::string& group) { return group.rfind("recording", 0) == 0; };
  for (CdfPlot& p : plots) {
    std::vector<CdfCurve> all;
    for (const CdfPlot& q : plots) {
      if (family(q.group) == family(p.group)) all.insert(all.end(), q.curves.begin(), q.curves.end());
    }
    p.axisEnd = CdfAxisEnd(all);
  }
  return plots;
}

int DrawSetCdfs(const std::vector<Row>& rows, const std::map<std::string, std::string>& about, const std::string& dir,
                std::vector<std::string>* written, std::string* error) {
  for (const CdfPlot& p : SetCdfPlots(rows, about)) {
    const std::string file = dir + "/cdf-" + Slug(p.group) + ".png";
    if (WriteCdfPng(p.title, p.curves, p.axisEnd, file, error) != 0) return 1;
    written->push_back(file);
  }
  return 0;
}

}  // namespace eval
