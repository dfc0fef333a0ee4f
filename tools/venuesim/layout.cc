#include "venuesim/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace venuesim {
namespace {

constexpr double kMinRoomDepth = 2.5;

// Splits the horizontal wall at height y between x0 and x1 around the door
// gaps (each given by its start and end along x).
void AddHorizontalWithGaps(double y, double x0, double x1, std::vector<std::pair<double, double>> gaps,
                           double thickness, std::vector<Wall>& walls) {
  std::sort(gaps.begin(), gaps.end());
  double from = x0;
  for (const auto& g : gaps) {
    if (g.first > from) walls.push_back({{from, y}, {g.first, y}, thickness, false});
    from = std::max(from, g.second);
  }
  if (x1 > from) walls.push_back({{from, y}, {x1, y}, thickness, false});
}

std::string RoomName(char side, int index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%02d", side, index + 1);
  return buf;
}

// One row of rooms between yFar (outer wall side) and yNear (corridor wall),
// adding the partition walls and the door gaps of that row.
void AddRoomRow(const VenueSpec& setup, Rng& rng, double xLeft, double xRight, double yFar, double yNear,
                double yFarWall, char side, VenueFloor& floor,
                std::vector<std::pair<double, double>>& doorGaps) {
  const double t = setup.wallThickness;
  const int n = std::max(1, static_cast<int>(std::lround((xRight - xLeft) / setup.roomWidth)));
  const double step = (xRight - xLeft) / n;
  for (int k = 0; k < n; ++k) {
    const double left = xLeft + k * step, right = left + step;
    if (k > 0) floor.walls.push_back({{left, yFarWall}, {left, yNear}, t, false});
    Room room;
    room.x0 = left + (k > 0 ? t / 2 : 0.0);
    room.x1 = right - (k < n - 1 ? t / 2 : 0.0);
    room.y0 = std::min(yFar, yNear + (yNear < yFar ? t / 2 : -t / 2));
    room.y1 = std::max(yFar, yNear + (yNear < yFar ? t / 2 : -t / 2));
    room.name = RoomName(side, k);
    floor.rooms.push_back(room);
    // The door keeps a little wall on both sides so it never merges with a partition.
    const double margin = 0.3 + t;
    const double span = (room.x1 - room.x0) - setup.doorWidth - 2 * margin;
    const double draw = rng.uniform(0.0, 1.0);  // drawn always, so later doors do not depend on this room's size
    const double start = span > 0 ? room.x0 + margin + draw * span
                                  : std::max(room.x0, (room.x0 + room.x1 - setup.doorWidth) / 2);
    doorGaps.push_back({start, std::min(start + setup.doorWidth, room.x1)});
  }
}

}  // namespace

double OuterWallThickness(const VenueSpec& setup) { return 1.5 * setup.wallThickness; }

void BuildFloorPlan(const VenueSpec& setup, Rng& rng, VenueFloor& floor) {
  const double W = setup.width, H = setup.height, t = setup.wallThickness;
  const double ot = OuterWallThickness(setup);
  const double in = ot / 2;  // outer wall centre lines lie inside the floor
  floor.walls.clear();
  floor.rooms.clear();
  floor.walls.push_back({{in, in}, {W - in, in}, ot, true});
  floor.walls.push_back({{W - in, in}, {W - in, H - in}, ot, true});
  floor.walls.push_back({{W - in, H - in}, {in, H - in}, ot, true});
  floor.walls.push_back({{in, H - in}, {in, in}, ot, true});

  const double innerH = H - 2 * ot;
  const double cw = setup.corridorWidth;
  if (innerH >= cw + 2 * t + 2 * kMinRoomDepth && W - 2 * ot >= setup.roomWidth / 2) {
    // The corridor wanders a little from floor to floor.
    const double slack = (innerH - cw - 2 * t) / 2 - kMinRoomDepth;
    const double shift = rng.uniform(-1.0, 1.0) * std::min(1.0, slack);
    const double yc = H / 2 + shift;
    const double yLow = yc - cw / 2 - t / 2, yHigh = yc + cw / 2 + t / 2;
    std::vector<std::pair<double, double>> southDoors, northDoors;
    AddRoomRow(setup, rng, ot, W - ot, ot, yLow, in, 'S', floor, southDoors);
    AddRoomRow(setup, rng, ot, W - ot, H - ot, yHigh, H - in, 'N', floor, northDoors);
    AddHorizontalWithGaps(yLow, in, W - in, southDoors, t, floor.walls);
    AddHorizontalWithGaps(yHigh, in, W - in, northDoors, t, floor.walls);
    Room corridor;
    corridor.x0 = ot;
    corridor.x1 = W - ot;
    corridor.y0 = yLow + t / 2;
    corridor.y1 = yHigh - t / 2;
    corridor.name = "Corridor";
    corridor.corridor = true;
    floor.rooms.push_back(corridor);
  } else {
    Room hall;
    hall.x0 = ot;
    hall.y0 = ot;
    hall.x1 = W - ot;
    hall.y1 = H - ot;
    hall.name = "Hall";
    floor.rooms.push_back(hall);
  }

  floor.grid = WalkableGrid(W, H, setup.resolution);
  for (const Wall& w : floor.walls) floor.grid.blockSegment(w.a.x, w.a.y, w.b.x, w.b.y, w.thickness / 2);
  // Everything from the outer walls' outer faces to the floor's edge is blocked too.
  floor.grid.blockSegment(0, 0, W, 0, in);
  floor.grid.blockSegment(0, H, W, H, in);
  floor.grid.blockSegment(0, 0, 0, H, in);
  floor.grid.blockSegment(W, 0, W, H, in);
}

}  // namespace venuesim
