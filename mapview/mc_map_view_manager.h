// Renders one floor's map into the image the map screen shows: PNG bytes are
// decoded; otherwise SVG, else JPG bytes are drawn on a page of the picture's
// own size (MCFloorPage) by the drawing program (MCFloorPageDrawer), ended at
// MCFloorPage::kTimeLimit. A PNG that does not decode leaves no image; SVG or
// JPG data that does not draw in time, or a floor without data, gives the
// empty page.
// One per process (`sharedInstance`); it is the SDK's floor image renderer.
// `loadSublocationImage` runs on the main thread (the coordinator hands it
// over and waits); the getters are safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "MCModels/mc_floor_image_renderer.h"
#include "MCModels/mc_location.h"
#include "mapview/floor_page.h"
#include "mapview/floor_page_drawer.h"
#include "platform/image.h"
#include "platform/mutex.h"

class MCMapViewManager : public MCFloorImageRenderer {
 public:
  static std::shared_ptr<MCMapViewManager> sharedInstance();
  MCMapViewManager();  // init: a new empty location
  // The same, drawing SVG and JPG pages with the drawing program at `drawProgram` (by
  // default the installed one).
  explicit MCMapViewManager(std::string drawProgram);

  void loadSublocationImage(const MCSublocation& sublocation) override;

  std::shared_ptr<platform::Image> image() const override;
  // The page of the last SVG or JPG rendering, kept until the next one.
  std::shared_ptr<const MCFloorPage> webView() const;
  std::shared_ptr<MCLocation> location() const;
  void setLocation(std::shared_ptr<MCLocation> location) override;

 private:
  const MCFloorPageDrawer drawer_;
  mutable platform::Mutex mutex_;
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_);
  std::shared_ptr<const MCFloorPage> webView_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::Image> image_ GUARDED_BY(mutex_);
};
