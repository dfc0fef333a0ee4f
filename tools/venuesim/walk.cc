#include "venuesim/walk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "cli/outputs.h"
#include "venuesim/gait.h"
#include "venuesim/rng.h"

namespace venuesim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint64_t kRouteTag = 0x524F555445ULL;
constexpr uint64_t kRadioTag = 0x524144494FULL;
constexpr uint64_t kGaitTag = 0x47414954ULL;
constexpr double kGaitStart = 1000.0;  // seconds; the motion simulator wants a positive start
constexpr double kDoorInset = 1.0;    // metres from the door into the room
constexpr double kRoomMargin = 1.0;   // a standing place keeps this far from a room's walls
constexpr double kCorridorClear = 0.3;
constexpr double kCheckStep = 0.05;   // metres between walkability checks along a stretch
constexpr double kCadenceHz = 1.8;    // steps per second on the level
constexpr double kStairCadenceHz = 1.4;

double HeadingOf(Point a, Point b) { return WrapHeading(std::atan2(b.x - a.x, b.y - a.y)); }

double Dist(Point a, Point b) { return std::hypot(b.x - a.x, b.y - a.y); }

// A room with its door into the corridor.
struct RoomDoor {
  const Room* room = nullptr;
  Point door;    // middle of the door gap, on the wall's centre line
  Point inner;   // a little way into the room from the door
  Point centre;  // a standing place inside the room
};

const Room* FindCorridor(const VenueFloor& floor) {
  for (const Room& r : floor.rooms) {
    if (r.corridor) return &r;
  }
  return nullptr;
}

// Finds the door of every room that opens onto the corridor by scanning the
// corridor wall for its walkable gap.
std::vector<RoomDoor> FindDoors(const VenueFloor& floor, const Room& corridor) {
  std::vector<RoomDoor> doors;
  const double eps = 0.5;
  const double res = 1.0 / std::max(1.0, floor.grid.pixelsPerMeterX());
  for (const Room& r : floor.rooms) {
    if (r.corridor) continue;
    const bool south = r.y1 <= corridor.y0 + eps;
    const bool north = r.y0 >= corridor.y1 - eps;
    if (!south && !north) continue;
    const double wallY = south ? (r.y1 + corridor.y0) / 2 : (corridor.y1 + r.y0) / 2;
    double bestStart = 0, bestLen = 0, runStart = 0;
    bool inRun = false;
    for (double x = r.x0; x <= r.x1 + 1e-9; x += res / 2) {
      const bool open = floor.grid.walkable(x, wallY);
      if (open && !inRun) {
        inRun = true;
        runStart = x;
      }
      if ((!open || x + res / 2 > r.x1 + 1e-9) && inRun) {
        inRun = false;
        const double len = (open ? x : x - res / 2) - runStart;
        if (len > bestLen) {
          bestLen = len;
          bestStart = runStart;
        }
      }
    }
    if (bestLen < 0.5) continue;
    const double depth = r.y1 - r.y0;
    if (depth < 2 * kRoomMargin || r.x1 - r.x0 < 2 * kRoomMargin) continue;
    RoomDoor d;
    d.room = &r;
    d.door = {bestStart + bestLen / 2, wallY};
    d.inner = {d.door.x, south ? wallY - std::min(kDoorInset, depth / 2) : wallY + std::min(kDoorInset, depth / 2)};
    d.centre = {(r.x0 + r.x1) / 2, (r.y0 + r.y1) / 2};
    doors.push_back(d);
  }
  return doors;
}

bool StretchWalkable(const WalkableGrid& grid, Point a, Point b) {
  const double len = Dist(a, b);
  const int n = std::max(1, static_cast<int>(std::ceil(len / kCheckStep)));
  for (int i = 0; i <= n; ++i) {
    const double f = static_cast<double>(i) / n;
    if (!grid.walkable(a.x + f * (b.x - a.x), a.y + f * (b.y - a.y))) return false;
  }
  return true;
}

