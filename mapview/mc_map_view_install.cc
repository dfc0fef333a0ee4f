#include "mapview/mc_map_view_install.h"

#include "mapview/mc_location_view_controller.h"
#include "mapview/mc_map_view_manager.h"

void MCMapViewInstall() {
  MCFloorImageRenderer::setShared(MCMapViewManager::sharedInstance());
  MCLocation::setViewControllerFactory([](std::shared_ptr<MCLocation> location) {
    auto screen = MCLocationViewController::create();
    screen->setLocation(std::move(location));
    return screen;
  });
}
