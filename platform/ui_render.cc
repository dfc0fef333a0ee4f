#include "platform/ui_render.h"

#include <cairo.h>

#include <cmath>
#include <fstream>

namespace platform::ui {
namespace {

// cairo keeps device coordinates in 24.8 fixed point, and the segments of an arc grow with its
// radius: geometry farther out than this from the surface's origin cannot be drawn faithfully
// (a radius of 1e30 takes minutes, an infinite one never ends), and non-finite geometry not at
// all. Such a view's own drawing is skipped; a view placed by a non-finite or singular
// transform is skipped with its subtree.
constexpr double kMaxDeviceExtent = 1 << 22;

bool finite(const Transform& t) {
  const double det = t.a * t.d - t.b * t.c;
  return std::isfinite(t.tx) && std::isfinite(t.ty) && std::isfinite(det) && det != 0;
}

bool drawablePoint(cairo_t* cr, Point p) {
  double x = p.x, y = p.y;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  cairo_user_to_device(cr, &x, &y);
  return std::isfinite(x) && std::isfinite(y) && std::abs(x) <= kMaxDeviceExtent &&
         std::abs(y) <= kMaxDeviceExtent;
}

bool drawableRect(cairo_t* cr, Rect r) {
  return drawablePoint(cr, {r.minX(), r.minY()}) && drawablePoint(cr, {r.maxX(), r.minY()}) &&
         drawablePoint(cr, {r.minX(), r.maxY()}) && drawablePoint(cr, {r.maxX(), r.maxY()});
}

bool drawableLayer(cairo_t* cr, const ShapeLayer& layer) {
  if (!std::isfinite(layer.lineWidth) || std::abs(layer.lineWidth) > kMaxDeviceExtent) return false;
  for (const auto& sub : layer.path.subpaths())
    for (const Point& p : sub)
      if (!drawablePoint(cr, p)) return false;
  return true;
}

void roundedRect(cairo_t* cr, Rect r, double radius) {
  radius = std::min({radius, r.size.width * 0.5, r.size.height * 0.5});
  if (!(radius > 0)) {
    cairo_rectangle(cr, r.minX(), r.minY(), r.size.width, r.size.height);
    return;
  }
  cairo_new_sub_path(cr);
  cairo_arc(cr, r.maxX() - radius, r.minY() + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, r.maxX() - radius, r.maxY() - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, r.minX() + radius, r.maxY() - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, r.minX() + radius, r.minY() + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

void drawSelf(cairo_t* cr, const View& view);

}  // namespace

void renderTree(cairo_t* cr, const View& view) {
  if (view.isHidden() || !(view.alpha() > 0)) return;
  const Transform t = view.transformToSuperview();
  if (!finite(t)) return;
  cairo_save(cr);
  cairo_matrix_t m;
  cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
  cairo_transform(cr, &m);
  const bool group = view.alpha() < 1;
  if (group) cairo_push_group(cr);
  drawSelf(cr, view);
  if (group) {
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, view.alpha());
  }
  cairo_restore(cr);
}

namespace {

void drawSelf(cairo_t* cr, const View& view) {
  const Rect b = view.bounds();
  const bool drawable = drawableRect(cr, b);
  if (const auto bg = view.backgroundColor(); drawable && bg && bg->alpha > 0) {
    roundedRect(cr, b, view.cornerRadius());
    cairo_set_source_rgba(cr, bg->red, bg->green, bg->blue, bg->alpha);
    cairo_fill(cr);
  }
  if (drawable) view.drawContent(cr);
  if (view.clipsToBounds()) {
    if (!drawable) return;  // nothing it holds can show
    roundedRect(cr, b, view.cornerRadius());
    cairo_clip(cr);
  }
  // Layers and subviews back to front, as they were added.
  view.visitChildren([cr](const View* v, const ShapeLayer* layer) {
    if (v) renderTree(cr, *v);
    if (layer && drawableLayer(cr, *layer)) layer->draw(cr);
  });
}

}  // namespace

std::shared_ptr<Image> renderView(const View& view, double scale) {
  const Rect b = view.bounds();
  const double w = std::ceil(b.size.width * scale), h = std::ceil(b.size.height * scale);
  if (!(w >= 1 && h >= 1 && w <= 32767 && h <= 32767 && w * h <= Image::kMaxPixels)) return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(w), int(h));
  cairo_t* cr = cairo_create(s);
  cairo_scale(cr, scale, scale);
  cairo_translate(cr, -b.minX(), -b.minY());
  const bool group = view.alpha() < 1;
  if (!view.isHidden() && view.alpha() > 0) {
    if (group) cairo_push_group(cr);
    drawSelf(cr, view);
    if (group) {
      cairo_pop_group_to_source(cr);
      cairo_paint_with_alpha(cr, view.alpha());
    }
  }
  cairo_destroy(cr);
  auto image = cairo_surface_status(s) == CAIRO_STATUS_SUCCESS ? std::make_shared<Image>(s, scale) : nullptr;
  if (!image) cairo_surface_destroy(s);
  return image;
}

bool writePng(const View& view, const std::filesystem::path& file, std::string* error, double scale) {
  const auto image = renderView(view, scale);
  const std::vector<uint8_t> png = image ? image->pngData() : std::vector<uint8_t>{};
  if (png.empty()) {
    if (error) *error = "the view has no area to render";
    return false;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  out.close();
  if (!out) {
    if (error) *error = "cannot write " + file.string();
    return false;
  }
  return true;
}

}  // namespace platform::ui