// A point clear on both floors, searched from `preferred` outwards.
bool FindClearPoint(const VenueFloor& a, const VenueFloor& b, Point preferred, double radius, Point* out) {
  const double W = a.grid.widthMeters(), H = a.grid.heightMeters();
  for (double r = 0; r < std::max(W, H); r += 0.25) {
    for (int k = 0; k < 16; ++k) {
      const double ang = 2 * kPi * k / 16;
      const Point p{preferred.x + r * std::sin(ang), preferred.y + r * std::cos(ang)};
      if (a.grid.clear(p.x, p.y, radius) && b.grid.clear(p.x, p.y, radius)) {
        *out = p;
        return true;
      }
      if (r == 0) break;
    }
  }
  return false;
}

struct Plan {
  std::vector<Point> before;  // start floor, ending where the floor change starts
  std::vector<Point> after;   // end floor, starting where the floor change ends
  Point changeFrom, changeTo;
};

// The corridor route: start room, its door, the corridor (at a height that
// lies in the corridors of both floors) to the floor change, then the
// corridor of the end floor to another room's door and into that room.
bool PlanCorridorRoute(const Venue& venue, const WalkSpec& setup, Rng& rng, Plan* plan, std::string* error) {
  const VenueFloor& fa = venue.floors[setup.startFloor];
  const VenueFloor& fb = venue.floors[setup.endFloor];
  const Room* ca = FindCorridor(fa);
  const Room* cb = FindCorridor(fb);
  const std::vector<RoomDoor> da = FindDoors(fa, *ca), db = FindDoors(fb, *cb);
  if (da.empty() || db.empty()) {
    *error = "walk: no room with a door into the corridor";
    return false;
  }
  const double y0 = std::max(ca->y0, cb->y0), y1 = std::min(ca->y1, cb->y1);
  if (y1 - y0 < 2 * kCorridorClear + 0.2) {
    *error = "walk: the corridors of the two floors do not overlap";
    return false;
  }
  const double yc = (y0 + y1) / 2;
  const double x0 = std::max(ca->x0, cb->x0), x1 = std::min(ca->x1, cb->x1);
  const bool changeFloor = setup.startFloor != setup.endFloor;
  const double flight = changeFloor && setup.floorChange == kByStairs ? setup.stairLength : 0.0;

  const RoomDoor& start = da[static_cast<size_t>(rng.uniformInt(0, static_cast<int>(da.size()) - 1))];
  // Head for the farther end of the corridor, so the walk has a long stretch.
  const bool east = start.door.x < (x0 + x1) / 2;
  const double endX = east ? x1 - 1.5 : x0 + 1.5;
  const double dir = east ? 1.0 : -1.0;
  Point changeTo{endX, yc};
  Point changeFrom{endX - dir * flight, yc};
  if (!changeFloor) changeFrom = changeTo;
  // Nudge the change point off anything blocking it on either floor.
  if (!fa.grid.clear(changeFrom.x, changeFrom.y, kCorridorClear) ||
      !fb.grid.clear(changeTo.x, changeTo.y, kCorridorClear)) {
    *error = "walk: no clear floor-change point at the corridor end";
    return false;
  }

  // The end room: the walk turns back along the end floor's corridor to a
  // door at least a few metres from the floor change.
  std::vector<const RoomDoor*> candidates;
  for (const RoomDoor& d : db) {
    if (std::fabs(d.door.x - changeTo.x) >= 8.0 && (!changeFloor ? d.room != start.room : true)) candidates.push_back(&d);
  }
  if (candidates.empty()) {
    for (const RoomDoor& d : db) candidates.push_back(&d);
  }
  const RoomDoor& end = *candidates[static_cast<size_t>(rng.uniformInt(0, static_cast<int>(candidates.size()) - 1))];

  plan->before = {start.centre, start.inner, start.door, {start.door.x, yc}, changeFrom};
  plan->after = {changeTo, {end.door.x, yc}, end.door, end.inner, end.centre};
  plan->changeFrom = changeFrom;
  plan->changeTo = changeTo;
  return true;
}

