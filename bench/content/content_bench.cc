// Download throughput and peak memory: the engine's URL loader against
// libcurl, both fetching the same 100 MB file from nginx on 127.0.0.1 into a
// file, over HTTP and HTTPS in the same run. Repetitions of the four cases are
// interleaved at random so both clients meet the same machine load; compare
// the medians. Counters: MB/s as bytes_per_second, and peak_rss_MB, the peak
// resident memory of a fresh process of this program making the same
// download alone (measured outside the timed part).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/peers.h"
#include "server/content/content_helper.h"
#include "server/content/content_helper_ssl.h"

namespace {

constexpr size_t kFileBytes = 100u << 20;

struct Setup {
  peers::TempDir certs, root, out;
  std::string ca;
  std::unique_ptr<peers::Nginx> nginx;
  Setup() {
    peers::makeCertificates(certs.path(), kMarvistoServiceName);
    ca = peers::readFile(certs.file("ca.pem"));
    MARVISTO_CA_LIST = ca.c_str();
    std::string data(kFileBytes, '\0');
    std::mt19937_64 rng(5);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(&data[i], &v, 8);
    }
    peers::writeFile(root.file("big.bin"), data);
    nginx = std::make_unique<peers::Nginx>(peers::Site{root.path(), certs.path(), 0, false});
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

// One download by the engine into a file; true on success.
bool EngineGet(const std::string& url, const std::string& out) {
  const int id = StartUrlLoader(url, out);
  int st = 0;
  while ((st = CheckLocationLoader(id)) < 100 && st >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  StopLocationLoader(id);
  return st == 100;
}

size_t WriteFile(char* data, size_t size, size_t n, void* file) {
  return std::fwrite(data, size, n, static_cast<FILE*>(file));
}

// The same download by libcurl, as a program using it would write it.
bool CurlGet(const std::string& url, const std::string& caFile, const std::string& out) {
  FILE* f = std::fopen(out.c_str(), "wb");
  if (f == nullptr) return false;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteFile);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, f);
  const bool ok = curl_easy_perform(c) == CURLE_OK;
  curl_easy_cleanup(c);
  return std::fclose(f) == 0 && ok;
}

// Peak resident memory of a fresh process of this program making one
// download (whole process, as a separate client would be): "--peak
// engine|curl URL CAFILE OUT" prints VmHWM in kB.
int PeakChild(char** argv) {
  const std::string kind = argv[2], url = argv[3], ca = argv[4], out = argv[5];
  static std::string pem;
  pem = peers::readFile(ca);
  MARVISTO_CA_LIST = pem.c_str();
  const bool ok = kind == "engine" ? EngineGet(url, out) : CurlGet(url, ca, out);
  std::printf("%ld\n", ok ? StatusKb("VmHWM:") : -1);
  return ok ? 0 : 1;
}

double PeakOf(const char* kind, const Setup& s, bool tls) {
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --peak " + kind + " " + s.url(tls) + " " +
                              s.certs.file("ca.pem") + " " + s.out.file(std::string(kind) + "-peak.bin");
  FILE* p = popen(command.c_str(), "r");
  long kb = -1;
  if (p != nullptr) {
    if (std::fscanf(p, "%ld", &kb) != 1) kb = -1;
    pclose(p);
  }
  return kb / 1024.0;
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
    if (!EngineGet(s.url(tls), s.out.file("engine.bin"))) state.SkipWithError("download failed");
    state.PauseTiming();
    peak += PeakOf("engine", s, tls);
    state.ResumeTiming();
  }
  Report(state, peak);
}

void BM_CurlDownload(benchmark::State& state) {
  Setup& s = Setup::get();
  const bool tls = state.range(0) != 0;
  double peak = 0;
  for (auto _ : state) {
    if (!CurlGet(s.url(tls), s.certs.file("ca.pem"), s.out.file("curl.bin"))) state.SkipWithError("curl failed");
    state.PauseTiming();
    peak += PeakOf("curl", s, tls);
    state.ResumeTiming();
  }
  Report(state, peak);
}

BENCHMARK(BM_EngineDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_CurlDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--peak") {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return PeakChild(argv);
  }
  // Interleaved unless the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
