#include "mapview/mc_map_view_manager.h"

#include "platform/main_thread.h"

std::shared_ptr<MCMapViewManager> MCMapViewManager::sharedInstance() {
  static const std::shared_ptr<MCMapViewManager> instance = std::make_shared<MCMapViewManager>();
  return instance;
}

MCMapViewManager::MCMapViewManager() : MCMapViewManager(MCFloorPageDrawer::installedProgram()) {}

MCMapViewManager::MCMapViewManager(std::string drawProgram)
    : drawer_(std::move(drawProgram)), location_(std::make_shared<MCLocation>()) {}

void MCMapViewManager::loadSublocationImage(const MCSublocation& f) {
  PLATFORM_MAIN_THREAD_ONLY();
  if (f.pngImage) {
    auto image = platform::Image::imageWithData(*f.pngImage);
    platform::MutexLock lock(mutex_);
    image_ = std::move(image);
    return;
  }
  std::string type;
  std::vector<uint8_t> data;
  if (f.svgImage) {
    type = "image/svg+xml", data = *f.svgImage;
  } else if (f.jpgImage) {
    type = "image/jpg", data = *f.jpgImage;
  }
  auto page = std::make_shared<const MCFloorPage>(drawer_.render(type, std::move(data)));
  platform::MutexLock lock(mutex_);
  image_ = page->image;
  webView_ = std::move(page);
}

std::shared_ptr<platform::Image> MCMapViewManager::image() const {
  platform::MutexLock lock(mutex_);
  return image_;
}

std::shared_ptr<const MCFloorPage> MCMapViewManager::webView() const {
  platform::MutexLock lock(mutex_);
  return webView_;
}

std::shared_ptr<MCLocation> MCMapViewManager::location() const {
  platform::MutexLock lock(mutex_);
  return location_;
}

void MCMapViewManager::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
}
