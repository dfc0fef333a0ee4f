// Reading back what the user-interface renderer painted: one pixel, un-premultiplied, in
// points of the image.
#pragma once

#include <cairo.h>

#include <cstdint>

#include "platform/image.h"

namespace ui_probe {

struct Rgba {
  int r, g, b, a;
};

inline Rgba PixelAt(const platform::Image& image, double x, double y) {
  cairo_surface_t* s = image.surface();
  cairo_surface_flush(s);
  const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                      size_t(y * image.scale()) * cairo_image_surface_get_stride(s));
  const uint32_t p = row[size_t(x * image.scale())], a = p >> 24;
  auto un = [a](uint32_t c) { return a ? int((c * 255 + a / 2) / a) : 0; };
  return {un((p >> 16) & 255), un((p >> 8) & 255), un(p & 255), int(a)};
}

}  // namespace ui_probe
