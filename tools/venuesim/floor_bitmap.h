// The floor's walkable area as a 1-bit uncompressed BMP: set bits walkable,
// clear bits walls; rows stored from y = 0 up, most significant bit leftmost;
// palette entry 0 black and entry 1 white, so walls show black.
#pragma once

#include <string>

#include "venuesim/walkable_grid.h"

namespace venuesim {

std::string EncodeFloorBitmap(const WalkableGrid& grid);

// Bytes per stored row for a width in pixels (rounded up to 32 bits).
int BitmapStride(int widthPixels);

}  // namespace venuesim
