#include "venuesim/floor_bitmap.h"

#include <cmath>
#include <cstdint>

namespace venuesim {
namespace {

constexpr int kPixelOffset = 14 + 40 + 8;

void Put16(std::string& out, size_t at, uint32_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, size_t at, uint32_t v) {
  Put16(out, at, v & 0xFFFF);
  Put16(out, at + 2, v >> 16);
}

}  // namespace

int BitmapStride(int widthPixels) { return ((widthPixels + 31) / 32) * 4; }

std::string EncodeFloorBitmap(const WalkableGrid& grid) {
  const int cols = grid.cols(), rows = grid.rows();
  const int stride = BitmapStride(cols);
  const uint32_t imageSize = static_cast<uint32_t>(stride) * static_cast<uint32_t>(rows);
  std::string out(kPixelOffset + static_cast<size_t>(imageSize), '\0');
  out[0] = 'B';
  out[1] = 'M';
  Put32(out, 2, kPixelOffset + imageSize);
  Put32(out, 10, kPixelOffset);
  Put32(out, 14, 40);
  Put32(out, 18, static_cast<uint32_t>(cols));
  Put32(out, 22, static_cast<uint32_t>(rows));  // positive: bottom-up, row 0 is y = 0
  Put16(out, 26, 1);
  Put16(out, 28, 1);
  Put32(out, 30, 0);
  Put32(out, 34, imageSize);
  Put32(out, 38, static_cast<uint32_t>(std::lround(grid.pixelsPerMeterX())));
  Put32(out, 42, static_cast<uint32_t>(std::lround(grid.pixelsPerMeterY())));
  Put32(out, 46, 2);
  Put32(out, 50, 0);
  // Palette: entry 0 black, entry 1 white (blue, green, red, reserved).
  out[58] = out[59] = out[60] = static_cast<char>(0xFF);
  for (int r = 0; r < rows; ++r) {
    char* row = &out[kPixelOffset + static_cast<size_t>(r) * stride];
    for (int c = 0; c < cols; ++c)
      if (grid.pixelWalkable(c, r)) row[c / 8] = static_cast<char>(row[c / 8] | (0x80 >> (c % 8)));
  }
  return out;
}

}  // namespace venuesim
