// Images: PNG and JPEG decode and encode, size, scale, drawing with cairo. An image is
// immutable after creation and safe to share between threads (`shared_ptr<Image>`, null =
// none). Bad, truncated or oversized data decodes to null, never a crash.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace platform {

class Image {
 public:
  // PNG or JPEG bytes (recognised by their signature); `scale` = pixels per point.
  static std::shared_ptr<Image> imageWithData(const std::vector<uint8_t>& data, double scale = 1);
  // The same within `maxPixels`: a larger JPEG is decoded at the largest of its reduced sizes
  // (1/2 down to 1/8 a side) that fits, a larger PNG reads as none.
  static std::shared_ptr<Image> imageWithData(const std::vector<uint8_t>& data, double scale, int64_t maxPixels);
  // The pixel size PNG or JPEG bytes decode to, read from their header alone; none when
  // the bytes are neither.
  static std::optional<std::pair<int, int>> pixelSizeOfData(const std::vector<uint8_t>& data);
  static std::shared_ptr<Image> imageWithContentsOfFile(const std::filesystem::path& file);
  // A copy of an image surface's pixels (any format cairo can paint).
  static std::shared_ptr<Image> imageWithSurface(cairo_surface_t* surface, double scale = 1);

  double width() const;   // points
  double height() const;
  int pixelWidth() const;
  int pixelHeight() const;
  double scale() const { return scale_; }

  std::vector<uint8_t> pngData() const;                 // empty on failure
  std::vector<uint8_t> jpegData(double quality) const;  // quality 0..1; empty on failure
  // A new image of the given pixel size (bilinear), same scale.
  std::shared_ptr<Image> scaledToSize(int pixelWidth, int pixelHeight) const;
  // Paints the image into the rectangle (user units of `cr`), scaled to fill it.
  void drawInRect(cairo_t* cr, double x, double y, double width, double height) const;
  // The pixels: an ARGB32 (premultiplied) image surface owned by this image; do not modify.
  cairo_surface_t* surface() const { return surface_; }

  Image(cairo_surface_t* owned, double scale);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // The largest image decoded (pixels); larger ones read as none.
  static constexpr int64_t kMaxPixels = 64LL * 1024 * 1024;

 private:
  cairo_surface_t* surface_;
  double scale_;
};

}  // namespace platform
