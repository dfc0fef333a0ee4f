// One particle of the particle filter: a candidate position and heading on
// the current floor with its weight. A weight of exactly 0 marks a dead
// particle that corrections and moves pass over.
#pragma once

struct Particle {
  double x = 0.0;       // floor metres
  double y = 0.0;       // floor metres
  double angle = 0.0;   // heading, radians
  double weight = 0.0;
};
