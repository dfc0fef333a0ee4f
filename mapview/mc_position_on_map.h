// The round marker of the user's position: a blue disc 36 points across with a translucent
// accuracy circle (`background`) drawn over it, which the map screen resizes and centres on
// every refresh. Main thread only, like every view.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ui_view.h"

class MCPositionOnMap : public platform::ui::ImageView {
 public:
  MCPositionOnMap();  // init

  // Puts the centre back at `originalCenter`; the zoom is not used.
  void resizePositionOnMapWithZoom(double zoom);

  uint64_t locationId = 0;
  uint64_t sublocationId = 0;
  double R = 0;
  platform::ui::Point originalCenter;
  std::shared_ptr<platform::ui::ImageView> background;
};
