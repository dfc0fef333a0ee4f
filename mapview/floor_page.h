// The page a floor's SVG or JPG map is drawn on: the image data with its MIME
// type, laid out at the picture's own size and rendered into a bitmap of one
// pixel per page pixel. SVG is drawn by librsvg, JPG decoded by libjpeg-turbo.
// A page larger than kMaxPixels is drawn scaled down to fit (aspect kept).
// Data that does not draw gives an empty page of kEmptyPageSize square. Any
// thread; a page is a value once rendered.
//
// MCFloorPageDrawer bounds the time a caller waits for a page: the drawing runs
// on a thread of its own, and past the time limit the caller gets the empty
// page while the drawing finishes unseen. One drawing at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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

  // Lays out and renders the page, however long that takes.
  static MCFloorPage render(std::string mimeType, std::vector<uint8_t> data);
  // The page of data that did not draw.
  static MCFloorPage empty(std::string mimeType, std::vector<uint8_t> data);
};

class MCFloorPageDrawer {
 public:
  using Draw = std::function<MCFloorPage(std::string mimeType, std::vector<uint8_t> data)>;

  explicit MCFloorPageDrawer(double timeLimit = MCFloorPage::kTimeLimit, Draw draw = MCFloorPage::render);
  ~MCFloorPageDrawer();  // waits for a drawing still under way
  MCFloorPageDrawer(const MCFloorPageDrawer&) = delete;
  MCFloorPageDrawer& operator=(const MCFloorPageDrawer&) = delete;

  // The page, or the empty page when it is not drawn within the time limit (also when an
  // earlier drawing given up on does not end within it). One caller at a time.
  MCFloorPage render(std::string mimeType, std::vector<uint8_t> data);

 private:
  struct Job;
  const double timeLimit_;
  const Draw draw_;
  std::shared_ptr<Job> job_;  // the last drawing
  std::thread worker_;        // its thread
};
