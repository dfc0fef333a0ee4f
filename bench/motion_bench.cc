// Cost of the motion side of a navigation client per second of phone
// sensors at 100 Hz (accelerometer and gyroscope, magnetometer at 50 Hz),
// fed as the client does: one message every 100 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "venuesim/gait.h"
#include "wifipos/motion/pedometer.h"
#include "wifipos/motion/sensor_fusion.h"
#include "wifipos/motion/smoothing.h"

namespace {

constexpr double kSeconds = 60.0;

SensorValue ToValue(const venuesim::MotionSample& m) {
  SensorValue v;
  v.type = m.type;
  v.fillComponents(m.x, m.y, m.z);
  const long ms = std::lround(m.time * 1000.0);
  v.setTime(static_cast<int>(ms / 1000), static_cast<int>(ms % 1000));
  return v;
}

std::vector<std::vector<SensorValue>> Messages(bool accOnly) {
  venuesim::GaitConfig c;
  c.seed = 99;
  const venuesim::GaitRecording rec = venuesim::SimulateWalk(
      c, {venuesim::WalkSegment::Walk(kSeconds / 2, 1.3, M_PI),
          venuesim::WalkSegment::Walk(kSeconds / 2, 1.3, -M_PI)});
  std::vector<std::vector<SensorValue>> out(static_cast<size_t>(kSeconds * 10));
  for (const venuesim::MotionSample& m : rec.merged()) {
    if (accOnly && m.type != 101) continue;
    const size_t k =
        std::min(out.size() - 1, static_cast<size_t>((m.time - c.startTime) * 10.0 + 1e-9));
    out[k].push_back(ToValue(m));
  }
  return out;
}

void BM_PedometerPerSecond(benchmark::State& state) {
  const auto messages = Messages(true);
  for (auto _ : state) {
    Pedometer p(state.range(0) == 1 ? EngineBehaviour::original() : EngineBehaviour::kit());
    p.setAutoDeleteOldMeasurements(true);
    for (auto m : messages) {
      p.updateAccMeasurements(m);
      p.detectSteps();
      while (p.getNumOfSteps() > 0) p.clearFirstStep();
    }
    benchmark::DoNotOptimize(p.getTotalStepsNumber());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSeconds));
  state.SetLabel(state.range(0) == 1 ? "classic; item: one second of samples"
                                     : "kit; item: one second of samples");
}
// Argument 1: classic defaults; 0: the kit's step length model.
BENCHMARK(BM_PedometerPerSecond)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// One message carrying many accelerometer samples stamped with the same time
// (a phone flushing its buffer): the cost must grow linearly with the count.
void BM_PedometerOneMessageSameTime(benchmark::State& state) {
  std::vector<SensorValue> message(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < message.size(); ++i) {
    message[i].type = 101;
    message[i].fillComponents(0.3 * std::sin(0.1 * i), 0.2, 9.81 + std::sin(0.37 * i));
    message[i].setTime(1000, 0);
  }
  for (auto _ : state) {
    Pedometer p(EngineBehaviour::kit());
    p.setAutoDeleteOldMeasurements(true);
    std::vector<SensorValue> m = message;
    p.updateAccMeasurements(m);
    p.detectSteps();
    benchmark::DoNotOptimize(p.getTotalStepsNumber());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_PedometerOneMessageSameTime)
    ->Arg(4000)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond)->Complexity();

void BM_SensorFusionPerSecond(benchmark::State& state) {
  const auto messages = Messages(false);
  for (auto _ : state) {
    SensorFusion f(state.range(0) == 1 ? EngineBehaviour::original() : EngineBehaviour::kit());
    f.setAutoClearOldMeasurements(true);
    bool reset = false;
    f.setMotionState(2, false, reset);
    f.setAccCoef(1e15);
    f.setMagnCoef(1e15);
    double o[3];
    bool computed = false;
    for (auto m : messages) {
      f.updateMeasurements(m);
      benchmark::DoNotOptimize(f.checkRotation(computed));
      f.getFusedOrientation(o);
    }
    benchmark::DoNotOptimize(o[0]);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSeconds));
  state.SetLabel(state.range(0) == 1 ? "classic; item: one second of samples"
                                     : "kit; item: one second of samples");
}
// Argument 1: classic defaults; 0: the kit's attitude filter.
BENCHMARK(BM_SensorFusionPerSecond)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_SmoothingPerSecond(benchmark::State& state) {
  // Three channels at the client's 10 Hz.
  for (auto _ : state) {
    Smoothing s;
    double sum = 0.0;
    for (int k = 0; k < kSeconds * 10; ++k) {
      const double t = 100.0 + 0.1 * k;
      for (int ch = 0; ch < 3; ++ch) {
        s.addData(ch, std::sin(0.3 * t + ch), t);
        sum += s.getValue(ch, t);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSeconds));
  state.SetLabel("item: one second of samples");
}
BENCHMARK(BM_SmoothingPerSecond)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
