// Throughput of the measurement message's text form: writing, reading, and a
// bare tinyxml2 parse of the same text as the yardstick for the reader.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <random>
#include <string>

#include "server/wscan.h"

namespace {

// One navigation tick of a phone in a beacon venue: 20 beacon readings and
// 30 motion sensor samples.
WScanMessage RealisticMessage() {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  WScanMessage m;
  m.mode = 1;
  m.packetNumber = 1234;
  m.deviceType = 2;
  m.deviceId = "00000000-0000-4000-8000-E78F135624CE";
  m.deviceModel = "Pixel 7";
  m.tmYear = 2024;
  m.tmMonth = 6;
  m.tmDay = 11;
  m.tmHour = 9;
  m.tmMinute = 30;
  m.tmSecond = 15;
  m.tmMillisecond = 250;
  for (int i = 0; i < 20; ++i) {
    WScanEntry e;
    e.type = 2;
    char key[64];
    std::snprintf(key, sizeof key, "(00001,%05d,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)", 101 + i);
    e.bssid = key;
    e.rssi = -60.0 - 30.0 * (unit(rng) + 1.0) / 2.0;
    e.power = -59.0;
    e.distance = 2.0 + unit(rng);
    e.offset = 900 - 40 * i;
    m.entries.push_back(e);
  }
  const int kinds[3] = {101, 102, 103};
  for (int i = 0; i < 30; ++i) {
    SensorEntry s;
    s.type = kinds[i % 3];
    s.offset = 990 - 33 * i;
    for (int k = 0; k < 3; ++k) s.values[k] = 10.0 * unit(rng);
    m.sensorEntries.push_back(s);
  }
  return m;
}

const std::string& MessageText() {
  static const std::string text =
      RealisticMessage().toString("0674104e", "9001:1", "14", "2024-06-11 09:30:15");
  return text;
}

void BM_WScanToString(benchmark::State& state) {
  const WScanMessage m = RealisticMessage();
  for (auto _ : state) {
    std::string text = m.toString("0674104e", "9001:1", "14", "2024-06-11 09:30:15");
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(MessageText().size()));
}
BENCHMARK(BM_WScanToString);

void BM_WScanParse(benchmark::State& state) {
  const std::string& text = MessageText();
  for (auto _ : state) {
    bool ok = false;
    WScanMessage m = WScanMessage::parse(text, &ok);
    if (!ok) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(m.entries.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_WScanParse);

void BM_TinyXml2BareParse(benchmark::State& state) {
  const std::string& text = MessageText();
  for (auto _ : state) {
    tinyxml2::XMLDocument doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.Error()) state.SkipWithError("tinyxml2 parse failed");
    benchmark::DoNotOptimize(doc.FirstChildElement());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_TinyXml2BareParse);

}  // namespace

BENCHMARK_MAIN();
