// The page a floor's SVG or JPG map is drawn on: the image data with its MIME
// type, laid out at the picture's own size and rendered into a bitmap of one
// pixel per page pixel. SVG is drawn by librsvg, JPG decoded by libjpeg-turbo.
// Data that does not draw gives an empty page of kEmptyPageSize square. Any
// thread; a page is a value once rendered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image.h"

struct MCFloorPage {
  static constexpr int kEmptyPageSize = 10;

  std::string mimeType;  // "image/svg+xml", "image/jpg" or "" (no data)
  std::vector<uint8_t> data;
  bool loaded = false;  // the picture drew
  std::shared_ptr<platform::Image> image;

  // Lays out and renders the page.
  static MCFloorPage render(std::string mimeType, std::vector<uint8_t> data);
};
