// What the SDK asks of the map view, which sits above it: one floor's map
// rendered into the image the map screen shows. The coordinator is given a
// renderer (MainSDKManagers) and, at every load, hands each floor over on the
// main thread, waits, then reads `image()`. A process that links the map view
// registers its renderer once with `setShared`; without one, floors get no image.
#pragma once

#include <memory>

#include "MCModels/mc_location.h"
#include "platform/image.h"

class MCFloorImageRenderer {
 public:
  virtual ~MCFloorImageRenderer() = default;

  // Main thread only.
  virtual void loadSublocationImage(const MCSublocation& sublocation) = 0;
  // The result of the last loadSublocationImage; any thread.
  virtual std::shared_ptr<platform::Image> image() const = 0;
  virtual void setLocation(std::shared_ptr<MCLocation> location) = 0;

  // The process's renderer, none until the map view registers one.
  static std::shared_ptr<MCFloorImageRenderer> shared();
  static void setShared(std::shared_ptr<MCFloorImageRenderer> renderer);
};
