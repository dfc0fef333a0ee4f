#include "platform/image.h"

#include <cairo.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace platform {
namespace {

bool isPng(const std::vector<uint8_t>& d) {
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return d.size() >= 8 && std::memcmp(d.data(), sig, 8) == 0;
}

bool isJpeg(const std::vector<uint8_t>& d) {
  return d.size() >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}

bool sizeAllowed(int64_t w, int64_t h, int64_t maxPixels = Image::kMaxPixels) {
  return w > 0 && h > 0 && w <= 32767 && h <= 32767 && w * h <= std::min(maxPixels, Image::kMaxPixels);
}

// Straight RGBA rows -> a premultiplied ARGB32 surface (null when cairo cannot make one).
cairo_surface_t* surfaceFromRgba(const uint8_t* rgba, int w, int h) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_surface_flush(s);
  uint8_t* dst = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(dst + size_t(y) * stride);
    const uint8_t* src = rgba + size_t(y) * w * 4;
    for (int x = 0; x < w; ++x, src += 4) {
      uint32_t a = src[3];
      uint32_t r = (src[0] * a + 127) / 255, g = (src[1] * a + 127) / 255,
               b = (src[2] * a + 127) / 255;
      row[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(s);
  return s;
}

// The surface's pixels as straight RGBA rows.
std::vector<uint8_t> rgbaFromSurface(cairo_surface_t* s) {
  cairo_surface_flush(s);
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  int stride = cairo_image_surface_get_stride(s);
  const uint8_t* src = cairo_image_surface_get_data(s);
  std::vector<uint8_t> out(size_t(w) * h * 4);
  uint8_t* o = out.data();
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<const uint32_t*>(src + size_t(y) * stride);
    for (int x = 0; x < w; ++x, o += 4) {
      uint32_t p = row[x], a = p >> 24;
      auto un = [a](uint32_t c) { return uint8_t(a ? std::min<uint32_t>(255, (c * 255 + a / 2) / a) : 0); };
      o[0] = un((p >> 16) & 255);
      o[1] = un((p >> 8) & 255);
      o[2] = un(p & 255);
      o[3] = uint8_t(a);
    }
  }
  return out;
}

cairo_surface_t* decodePng(const std::vector<uint8_t>& d, int64_t maxPixels) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, d.data(), d.size())) return nullptr;
  if (!sizeAllowed(img.width, img.height, maxPixels)) {
    png_image_free(&img);
    return nullptr;
  }
  img.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, rgba.data(), 0, nullptr)) {
    png_image_free(&img);
    return nullptr;
  }
  return surfaceFromRgba(rgba.data(), int(img.width), int(img.height));
}

// The largest size libjpeg-turbo decodes the w x h picture at within `maxPixels`, scaling
// down by no more than 1/8 a side; false when none fits.
bool jpegDecodeSize(int& w, int& h, int64_t maxPixels) {
  if (sizeAllowed(w, h, maxPixels)) return true;
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  int bestW = 0, bestH = 0;
  for (int i = 0; factors && i < count; ++i) {
    const tjscalingfactor f = factors[i];
    if (f.num * 8 < f.denom || f.num >= f.denom) continue;  // downscaling, at most 1/8
    const int sw = TJSCALED(w, f), sh = TJSCALED(h, f);
    if (sizeAllowed(sw, sh, maxPixels) && int64_t(sw) * sh > int64_t(bestW) * bestH) bestW = sw, bestH = sh;
  }
  if (bestW == 0) return false;
  w = bestW, h = bestH;
  return true;
}

cairo_surface_t* decodeJpeg(const std::vector<uint8_t>& d, int64_t maxPixels) {
  tjhandle tj = tjInitDecompress();
  if (!tj) return nullptr;
  int w = 0, h = 0, sub = 0, cs = 0;
  cairo_surface_t* s = nullptr;
  if (d.size() <= 0xFFFFFFFFul &&
      tjDecompressHeader3(tj, d.data(), (unsigned long)d.size(), &w, &h, &sub, &cs) == 0 &&
      jpegDecodeSize(w, h, maxPixels)) {
    std::vector<uint8_t> rgba(size_t(w) * h * 4);
    // A corrupt but decodable tail gives a warning only; the rows decoded so far stand.
    if (tjDecompress2(tj, d.data(), (unsigned long)d.size(), rgba.data(), w, 0, h, TJPF_RGBA, 0) == 0 ||
        tjGetErrorCode(tj) == TJERR_WARNING)
      s = surfaceFromRgba(rgba.data(), w, h);
  }
  tjDestroy(tj);
  return s;
}

}  // namespace

Image::Image(cairo_surface_t* owned, double scale) : surface_(owned), scale_(scale) {}

Image::~Image() { cairo_surface_destroy(surface_); }

