// Download throughput and peak memory: the engine's URL loader against
// libcurl, both fetching the same 100 MB file from nginx on 127.0.0.1 over
// HTTP and HTTPS in the same run. Counters: MB/s as bytes_per_second, and
// peak_rss_MB, the rise of the process's peak resident memory during one
// download (measured with the peak reset before it).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "peers.h"
#include "server/content/content_helper.h"
#include "server/content/content_helper_ssl.h"

namespace {

constexpr size_t kFileBytes = 100u << 20;

struct Setup {
  peers::TempDir certs, root, out;
  std::string ca;
  std::unique_ptr<peers::Nginx> nginx;
  Setup() {
    peers::MakeCertificates(certs.path(), kMarvistoServiceName);
    ca = peers::ReadFile(certs.file("ca.pem"));
    MARVISTO_CA_LIST = ca.c_str();
    std::string data(kFileBytes, '\0');
    std::mt19937_64 rng(5);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(&data[i], &v, 8);
    }
    peers::WriteFile(root.file("big.bin"), data);
    nginx = std::make_unique<peers::Nginx>(root.path(), certs.path(), 0, false);
  }
  std::string url(bool tls) const {
    return tls ? "https://127.0.0.1:" + std::to_string(nginx->tlsPort()) + "/big.bin"
               : "http://127.0.0.1:" + std::to_string(nginx->port()) + "/big.bin";
  }
  static Setup& get() {
    static Setup s;
    return s;
  }
};

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return 0;
}

// Resets the peak resident size to the current one; returns the current one.
long ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
  return StatusKb("VmRSS:");
}

void Report(benchmark::State& state, double peakMb) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileBytes);
  state.counters["peak_rss_MB"] = benchmark::Counter(peakMb, benchmark::Counter::kAvgIterations);
}

void BM_EngineDownload(benchmark::State& state) {
  Setup& s = Setup::get();
  const bool tls = state.range(0) != 0;
  double peak = 0;
  for (auto _ : state) {
    const long base = ResetPeak();
    const int id = StartUrlLoader(s.url(tls), s.out.file("engine.bin"));
    int st = 0;
    while ((st = CheckLocationLoader(id)) < 100 && st >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (st != 100) state.SkipWithError("download failed");
    peak += (StatusKb("VmHWM:") - base) / 1024.0;
    StopLocationLoader(id);  // frees the kept response
  }
  Report(state, peak);
}

size_t WriteFile(char* data, size_t size, size_t n, void* file) {
  return std::fwrite(data, size, n, static_cast<FILE*>(file));
}

void BM_CurlDownload(benchmark::State& state) {
  Setup& s = Setup::get();
  const bool tls = state.range(0) != 0;
  double peak = 0;
  for (auto _ : state) {
    const long base = ResetPeak();
    FILE* f = std::fopen(s.out.file("curl.bin").c_str(), "wb");
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, s.url(tls).c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, s.certs.file("ca.pem").c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteFile);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, f);
    if (curl_easy_perform(c) != CURLE_OK) state.SkipWithError("curl failed");
    curl_easy_cleanup(c);
    std::fclose(f);
    peak += (StatusKb("VmHWM:") - base) / 1024.0;
  }
  Report(state, peak);
}

BENCHMARK(BM_EngineDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_CurlDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
