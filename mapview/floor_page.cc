#include "mapview/floor_page.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>

namespace {

std::shared_ptr<platform::Image> EmptyPage() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, MCFloorPage::kEmptyPageSize,
                                                  MCFloorPage::kEmptyPageSize);
  auto image = platform::Image::imageWithSurface(s);
  cairo_surface_destroy(s);
  return image;
}

std::shared_ptr<platform::Image> DrawSvg(const std::vector<uint8_t>& data, std::string& note) {
  GError* error = nullptr;
  RsvgHandle* handle = rsvg_handle_new_from_data(data.data(), data.size(), &error);
  if (handle == nullptr) {
    if (error) g_error_free(error);
    return nullptr;
  }
  std::shared_ptr<platform::Image> image;
  double w = 0, h = 0;
  if (!rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h)) {
    // Sizes in percent: lay the picture out at its view box.
    gboolean hasViewBox = FALSE;
    RsvgRectangle viewBox{};
    rsvg_handle_get_intrinsic_dimensions(handle, nullptr, nullptr, nullptr, nullptr, &hasViewBox,
                                         &viewBox);
    if (hasViewBox) w = viewBox.width, h = viewBox.height;
  }
  double pw = std::ceil(w), ph = std::ceil(h);
  if (pw >= 1 && ph >= 1 && (pw * ph > double(MCFloorPage::kMaxPixels) || pw > 32767 || ph > 32767)) {
    // A blur over a page of 8000 x 8000 takes seconds and gigabytes; the screen scales the
    // floor to fit anyway.
    const double k = std::min({std::sqrt(double(MCFloorPage::kMaxPixels) / (pw * ph)), 32767 / pw, 32767 / ph});
    note = "Floor picture of " + std::to_string(int64_t(pw)) + " x " + std::to_string(int64_t(ph)) +
           " pixels drawn scaled by " + std::to_string(k);
    pw = std::max(1.0, std::floor(pw * k)), ph = std::max(1.0, std::floor(ph * k));
  }
  if (pw >= 1 && ph >= 1 && pw * ph <= double(MCFloorPage::kMaxPixels)) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(pw), int(ph));
    cairo_t* cr = cairo_create(s);
    const RsvgRectangle viewport{0, 0, pw, ph};
    if (cairo_status(cr) == CAIRO_STATUS_SUCCESS &&
        rsvg_handle_render_document(handle, cr, &viewport, &error)) {
      cairo_surface_flush(s);
      image = platform::Image::imageWithSurface(s);
    }
    if (error) g_error_free(error);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
  }
  g_object_unref(handle);
  return image;
}

}  // namespace

MCFloorPage MCFloorPage::render(std::string mimeType, std::vector<uint8_t> data) {
  MCFloorPage page;
  page.mimeType = std::move(mimeType);
  page.data = std::move(data);
  if (page.mimeType == "image/svg+xml") {
    page.image = DrawSvg(page.data, page.note);
  } else if (page.mimeType == "image/jpg") {
    page.image = platform::Image::imageWithData(page.data, 1, kMaxPixels);
  }
  page.loaded = page.image != nullptr;
  if (!page.loaded) page.image = EmptyPage();
  return page;
}

MCFloorPage MCFloorPage::empty(std::string mimeType, std::vector<uint8_t> data) {
  MCFloorPage page;
  page.mimeType = std::move(mimeType);
  page.data = std::move(data);
  page.image = EmptyPage();
  return page;
}
