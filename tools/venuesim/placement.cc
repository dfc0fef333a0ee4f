#include "venuesim/placement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "venuesim/layout.h"

namespace venuesim {
namespace {

constexpr double kWallClearance = 0.15;  // metres between a wall's face and what is mounted on it

// Nearest wall piece to (x, y) and the distance to its centre line.
const Wall* NearestWall(const std::vector<Wall>& walls, double x, double y, double* dist) {
  const Wall* best = nullptr;
  *dist = 1e300;
  for (const Wall& w : walls) {
    const double dx = w.b.x - w.a.x, dy = w.b.y - w.a.y;
    const double len2 = dx * dx + dy * dy;
    const double t = len2 > 0 ? std::clamp(((x - w.a.x) * dx + (y - w.a.y) * dy) / len2, 0.0, 1.0) : 0.0;
    const double d = std::hypot(w.a.x + t * dx - x, w.a.y + t * dy - y);
    if (d < *dist) {
      *dist = d;
      best = &w;
    }
  }
  return best;
}

void SetPosition(const VenueSpec& setup, double x, double y, double* outX, double* outY, double* kx, double* ky) {
  *kx = QuantizeFraction(std::clamp(x / setup.width, 0.0, 1.0));
  *ky = QuantizeFraction(std::clamp(y / setup.height, 0.0, 1.0));
  *outX = *kx * setup.width;
  *outY = *ky * setup.height;
}

}  // namespace

double QuantizeFraction(double k) { return std::round(k * 1e6) / 1e6; }

void PlaceBeacons(const VenueSpec& setup, int floorIndex, const std::string& uuid, Rng& rng, VenueFloor& floor) {
  const double W = setup.width, H = setup.height, S = setup.beaconSpacing;
  const int nx = std::max(1, static_cast<int>(std::lround(W / S)));
  const int ny = std::max(1, static_cast<int>(std::lround(H / S)));
  const double edge = OuterWallThickness(setup) + kWallClearance;
  floor.beacons.clear();
  int count = 0;
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) {
      double x = (i + 0.5) * W / nx + rng.uniform(-0.1, 0.1) * std::min(S, W / nx);
      double y = (j + 0.5) * H / ny + rng.uniform(-0.1, 0.1) * std::min(S, H / ny);
      bool onWall = false;
      // A corner may need a move off each of its two walls.
      for (int tries = 0; tries < 3; ++tries) {
        double d = 0;
        const Wall* w = NearestWall(floor.walls, x, y, &d);
        const double need = w ? w->thickness / 2 + kWallClearance : 0.0;
        if (!w || d >= need - 1e-9) break;
        onWall = true;
        if (std::fabs(w->a.y - w->b.y) < 1e-12) {
          y = w->a.y + (y >= w->a.y ? need : -need);
        } else {
          x = w->a.x + (x >= w->a.x ? need : -need);
        }
        x = std::clamp(x, edge, W - edge);
        y = std::clamp(y, edge, H - edge);
      }
      VenueBeacon b;
      SetPosition(setup, x, y, &b.x, &b.y, &b.kx, &b.ky);
      ++count;
      b.onWall = onWall;
      b.major = floor.id;
      b.minor = count;
      b.baseId = floor.id * 100000 + count;
      b.uuid = uuid;
      char name[48];
      std::snprintf(name, sizeof name, "F%d-B%03d", floorIndex + 1, count);
      b.name = name;
      b.A = std::round((setup.txA + rng.normal() * setup.beaconAJitter) * 100.0) / 100.0;
      b.B = std::max(0.5, setup.txB + rng.normal() * setup.beaconBJitter);
      b.power = static_cast<int>(std::lround(b.A));
      b.battery = rng.uniformInt(60, 100);
      floor.beacons.push_back(b);
    }
  }
}

void PlaceReferencePoints(const VenueSpec& setup, VenueFloor& floor) {
  const double s = setup.rpSpacing;
  floor.points.clear();
  int count = 0;
  for (const Room& room : floor.rooms) {
    const double w = room.x1 - room.x0, h = room.y1 - room.y0;
    if (w <= 0 || h <= 0) continue;
    const int nx = std::max(1, static_cast<int>(std::lround(w / s)));
    const int ny = std::max(1, static_cast<int>(std::lround(h / s)));
    for (int j = 0; j < ny; ++j) {
      for (int i = 0; i < nx; ++i) {
        SurveyPoint p;
        SetPosition(setup, room.x0 + (i + 0.5) * w / nx, room.y0 + (j + 0.5) * h / ny, &p.x, &p.y, &p.kx, &p.ky);
        // Keep a pixel of margin so the point stays walkable however it is rounded.
        if (!floor.grid.walkable(p.x, p.y) || !floor.grid.clear(p.x, p.y, setup.resolution)) continue;
        ++count;
        char name[64];
        std::snprintf(name, sizeof name, "F%d-%s-RP%04d", floor.id, room.name.c_str(), count);
        p.name = name;
        floor.points.push_back(p);
      }
    }
  }
}

}  // namespace venuesim