// Open halls: straight lines between clear points.
bool PlanHallRoute(const Venue& venue, const WalkSpec& setup, Rng& rng, Plan* plan, std::string* error) {
  const VenueFloor& fa = venue.floors[setup.startFloor];
  const VenueFloor& fb = venue.floors[setup.endFloor];
  const double W = fa.grid.widthMeters(), H = fa.grid.heightMeters();
  Point a, change, b;
  if (!FindClearPoint(fa, fa, {W * rng.uniform(0.15, 0.35), H * rng.uniform(0.25, 0.75)}, 0.5, &a) ||
      !FindClearPoint(fa, fb, {W * 0.7, H * 0.5}, 0.5, &change) ||
      !FindClearPoint(fb, fb, {W * rng.uniform(0.2, 0.5), H * rng.uniform(0.25, 0.75)}, 0.5, &b)) {
    *error = "walk: no clear places in the hall";
    return false;
  }
  Point changeTo = change;
  if (setup.startFloor != setup.endFloor && setup.floorChange == kByStairs) {
    changeTo = {change.x + setup.stairLength, change.y};
    if (changeTo.x > W - 1.0) changeTo.x = change.x - setup.stairLength;
  }
  plan->before = {a, {a.x, change.y}, change};
  plan->after = {changeTo, {b.x, changeTo.y}, b};
  plan->changeFrom = change;
  plan->changeTo = changeTo;
  return true;
}

void RemoveRepeats(std::vector<Point>& pts) {
  std::vector<Point> out;
  for (const Point& p : pts) {
    if (out.empty() || Dist(out.back(), p) > 1e-6) out.push_back(p);
  }
  pts.swap(out);
}

// Appends walking stretches along the points, with a turn on the spot at
// every corner; `heading` is the heading on arrival and is updated.
void AddLegs(const std::vector<Point>& pts, int floor, double speed, const WalkSpec& setup, double& t,
             double& heading, std::vector<WalkStretch>& segs) {
  for (size_t i = 1; i < pts.size(); ++i) {
    const double h = HeadingOf(pts[i - 1], pts[i]);
    const double turn = WrapHeading(h - heading);
    if (std::fabs(turn) > 0.05) {
      WalkStretch s;
      s.kind = WalkStretch::kTurn;
      s.start = t;
      s.duration = std::fabs(turn) / setup.turnRate;
      s.floor = s.floorAfter = floor;
      s.from = s.to = pts[i - 1];
      s.headingFrom = heading;
      s.headingTo = heading + turn;
      segs.push_back(s);
      t += s.duration;
    }
    WalkStretch s;
    s.kind = WalkStretch::kWalk;
    s.start = t;
    s.duration = Dist(pts[i - 1], pts[i]) / speed;
    s.floor = s.floorAfter = floor;
    s.from = pts[i - 1];
    s.to = pts[i];
    s.headingFrom = s.headingTo = h;
    segs.push_back(s);
    t += s.duration;
    heading = h;
  }
}

TruthSample SampleAt(const std::vector<WalkStretch>& segs, double t) {
  size_t i = 0;
  while (i + 1 < segs.size() && segs[i + 1].start <= t) ++i;
  const WalkStretch& s = segs[i];
  const double f = s.duration > 0 ? std::clamp((t - s.start) / s.duration, 0.0, 1.0) : 1.0;
  TruthSample out;
  out.floor = f < 0.5 ? s.floor : s.floorAfter;
  out.x = s.from.x + f * (s.to.x - s.from.x);
  out.y = s.from.y + f * (s.to.y - s.from.y);
  out.heading = WrapHeading(s.headingFrom + f * (s.headingTo - s.headingFrom));
  return out;
}

// The phone's motion sensors along the stretches: walking, standing (also in
// the lift) and turning on the spot.
GaitRecording SimulateGait(const VenueSpec& venue, const WalkSpec& setup, const std::vector<WalkStretch>& stretches) {
  GaitConfig cfg;
  cfg.seed = DeriveSeed(setup.seed, {kGaitTag});
  cfg.startTime = kGaitStart;
  cfg.startHeading = stretches.empty() ? 0.0 : stretches.front().headingFrom;
  cfg.floorAzimuth = venue.azimuth * kPi / 180.0;
  cfg.declination = venue.magneticDeclination * kPi / 180.0;
  cfg.accRate = cfg.gyroRate = setup.sensorRateHz;
  cfg.magnRate = setup.sensorRateHz / 2;
  cfg.phonePitch = setup.phonePitch;
  cfg.phoneRoll = setup.phoneRoll;
  cfg.cadenceScale = setup.stepLength > 0.0
                         ? setup.speed / setup.stepLength / StepFrequencyForSpeed(setup.speed)
                         : setup.cadenceScale;
  cfg.legLength = setup.legLength;
  cfg.swing = setup.swing;
  cfg.swayScale = setup.phoneSway;
  cfg.gyroBias = setup.gyroBias;
  std::vector<WalkSegment> segments;
  for (const WalkStretch& s : stretches) {
    if (!(s.duration > 0)) continue;
    switch (s.kind) {
      case WalkStretch::kWalk:
        segments.push_back(WalkSegment::Walk(s.duration, Dist(s.from, s.to) / s.duration));
        break;
      case WalkStretch::kTurn:
        segments.push_back(WalkSegment::Turn(s.duration, s.headingTo - s.headingFrom));
        break;
      default:
        segments.push_back(WalkSegment::Stand(s.duration));
    }
  }
  return SimulateWalk(cfg, segments);
}

