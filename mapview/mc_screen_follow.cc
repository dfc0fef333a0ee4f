#include "mapview/mc_screen_follow.h"

void MCFollowPosition(MCLocationViewController& screen) {
  const auto view = screen.view();
  const auto& navigation = screen.navigationManager();
  const auto info = navigation.deviceInfo ? navigation.deviceInfo() : nullptr;
  const auto location = screen.location();
  if (info && location) {
    int64_t target = -1;
    for (size_t i = 0; i < location->sublocations.size(); ++i)
      if (location->sublocations[i] && location->sublocations[i]->id == info->sublocation) target = int64_t(i);
    // The buttons, as a user presses them: each press moves one floor.
    for (size_t press = 0; target >= 0 && press < location->sublocations.size() && screen.floor() != target; ++press)
      target > screen.floor() ? screen.btnUpFloorPressed() : screen.btnDownFloorPressed();
  }
  screen.changeCoordinates();
  const auto sv = screen.sv();
  const double z = sv->zoomScale();
  const auto marker = screen.current()->center();
  sv->setContentOffset({marker.x * z - sv->bounds().size.width / 2, marker.y * z - sv->bounds().size.height / 2});
}