std::shared_ptr<Image> Image::imageWithData(const std::vector<uint8_t>& data, double scale) {
  return imageWithData(data, scale, kMaxPixels);
}

std::shared_ptr<Image> Image::imageWithData(const std::vector<uint8_t>& data, double scale, int64_t maxPixels) {
  if (!(scale > 0) || !std::isfinite(scale)) scale = 1;
  cairo_surface_t* s = isPng(data)    ? decodePng(data, maxPixels)
                       : isJpeg(data) ? decodeJpeg(data, maxPixels)
                                      : nullptr;
  return s ? std::make_shared<Image>(s, scale) : nullptr;
}

std::optional<std::pair<int, int>> Image::pixelSizeOfData(const std::vector<uint8_t>& data) {
  if (isPng(data)) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, data.data(), data.size())) return std::nullopt;
    const std::pair<int, int> size{int(std::min<uint32_t>(img.width, INT32_MAX)),
                                   int(std::min<uint32_t>(img.height, INT32_MAX))};
    png_image_free(&img);
    return size;
  }
  if (isJpeg(data) && data.size() <= 0xFFFFFFFFul) {
    tjhandle tj = tjInitDecompress();
    if (!tj) return std::nullopt;
    int w = 0, h = 0, sub = 0, cs = 0;
    const bool ok = tjDecompressHeader3(tj, data.data(), (unsigned long)data.size(), &w, &h, &sub, &cs) == 0;
    tjDestroy(tj);
    if (ok) return std::pair<int, int>{w, h};
  }
  return std::nullopt;
}

std::shared_ptr<Image> Image::imageWithContentsOfFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return nullptr;
  std::vector<uint8_t> d{std::istreambuf_iterator<char>(in), {}};
  return imageWithData(d);
}

std::shared_ptr<Image> Image::imageWithSurface(cairo_surface_t* surface, double scale) {
  if (!surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE)
    return nullptr;
  int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  if (!sizeAllowed(w, h)) return nullptr;
  cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(copy);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, surface, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  if (cairo_surface_status(copy) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(copy);
    return nullptr;
  }
  return std::make_shared<Image>(copy, scale > 0 ? scale : 1);
}

int Image::pixelWidth() const { return cairo_image_surface_get_width(surface_); }
int Image::pixelHeight() const { return cairo_image_surface_get_height(surface_); }
double Image::width() const { return pixelWidth() / scale_; }
double Image::height() const { return pixelHeight() / scale_; }

std::vector<uint8_t> Image::pngData() const {
  auto rgba = rgbaFromSurface(surface_);
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = uint32_t(pixelWidth());
  img.height = uint32_t(pixelHeight());
  img.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&img, nullptr, &size, 0, rgba.data(), 0, nullptr)) return {};
  std::vector<uint8_t> out(size);
  if (!png_image_write_to_memory(&img, out.data(), &size, 0, rgba.data(), 0, nullptr)) return {};
  out.resize(size);
  return out;
}

std::vector<uint8_t> Image::jpegData(double quality) const {
  auto rgba = rgbaFromSurface(surface_);
  // JPEG has no alpha: composite over white, as a phone's encoder does.
  for (size_t i = 0; i < rgba.size(); i += 4) {
    unsigned a = rgba[i + 3];
    for (int c = 0; c < 3; ++c) rgba[i + c] = uint8_t((rgba[i + c] * a + 255 * (255 - a) + 127) / 255);
    rgba[i + 3] = 255;
  }
  tjhandle tj = tjInitCompress();
  if (!tj) return {};
  int q = int(std::lround(std::clamp(std::isfinite(quality) ? quality : 1.0, 0.0, 1.0) * 100));
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  std::vector<uint8_t> out;
  if (tjCompress2(tj, rgba.data(), pixelWidth(), 0, pixelHeight(), TJPF_RGBA, &buf, &len,
                  TJSAMP_420, std::max(1, q), TJFLAG_ACCURATEDCT) == 0)
    out.assign(buf, buf + len);
  tjFree(buf);
  tjDestroy(tj);
  return out;
}

std::shared_ptr<Image> Image::scaledToSize(int w, int h) const {
  if (!sizeAllowed(w, h)) return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_scale(cr, double(w) / pixelWidth(), double(h) / pixelHeight());
  cairo_set_source_surface(cr, surface_, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  return std::make_shared<Image>(s, scale_);
}

void Image::drawInRect(cairo_t* cr, double x, double y, double w, double h) const {
  if (!cr || !(w > 0) || !(h > 0)) return;
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, w / pixelWidth(), h / pixelHeight());
  cairo_set_source_surface(cr, surface_, 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_rectangle(cr, 0, 0, pixelWidth(), pixelHeight());
  cairo_fill(cr);
  cairo_restore(cr);
}

}  // namespace platform