// Puts every sample into the first tick at or after its time, with its
// offset before that tick's message time.
void DealSamples(const GaitRecording& gait, int64_t tickMs, std::vector<WalkTick>& ticks) {
  if (ticks.empty()) return;
  for (const MotionSample& m : gait.merged()) {
    const int64_t ms = std::llround((m.time - kGaitStart) * 1000.0);
    if (ms < 0) continue;
    const int64_t k = (ms + tickMs - 1) / tickMs;
    if (k >= static_cast<int64_t>(ticks.size())) break;
    SensorSample s;
    s.type = m.type;
    s.offsetMs = k * tickMs - ms;
    s.values[0] = m.x;
    s.values[1] = m.y;
    s.values[2] = m.z;
    ticks[static_cast<size_t>(k)].sensors.push_back(s);
  }
}

const char* SensorName(int type) {
  switch (type) {
    case 101: return "ACCELEROMETER";
    case 102: return "MAGNETOMETER";
    case 103: return "GYROSCOPE";
    case 105: return "LOCATION";  // the world's location fixes
    default: return "";
  }
}

}  // namespace

double WrapHeading(double a) {
  if (!std::isfinite(a)) return 0.0;
  double w = std::fmod(a + kPi, 2 * kPi);
  if (w < 0) w += 2 * kPi;
  w -= kPi;
  return w >= kPi ? -kPi : w;
}

