#include "mapview/mc_map_view_install.h"

#include "mapview/mc_map_view_manager.h"

void MCMapViewInstall() { MCFloorImageRenderer::setShared(MCMapViewManager::sharedInstance()); }
