#include "mapview/floor_page.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "Foundation/mc_log.h"
#include "platform/mutex.h"

namespace {

std::shared_ptr<platform::Image> EmptyPage() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, MCFloorPage::kEmptyPageSize,
                                                  MCFloorPage::kEmptyPageSize);
  auto image = platform::Image::imageWithSurface(s);
  cairo_surface_destroy(s);
  return image;
}

std::shared_ptr<platform::Image> DrawSvg(const std::vector<uint8_t>& data) {
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
    MC_LOG(2, "Floor picture of " + std::to_string(int64_t(pw)) + " x " + std::to_string(int64_t(ph)) +
                  " pixels drawn scaled by " + std::to_string(k) + "\n");
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
    page.image = DrawSvg(page.data);
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

struct MCFloorPageDrawer::Job {
  platform::Mutex mutex;
  platform::CondVar done;
  std::optional<MCFloorPage> page GUARDED_BY(mutex);  // set once drawn

  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    platform::UniqueLock lock(mutex);
    while (!page && done.wait_until(lock, deadline) == std::cv_status::no_timeout) {
    }
    return page.has_value();
  }
};

MCFloorPageDrawer::MCFloorPageDrawer(double timeLimit, Draw draw)
    : timeLimit_(timeLimit), draw_(std::move(draw)) {}

MCFloorPageDrawer::~MCFloorPageDrawer() {
  if (worker_.joinable()) worker_.join();
}

MCFloorPage MCFloorPageDrawer::render(std::string mimeType, std::vector<uint8_t> data) {
  // The time is the wall's, not the platform clock's: it bounds real drawing work.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(std::max(0.0, timeLimit_)));
  auto giveUp = [&](const char* why) {
    MC_LOG(1, "ERROR! Floor picture (" + (mimeType.empty() ? std::string("no data") : mimeType) + ", " +
                  std::to_string(data.size()) + " bytes) " + why + "; the floor shows an empty page\n");
    return MCFloorPage::empty(std::move(mimeType), std::move(data));
  };
  // A drawing given up on earlier may still run; one at a time bounds the memory to one page.
  if (job_ && !job_->waitUntil(deadline)) return giveUp("not drawn: an earlier floor picture is still being drawn");
  if (worker_.joinable()) worker_.join();
  auto job = std::make_shared<Job>();
  job_ = job;
  worker_ = std::thread([job, draw = draw_, type = mimeType, bytes = data]() mutable {
    MCFloorPage page = draw(std::move(type), std::move(bytes));
    platform::MutexLock lock(job->mutex);
    job->page = std::move(page);
    job->done.notify_all();
  });
  if (!job->waitUntil(deadline)) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.1f", timeLimit_);
    return giveUp((std::string("not drawn within ") + limit + " s").c_str());
  }
  platform::MutexLock lock(job->mutex);
  return *job->page;
}
