#include "venuesim/walkable_grid.h"

#include <algorithm>
#include <cmath>

namespace venuesim {
namespace {

double SegmentDistance(double px, double py, double x0, double y0, double x1, double y1) {
  const double dx = x1 - x0, dy = y1 - y0;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0.0 ? ((px - x0) * dx + (py - y0) * dy) / len2 : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = x0 + t * dx - px, ey = y0 + t * dy - py;
  return std::sqrt(ex * ex + ey * ey);
}

}  // namespace

WalkableGrid::WalkableGrid(double widthMeters, double heightMeters, double resolution)
    : cols_(std::max(1, static_cast<int>(std::lround(widthMeters / resolution)))),
      rows_(std::max(1, static_cast<int>(std::lround(heightMeters / resolution)))),
      width_(widthMeters),
      height_(heightMeters),
      cells_(static_cast<size_t>(cols_) * rows_, 1) {}

bool WalkableGrid::pixelWalkable(int col, int row) const {
  if (col < 0 || row < 0 || col >= cols_ || row >= rows_) return false;
  return cells_[static_cast<size_t>(row) * cols_ + col] != 0;
}

void WalkableGrid::setPixel(int col, int row, bool walkable) {
  if (col < 0 || row < 0 || col >= cols_ || row >= rows_) return;
  cells_[static_cast<size_t>(row) * cols_ + col] = walkable ? 1 : 0;
}

bool WalkableGrid::walkable(double x, double y) const {
  if (!std::isfinite(x) || !std::isfinite(y) || x < 0.0 || y < 0.0) return false;
  const double c = x * pixelsPerMeterX(), r = y * pixelsPerMeterY();
  if (c >= cols_ || r >= rows_) return false;
  return pixelWalkable(static_cast<int>(c), static_cast<int>(r));
}

bool WalkableGrid::clear(double x, double y, double radius) const {
  const double sx = pixelsPerMeterX(), sy = pixelsPerMeterY();
  const int c0 = static_cast<int>(std::floor((x - radius) * sx));
  const int c1 = static_cast<int>(std::floor((x + radius) * sx));
  const int r0 = static_cast<int>(std::floor((y - radius) * sy));
  const int r1 = static_cast<int>(std::floor((y + radius) * sy));
  for (int r = r0; r <= r1; ++r)
    for (int c = c0; c <= c1; ++c)
      if (!pixelWalkable(c, r)) return false;
  return true;
}

void WalkableGrid::blockSegment(double x0, double y0, double x1, double y1, double halfWidth) {
  const double sx = pixelsPerMeterX(), sy = pixelsPerMeterY();
  const int c0 = std::max(0, static_cast<int>(std::floor((std::min(x0, x1) - halfWidth) * sx)) - 1);
  const int c1 = std::min(cols_ - 1, static_cast<int>(std::ceil((std::max(x0, x1) + halfWidth) * sx)) + 1);
  const int r0 = std::max(0, static_cast<int>(std::floor((std::min(y0, y1) - halfWidth) * sy)) - 1);
  const int r1 = std::min(rows_ - 1, static_cast<int>(std::ceil((std::max(y0, y1) + halfWidth) * sy)) + 1);
  for (int r = r0; r <= r1; ++r) {
    const double py = (r + 0.5) / sy;
    for (int c = c0; c <= c1; ++c) {
      const double px = (c + 0.5) / sx;
      if (SegmentDistance(px, py, x0, y0, x1, y1) <= halfWidth) setPixel(c, r, false);
    }
  }
}

int WalkableGrid::walkableCount() const {
  return static_cast<int>(std::count(cells_.begin(), cells_.end(), 1));
}

}  // namespace venuesim
