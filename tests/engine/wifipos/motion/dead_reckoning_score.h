// Dead reckoning from the motion objects alone, scored against the gait's
// truth: walks of about 100 m with corner turns of 90 degrees, generated from
// a seed, a phone held at a given attitude and a given walker. Every detected
// step moves the estimate by its length along the fused heading of the time
// the step began, as the navigation client does.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "motion_test_util.h"

namespace motiontest {

struct Carriage {
  double pitch = 0.5;  // rad, top edge raised
  double roll = 0.0;   // rad about the long axis
};

struct Walker {
  double speed = 1.2;         // m/s
  double cadenceScale = 1.0;  // steps per second against the typical adult
  double gyroBias = 0.001;    // rad/s
};

// Which way the corners go.
enum class Turns { Right, Left, Mixed };

struct DeadReckoningScore {
  double walked = 0.0;        // m of true steps
  double counted = 0.0;       // m of detected steps
  double distanceError = 0.0; // |counted - walked| / walked
  double worstHeading = 0.0;  // rad, worst mean heading error of a leg after a turn
  double endError = 0.0;      // m
  double worstTurn = 0.0;     // rad, worst error of a corner's heading change
  int turns = 0;
};

// Stand, then legs of 8-20 m with a 90 degree corner after each (on the spot
// or, every third, while walking) until about 100 m, then stand again.
inline std::vector<venuesim::WalkSegment> CornerWalk(uint64_t seed, double speed, Turns turns) {
  using venuesim::WalkSegment;
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> leg(8.0, 20.0);
  std::vector<WalkSegment> out = {WalkSegment::Stand(10.0)};
  double length = 0.0;
  for (int k = 0; length < 100.0; ++k) {
    const double d = std::min(leg(rng), 104.0 - length);
    out.push_back(WalkSegment::Walk(d / speed, speed));
    length += d;
    if (length >= 100.0) break;
    double sign = turns == Turns::Right ? 1.0 : turns == Turns::Left ? -1.0 : (rng() % 2 ? 1.0 : -1.0);
    if (k % 3 == 2) {
      out.push_back(WalkSegment::Walk(2.0, speed, sign * M_PI / 2));
      length += 2.0 * speed;
    } else {
      out.push_back(WalkSegment::Turn(1.5, sign * M_PI / 2));
    }
  }
  out.push_back(WalkSegment::Stand(3.0));
  return out;
}

inline venuesim::GaitConfig CornerWalkConfig(uint64_t seed, const Carriage& c, const Walker& w) {
  venuesim::GaitConfig g;
  g.seed = seed;
  g.startHeading = 0.7;
  g.floorAzimuth = 0.3;
  g.declination = 0.07;
  g.phonePitch = c.pitch;
  g.phoneRoll = c.roll;
  g.cadenceScale = w.cadenceScale;
  g.gyroBias = w.gyroBias;
  return g;
}

// `classic` picks the motion objects' classic defaults.
inline DeadReckoningScore ScoreCornerWalk(uint64_t seed, const Carriage& carriage,
                                          const Walker& walker, Turns turns, bool classic) {
  const venuesim::GaitConfig g = CornerWalkConfig(seed, carriage, walker);
  const std::vector<venuesim::WalkSegment> segs = CornerWalk(seed, walker.speed, turns);
  const venuesim::GaitRecording rec = venuesim::SimulateWalk(g, segs);
  MotionLoop loop(classic ? EngineBehaviour::original() : EngineBehaviour::kit(), g.floorAzimuth, g.declination);
  loop.fusion.setProperties({1.0, 1.0, 1.0});  // what generated archives carry

  // Time spans of the straight legs (1 s in, to their end).
  std::vector<std::pair<double, double>> legs;
  double t = g.startTime;
  for (const venuesim::WalkSegment& seg : segs) {
    if (seg.kind == venuesim::SegmentKind::Walk && seg.turn == 0.0)
      legs.push_back({t + 1.0, t + seg.duration});
    t += seg.duration;
  }
  DeadReckoningScore s;
  s.turns = static_cast<int>(legs.size()) - 1;
  std::vector<double> legError(legs.size(), 0.0), legCount(legs.size(), 0.0);
  double x = 0.0, y = 0.0;
  for (std::vector<SensorValue>& m : Messages(rec)) {
    const TrackPoint p = loop.step(m);
    for (; loop.pedometer.getNumOfSteps() > 0; loop.pedometer.clearFirstStep()) {
      const double len = loop.pedometer.getStepLength(0);
      const double heading = loop.fusion.headingAt(loop.pedometer.getStepTime(0));
      s.counted += len;
      x += len * std::sin(heading);
      y += len * std::cos(heading);
    }
    for (size_t k = 0; k < legs.size(); ++k)
      if (p.time >= legs[k].first && p.time <= legs[k].second) {
        legError[k] += AngleDiff(p.heading, rec.headingAt(p.time).deviceHeading);
        legCount[k] += 1.0;
      }
  }
  // The phone sways a degree or two with every stride; what moves the
  // estimate off the path is the heading held over a leg.
  for (size_t k = 0; k < legs.size(); ++k) legError[k] /= std::max(legCount[k], 1.0);
  for (size_t k = 1; k < legs.size(); ++k) {
    s.worstHeading = std::max(s.worstHeading, std::fabs(legError[k]));
    s.worstTurn = std::max(s.worstTurn, std::fabs(legError[k] - legError[k - 1]));
  }
  double tx = 0.0, ty = 0.0;
  for (const venuesim::StepTruth& st : rec.steps) {
    s.walked += st.length;
    tx += st.length * std::sin(st.heading);
    ty += st.length * std::cos(st.heading);
  }
  s.distanceError = std::fabs(s.counted - s.walked) / s.walked;
  s.endError = std::hypot(x - tx, y - ty);
  return s;
}

}  // namespace motiontest
