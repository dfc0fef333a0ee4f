#include "MCModels/mc_floor_image_renderer.h"

#include "platform/mutex.h"

namespace {

struct Registered {
  platform::Mutex mutex;
  std::shared_ptr<MCFloorImageRenderer> renderer GUARDED_BY(mutex);
};

Registered& TheRenderer() {
  static Registered r;
  return r;
}

}  // namespace

std::shared_ptr<MCFloorImageRenderer> MCFloorImageRenderer::shared() {
  Registered& r = TheRenderer();
  platform::MutexLock lock(r.mutex);
  return r.renderer;
}

void MCFloorImageRenderer::setShared(std::shared_ptr<MCFloorImageRenderer> renderer) {
  Registered& r = TheRenderer();
  platform::MutexLock lock(r.mutex);
  r.renderer = std::move(renderer);
}