int GenerateWalk(const Venue& venue, const PropagationModel& model, const WalkSpec& setup, Walk* walk,
                 std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  *walk = Walk();
  const int nf = static_cast<int>(venue.floors.size());
  if (setup.startFloor < 0 || setup.startFloor >= nf || setup.endFloor < 0 || setup.endFloor >= nf) {
    *error = "walk: floor index out of range";
    return kBadSpec;
  }
  if (!(setup.speed > 0.05 && setup.speed < 5) || !(setup.stairSpeed > 0.05 && setup.stairSpeed < 5) ||
      !(setup.tickSeconds >= 0.01 && setup.tickSeconds <= 10) || !(setup.standSeconds >= 0 && setup.standSeconds < 3600) ||
      !(setup.endStandSeconds >= 0 && setup.endStandSeconds < 3600) || !(setup.liftSeconds > 0 && setup.liftSeconds < 600) ||
      !(setup.stairLength >= 0 && setup.stairLength < 50) || !(setup.turnRate > 0.1) ||
      !(setup.sensorRateHz >= 1 && setup.sensorRateHz <= 1000) || setup.startMs < 0) {
    *error = "walk: speed, time or rate out of range";
    return kBadSpec;
  }
  if (!(std::fabs(setup.phonePitch) <= kPi) || !(std::fabs(setup.phoneRoll) <= kPi) ||
      !(setup.cadenceScale >= 0.5 && setup.cadenceScale <= 2.0) ||
      !(setup.legLength >= 0.5 && setup.legLength <= 1.3) ||
      !(setup.gyroBias >= 0 && setup.gyroBias < 1) ||
      !(setup.stepLength == 0 || (setup.stepLength >= 0.3 && setup.stepLength <= 1.2 &&
                                  setup.speed / setup.stepLength >= 0.5 && setup.speed / setup.stepLength <= 4.0)) ||
      !(setup.swing >= 0 && setup.swing <= 10) || !(setup.phoneSway >= 0 && setup.phoneSway <= 5)) {
    *error = "walk: phone attitude or walker out of range";
    return kBadSpec;
  }
  walk->setup = setup;
  Rng rng(DeriveSeed(setup.seed, {kRouteTag}));
  Plan plan;
  const bool corridors = FindCorridor(venue.floors[setup.startFloor]) && FindCorridor(venue.floors[setup.endFloor]);
  const bool ok = corridors ? PlanCorridorRoute(venue, setup, rng, &plan, error)
                            : PlanHallRoute(venue, setup, rng, &plan, error);
  if (!ok) return kBadSpec;
  RemoveRepeats(plan.before);
  RemoveRepeats(plan.after);
  const VenueFloor& fa = venue.floors[setup.startFloor];
  const VenueFloor& fb = venue.floors[setup.endFloor];
  for (size_t i = 1; i < plan.before.size(); ++i) {
    if (!StretchWalkable(fa.grid, plan.before[i - 1], plan.before[i])) {
      *error = "walk: planned route leaves the walkable area of the start floor";
      return kBadSpec;
    }
  }
  for (size_t i = 1; i < plan.after.size(); ++i) {
    if (!StretchWalkable(fb.grid, plan.after[i - 1], plan.after[i])) {
      *error = "walk: planned route leaves the walkable area of the end floor";
      return kBadSpec;
    }
  }
  const bool changeFloor = setup.startFloor != setup.endFloor;
  if (changeFloor && (!StretchWalkable(fa.grid, plan.changeFrom, plan.changeTo) ||
                      !StretchWalkable(fb.grid, plan.changeFrom, plan.changeTo))) {
    *error = "walk: the floor change is not walkable on both floors";
    return kBadSpec;
  }
  walk->waypoints[0] = plan.before;
  walk->waypoints[1] = plan.after;
  walk->stairsFrom = plan.changeFrom;
  walk->stairsTo = plan.changeTo;

  // Timeline.
  std::vector<WalkStretch>& segs = walk->stretches;
  double t = 0.0;
  double heading = plan.before.size() > 1 ? HeadingOf(plan.before[0], plan.before[1]) : 0.0;
  WalkStretch stand;
  stand.kind = WalkStretch::kStand;
  stand.duration = setup.standSeconds;
  stand.floor = stand.floorAfter = setup.startFloor;
  stand.from = stand.to = plan.before.front();
  stand.headingFrom = stand.headingTo = heading;
  segs.push_back(stand);
  t += stand.duration;
  AddLegs(plan.before, setup.startFloor, setup.speed, setup, t, heading, segs);
  if (changeFloor) {
    if (setup.floorChange == kByStairs && Dist(plan.changeFrom, plan.changeTo) > 1e-6) {
      std::vector<WalkStretch> flight;
      AddLegs({plan.changeFrom, plan.changeTo}, setup.startFloor, setup.stairSpeed, setup, t, heading, flight);
      for (WalkStretch& s : flight) {
        if (s.kind == WalkStretch::kWalk) {
          s.floorAfter = setup.endFloor;
          s.stairs = true;
        }
        segs.push_back(s);
      }
    } else {
      WalkStretch lift;
      lift.kind = WalkStretch::kStand;
      lift.start = t;
      lift.duration = setup.liftSeconds;
      lift.floor = setup.startFloor;
      lift.floorAfter = setup.endFloor;
      lift.from = lift.to = plan.changeTo;
      lift.headingFrom = lift.headingTo = heading;
      segs.push_back(lift);
      t += lift.duration;
    }
  }
  AddLegs(plan.after, setup.endFloor, setup.speed, setup, t, heading, segs);
  WalkStretch last;
  last.kind = WalkStretch::kStand;
  last.start = t;
  last.duration = setup.endStandSeconds;
  last.floor = last.floorAfter = setup.endFloor;
  last.from = last.to = plan.after.back();
  last.headingFrom = last.headingTo = heading;
  segs.push_back(last);
  t += last.duration;

  double steps = 0.0;
  for (const WalkStretch& s : segs) {
    if (s.kind == WalkStretch::kWalk) steps += s.duration * (s.stairs ? kStairCadenceHz : kCadenceHz);
  }
  walk->trueSteps = static_cast<int>(std::lround(steps));
  GaitRecording gait;
  if (setup.sensors) {
    gait = SimulateGait(venue.setup, setup, segs);
    walk->trueSteps = static_cast<int>(gait.steps.size());
  }

  // Ticks and the radio readings along them.
  const int64_t tickMs = static_cast<int64_t>(std::llround(setup.tickSeconds * 1000.0));
  const int64_t count = static_cast<int64_t>(std::floor(t * 1000.0 / static_cast<double>(tickMs) + 1e-9)) + 1;
  std::vector<WalkPoint> path;
  path.reserve(static_cast<size_t>(count));
  walk->ticks.reserve(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    const double tk = static_cast<double>(k * tickMs) / 1000.0;
    WalkTick tick;
    tick.timeMs = setup.startMs + k * tickMs;
    tick.truth = SampleAt(segs, tk);
    tick.truth.time = static_cast<double>(tick.timeMs) / 1000.0;
    tick.truth.floorId = venue.floors[static_cast<size_t>(tick.truth.floor)].id;
    tick.truth.packet = static_cast<int>(k);
    walk->ticks.push_back(std::move(tick));
    path.push_back({tk, walk->ticks.back().truth.floor, walk->ticks.back().truth.x, walk->ticks.back().truth.y});
  }
  const RadioWalkOptions radio = RadioWalkOptions::FromSpec(venue.setup, DeriveSeed(setup.seed, {kRadioTag}));
  std::vector<RadioTick> heard = SimulateRadioWalk(model, path, radio);
  for (size_t k = 0; k < heard.size() && k < walk->ticks.size(); ++k) {
    walk->ticks[k].readings = std::move(heard[k].readings);
  }
  if (setup.sensors) DealSamples(gait, tickMs, walk->ticks);
  return kOk;
}

