#include "MCModels/mc_floor_image_renderer.h"

#include <mutex>

namespace {

struct Registered {
  std::mutex mutex;
  std::shared_ptr<MCFloorImageRenderer> renderer;
};

Registered& TheRenderer() {
  static Registered r;
  return r;
}

}  // namespace

std::shared_ptr<MCFloorImageRenderer> MCFloorImageRenderer::shared() {
  Registered& r = TheRenderer();
  std::lock_guard lock(r.mutex);
  return r.renderer;
}

void MCFloorImageRenderer::setShared(std::shared_ptr<MCFloorImageRenderer> renderer) {
  Registered& r = TheRenderer();
  std::lock_guard lock(r.mutex);
  r.renderer = std::move(renderer);
}
