#include "mapview/mc_position_on_map.h"

using platform::ui::Color;
using platform::ui::Rect;

MCPositionOnMap::MCPositionOnMap() {
  setFrame(Rect(0, 0, 36, 36));
  setCenter({0, 0});
  setBackgroundColor(Color::rgb(0, 0, 255));
  setCornerRadius(frame().size.height * 0.5);
  setAlpha(0.9);
  background = std::make_shared<platform::ui::ImageView>();
  background->setFrame(Rect(0, 0, 36, 36));
  background->setBackgroundColor(Color::rgb(74, 173, 212));
  background->setAlpha(0.5);
  background->setCornerRadius(background->frame().size.height * 0.5);
  addSubview(background);
}

void MCPositionOnMap::resizePositionOnMapWithZoom(double) { setCenter(originalCenter); }
