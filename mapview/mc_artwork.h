// The screen's artwork, drawn once per process with cairo at three pixels per point: the
// pin, the callout's arrow in route and in remove mode, the floor, zoom and dynamic-map
// buttons and the venue marker. Views size themselves from an artwork's pixel size / 3.
// Any thread; the images are immutable.
#pragma once

#include <memory>

#include "platform/image.h"

namespace mc_artwork {

enum class Art { Pin, Arrow, RemoveArrow, FloorUp, ZoomIn, ZoomOut, DynamicMap, Venue };

std::shared_ptr<platform::Image> image(Art art);
// The artwork's pixel size / 3, in points.
double width(Art art);
double height(Art art);

}  // namespace mc_artwork