std::string WalkMessageText(const Walk& walk, size_t index) {
  std::string out;
  if (index >= walk.ticks.size()) return out;
  const WalkTick& tick = walk.ticks[index];
  const int64_t ms = tick.timeMs;
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  out.reserve(256 + 160 * (tick.readings.size() + tick.sensors.size()));
  cli::Appendf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<message request=\"navigate\" packetNumber=\"%d\">\n",
          tick.truth.packet);
  cli::Appendf(out,
          "  <device type=\"android\" osVersion=\"\" model=\"%s\" id=\"%s\" buildVersion=\"\" location=\"\" "
          "checkPoint=\"\" time=\"%04d-%02d-%02d %02d:%02d:%02d.%03d\" serverTime=\"\"/>\n",
          walk.setup.deviceModel.c_str(), walk.setup.deviceId.c_str(), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
          tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  out += "  <entries>\n";
  for (const RadioReading& r : tick.readings) {
    cli::Appendf(out, "    <entry type=\"BEACON\" bssid=\"%s\" rssi=\"%.2f\" power=\"%.2f\" distance=\"%.2f\" offset=\"%lld\"/>\n",
            r.key.c_str(), r.rssi, 0.0, 0.0, static_cast<long long>(r.offsetMs));
  }
  out += "  </entries>\n  <sensors>\n";
  for (const SensorSample& s : tick.sensors) {
    cli::Appendf(out, "    <sensor type=\"%s\" values=\"(%lf, %lf, %lf, %lf)\" offset=\"%lld\"/>\n", SensorName(s.type),
            s.values[0], s.values[1], s.values[2], s.values[3], static_cast<long long>(s.offsetMs));
  }
  out += "  </sensors>\n</message>\n";
  return out;
}

std::string WalkLogText(const Walk& walk) {
  std::string out;
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    out += WalkMessageText(walk, i);
    out += "\n";
  }
  return out;
}

std::string WalkTruthCsv(const Walk& walk) {
  std::string out = "time,floor_id,x,y,packet,heading\n";
  for (const WalkTick& t : walk.ticks) {
    cli::Appendf(out, "%.3f,%d,%.3f,%.3f,%d,%.4f\n", t.truth.time, t.truth.floorId, t.truth.x, t.truth.y, t.truth.packet,
            t.truth.heading);
  }
  return out;
}

int WriteWalkFiles(const Walk& walk, const std::string& logPath, const std::string& truthPath, std::string* error) {
  const std::pair<const std::string*, std::string> files[] = {{&logPath, WalkLogText(walk)},
                                                              {&truthPath, WalkTruthCsv(walk)}};
  for (const auto& f : files) {
    if (const std::string why = cli::WriteWholeFile(*f.first, f.second); !why.empty()) {
      if (error) *error = "walk: cannot write " + *f.first + ": " + why;
      return kWriteError;
    }
  }
  return kOk;
}

}  // namespace venuesim
