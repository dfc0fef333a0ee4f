// The page a floor's SVG or JPG map is drawn on: the image data with its MIME
// type, laid out at the picture's own size and rendered into a bitmap of one
// pixel per page pixel. SVG is drawn by librsvg, JPG decoded by libjpeg-turbo.
// A page larger than kMaxPixels is drawn scaled down to fit (aspect kept).
// Data that does not draw gives an empty page of kEmptyPageSize square. Any
// thread; a page is a value once rendered. Rendering takes as long as the
// picture asks (a filter's cost is not bounded by the pixels): the screen has
// its pages drawn by MCFloorPageDrawer (floor_page_drawer.h), which ends a
// drawing at the time limit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image.h"

struct MCFloorPage {
  static constexpr int kEmptyPageSize = 10;
  static constexpr int64_t kMaxPixels = 4LL << 20;  // 2048 x 2048, 16 MB of pixels
  static constexpr double kTimeLimit = 1.0;          // seconds per page

  std::string mimeType;  // "image/svg+xml", "image/jpg" or "" (no data)
  std::vector<uint8_t> data;
  bool loaded = false;  // the picture drew
  std::shared_ptr<platform::Image> image;
  std::string note;  // how the picture was drawn, for the log (scaled down to the bound); may be empty

  // Lays out and renders the page, however long that takes.
  static MCFloorPage render(std::string mimeType, std::vector<uint8_t> data);
  // The page of data that did not draw.
  static MCFloorPage empty(std::string mimeType, std::vector<uint8_t> data);
};
