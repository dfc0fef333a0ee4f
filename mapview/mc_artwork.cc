#include "mapview/mc_artwork.h"

#include <cairo.h>

#include <array>
#include <cmath>
#include <mutex>

namespace mc_artwork {
namespace {

constexpr double kScale = 3;

void rgb(cairo_t* cr, int r, int g, int b) { cairo_set_source_rgb(cr, r / 255.0, g / 255.0, b / 255.0); }

// Draws `art` in points on a canvas of `w` x `h` points.
void draw(cairo_t* cr, Art art, double w, double h) {
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  switch (art) {
    case Art::Pin:  // a red drop whose tip is the bottom centre
      cairo_move_to(cr, w / 2, h);
      cairo_curve_to(cr, w * 0.1, h * 0.55, 0, h * 0.45, 0, w / 2);
      cairo_arc(cr, w / 2, w / 2, w / 2, M_PI, 2 * M_PI);
      cairo_curve_to(cr, w, h * 0.45, w * 0.9, h * 0.55, w / 2, h);
      rgb(cr, 214, 64, 58);
      cairo_fill(cr);
      cairo_arc(cr, w / 2, w / 2, w * 0.18, 0, 2 * M_PI);
      rgb(cr, 255, 255, 255);
      cairo_fill(cr);
      break;
    case Art::Arrow:
    case Art::RemoveArrow:  // a triangle pointing down, in the callout's colour
      cairo_move_to(cr, 0, 0);
      cairo_line_to(cr, w, 0);
      cairo_line_to(cr, w / 2, h);
      cairo_close_path(cr);
      art == Art::Arrow ? rgb(cr, 74, 173, 212) : rgb(cr, 211, 102, 102);
      cairo_fill(cr);
      break;
    case Art::FloorUp:  // a chevron pointing up
      cairo_move_to(cr, w * 0.28, h * 0.6);
      cairo_line_to(cr, w * 0.5, h * 0.38);
      cairo_line_to(cr, w * 0.72, h * 0.6);
      rgb(cr, 86, 101, 118);
      cairo_set_line_width(cr, 3);
      cairo_stroke(cr);
      break;
    case Art::ZoomIn:
    case Art::ZoomOut:
      cairo_move_to(cr, w * 0.3, h / 2);
      cairo_line_to(cr, w * 0.7, h / 2);
      if (art == Art::ZoomIn) {
        cairo_move_to(cr, w / 2, h * 0.3);
        cairo_line_to(cr, w / 2, h * 0.7);
      }
      rgb(cr, 86, 101, 118);
      cairo_set_line_width(cr, 3);
      cairo_stroke(cr);
      break;
    case Art::DynamicMap:  // a compass needle
      cairo_move_to(cr, w / 2, h * 0.22);
      cairo_line_to(cr, w * 0.62, h / 2);
      cairo_line_to(cr, w / 2, h * 0.78);
      cairo_line_to(cr, w * 0.38, h / 2);
      cairo_close_path(cr);
      rgb(cr, 86, 101, 118);
      cairo_fill(cr);
      break;
    case Art::Venue:  // an orange dot with a white ring
      cairo_arc(cr, w / 2, h / 2, w / 2 - 0.5, 0, 2 * M_PI);
      rgb(cr, 255, 255, 255);
      cairo_fill(cr);
      cairo_arc(cr, w / 2, h / 2, w / 2 - 2.5, 0, 2 * M_PI);
      rgb(cr, 240, 140, 40);
      cairo_fill(cr);
      break;
  }
}

struct ArtSize {
  double w, h;  // points
};

ArtSize SizeOf(Art art) {
  switch (art) {
    case Art::Pin: return {28, 40};
    case Art::Arrow:
    case Art::RemoveArrow: return {14, 8};
    case Art::FloorUp:
    case Art::ZoomIn:
    case Art::ZoomOut:
    case Art::DynamicMap: return {44, 44};
    case Art::Venue: return {16, 16};
  }
  return {1, 1};
}

std::shared_ptr<platform::Image> make(Art art) {
  const ArtSize s = SizeOf(art);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(s.w * kScale), int(s.h * kScale));
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, kScale, kScale);
  draw(cr, art, s.w, s.h);
  cairo_destroy(cr);
  auto image = platform::Image::imageWithSurface(surface, kScale);
  cairo_surface_destroy(surface);
  return image;
}

}  // namespace

std::shared_ptr<platform::Image> image(Art art) {
  static std::once_flag once;
  static std::array<std::shared_ptr<platform::Image>, 8> images;
  std::call_once(once, [] {
    for (int i = 0; i < 8; ++i) images[i] = make(Art(i));
  });
  return images[size_t(art)];
}

double width(Art art) { return image(art) ? image(art)->pixelWidth() / kScale : 0; }
double height(Art art) { return image(art) ? image(art)->pixelHeight() / kScale : 0; }

}  // namespace mc_artwork
