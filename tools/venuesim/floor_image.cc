#include "venuesim/floor_image.h"

#include <algorithm>
#include <cmath>

#include <cairo.h>

namespace venuesim {
namespace {

cairo_status_t AppendToString(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct Tint {
  double r, g, b;
};

constexpr Tint kRoomTints[] = {{0.86, 0.91, 0.97}, {0.90, 0.96, 0.88}, {0.98, 0.92, 0.86}, {0.93, 0.89, 0.97}};

}  // namespace

double ImageScale(const VenueSpec& setup) { return std::min(20.0, 2000.0 / std::max(setup.width, setup.height)); }

int RenderFloorImage(const VenueSpec& setup, const VenueFloor& floor, std::string* png, std::string* error) {
  const double scale = ImageScale(setup);
  const int w = std::max(1, static_cast<int>(std::lround(setup.width * scale)));
  const int h = std::max(1, static_cast<int>(std::lround(setup.height * scale)));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    if (error) *error = std::string("cannot create floor image: ") + cairo_status_to_string(cairo_surface_status(surface));
    cairo_surface_destroy(surface);
    return kEncodeError;
  }
  cairo_t* cr = cairo_create(surface);
  // Floor metres to picture pixels, y growing upwards like the floor's frame.
  cairo_translate(cr, 0, h);
  cairo_scale(cr, scale, -scale);
  cairo_set_source_rgb(cr, 0.95, 0.95, 0.95);  // also shows through the door gaps
  cairo_paint(cr);
  int tint = 0;
  for (const Room& room : floor.rooms) {
    if (room.corridor) {
      cairo_set_source_rgb(cr, 0.99, 0.98, 0.90);
    } else {
      const Tint& t = kRoomTints[tint++ % 4];
      cairo_set_source_rgb(cr, t.r, t.g, t.b);
    }
    cairo_rectangle(cr, room.x0, room.y0, room.x1 - room.x0, room.y1 - room.y0);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  for (const Wall& wall : floor.walls) {
    cairo_set_line_width(cr, wall.thickness);
    cairo_move_to(cr, wall.a.x, wall.a.y);
    cairo_line_to(cr, wall.b.x, wall.b.y);
    cairo_stroke(cr);
  }
  cairo_destroy(cr);
  png->clear();
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, AppendToString, png);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    if (error) *error = std::string("cannot encode floor image: ") + cairo_status_to_string(status);
    return kEncodeError;
  }
  return kOk;
}

}  // namespace venuesim
