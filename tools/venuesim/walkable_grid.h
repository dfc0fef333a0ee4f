// The walkable area of a floor as a grid of pixels, addressed the way the
// engine addresses its floor bitmap: column = trunc(x * cols / width), row =
// trunc(y * rows / height), row 0 at y = 0.
#pragma once

#include <cstdint>
#include <vector>

namespace venuesim {

class WalkableGrid {
 public:
  WalkableGrid() = default;
  // All pixels walkable.
  WalkableGrid(double widthMeters, double heightMeters, double resolution);

  int cols() const { return cols_; }
  int rows() const { return rows_; }
  double widthMeters() const { return width_; }
  double heightMeters() const { return height_; }
  double pixelsPerMeterX() const { return cols_ / width_; }
  double pixelsPerMeterY() const { return rows_ / height_; }

  bool pixelWalkable(int col, int row) const;
  void setPixel(int col, int row, bool walkable);
  // False outside the floor.
  bool walkable(double x, double y) const;
  // True when every pixel within radius metres of (x, y) is inside and walkable.
  bool clear(double x, double y, double radius) const;

  // Blocks every pixel whose centre lies within halfWidth of the segment.
  void blockSegment(double x0, double y0, double x1, double y1, double halfWidth);

  int walkableCount() const;

 private:
  int cols_ = 0;
  int rows_ = 0;
  double width_ = 0.0;
  double height_ = 0.0;
  std::vector<uint8_t> cells_;  // 1 walkable, row-major from row 0
};

}  // namespace venuesim
