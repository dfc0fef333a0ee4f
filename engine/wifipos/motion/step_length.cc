#include "wifipos/motion/step_length.h"

#include <algorithm>
#include <cmath>

namespace steplength {

double StrideAmplitude(const std::deque<SensorValue>& samples, size_t last, double period) {
  if (last >= samples.size() || !(period > 0.0)) return 0.0;
  const double t0 = samples[last].getTimeInSeconds();
  const double omega = 2.0 * M_PI / period;
  // Sums over the window; times relative to its end keep the phases exact
  // however large the clock.
  double n = 0.0, sm = 0.0, sc = 0.0, ss = 0.0, smc = 0.0, sms = 0.0;
  for (size_t k = last + 1; k-- > 0;) {
    const double dt = samples[k].getTimeInSeconds() - t0;
    if (!(dt > -period)) break;
    const double m = samples[k].magnitude;
    const double c = std::cos(omega * dt), s = std::sin(omega * dt);
    n += 1.0;
    sm += m;
    sc += c;
    ss += s;
    smc += m * c;
    sms += m * s;
  }
  if (n < 4.0) return 0.0;
  const double mean = sm / n;
  const double re = smc - mean * sc, im = sms - mean * ss;
  return 2.0 / n * std::hypot(re, im);
}

double Length(double amplitude, double period, double gain) {
  if (!(amplitude > 0.0) || !(period > 0.0) || !(gain > 0.0)) return 0.0;
  return std::min(gain * std::sqrt(amplitude) * period, kMaxLength);
}

}  // namespace steplength
