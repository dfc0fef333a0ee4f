// Download throughput and peak memory: the engine's URL loader against
// libcurl and against the curl command, all fetching the same 100 MB file
// from nginx on 127.0.0.1 into a file, over HTTP and HTTPS in the same run.
// Repetitions of the six cases are interleaved at random so every client meets
// the same machine load; compare the medians, which the run ends with as the
// engine's throughput over each reference's. Two references, because the
// libcurl program here writes through stdio (fwrite), which may slow it and
// flatter the engine; the curl command is the client a reader knows. Counters: MB/s
// as bytes_per_second, and peak_rss_MB, the peak resident memory of the
// client's own process: a fresh process of this program making the same
// download alone (measured outside the timed part), or the curl process
// itself.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/console_output.h"
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

long StatusKb(const char* file, const char* key) {
  std::ifstream in(file);
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

// The same download by the curl command, into a file; true on success.
// *missing when there is no curl command to run. With peakMb, the curl
// process's peak resident memory (VmHWM) in MB, read from /proc while it runs:
// its rusage would not do, as it counts the memory of this process, from
// which curl is spawned, too.
bool CurlCommandGet(const std::string& url, const std::string& caFile, const std::string& out, double* peakMb,
                    bool* missing) {
  std::vector<std::string> args = {"curl", "--silent", "--show-error", "--fail", "--cacert", caFile,
                                   "--output", out, url};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ);
  *missing = spawned == ENOENT;
  if (spawned != 0) return false;
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  long peakKb = 0;
  int code = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &code, peakMb != nullptr ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return false;
    if (peakMb != nullptr) {
      // A process that has ended has no VmHWM line: the last one read stands.
      peakKb = std::max(peakKb, StatusKb(status.c_str(), "VmHWM:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  if (peakMb != nullptr) *peakMb = peakKb / 1024.0;
  return WIFEXITED(code) && WEXITSTATUS(code) == 0;
}

// A download counts only when the whole file arrived.
bool Whole(const std::string& path) {
  std::error_code ec;
  return std::filesystem::file_size(path, ec) == kFileBytes && !ec;
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
  std::printf("%ld\n", ok ? StatusKb("/proc/self/status", "VmHWM:") : -1);
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
  const std::string out = s.out.file("engine.bin");
  double peak = 0;
  for (auto _ : state) {
    if (!EngineGet(s.url(tls), out) || !Whole(out)) return state.SkipWithError("download failed");
    state.PauseTiming();
    peak += PeakOf("engine", s, tls);
    state.ResumeTiming();
  }
  Report(state, peak);
}

void BM_CurlDownload(benchmark::State& state) {
  Setup& s = Setup::get();
  const bool tls = state.range(0) != 0;
  const std::string out = s.out.file("curl.bin");
  double peak = 0;
  for (auto _ : state) {
    if (!CurlGet(s.url(tls), s.certs.file("ca.pem"), out) || !Whole(out)) return state.SkipWithError("curl failed");
    state.PauseTiming();
    peak += PeakOf("curl", s, tls);
    state.ResumeTiming();
  }
  Report(state, peak);
}

// The curl command's time includes starting its process, a few milliseconds
// against the hundreds a 100 MB download takes.
void BM_CurlCommandDownload(benchmark::State& state) {
  Setup& s = Setup::get();
  const bool tls = state.range(0) != 0;
  const std::string out = s.out.file("curl-command.bin");
  double peak = 0;
  for (auto _ : state) {
    bool missing = false;
    if (!CurlCommandGet(s.url(tls), s.certs.file("ca.pem"), out, nullptr, &missing) || !Whole(out)) {
      return state.SkipWithError(missing ? "no curl command" : "the curl command failed");
    }
    state.PauseTiming();
    double one = 0;
    const bool measured =
        CurlCommandGet(s.url(tls), s.certs.file("ca.pem"), s.out.file("curl-command-peak.bin"), &one, &missing);
    state.ResumeTiming();
    if (!measured) return state.SkipWithError("the curl command failed");
    peak += one;
  }
  Report(state, peak);
}

BENCHMARK(BM_EngineDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_CurlDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_CurlCommandDownload)->Arg(0)->Arg(1)->ArgName("tls")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);

// The console table, then the engine's throughput over each reference's, from
// the medians (above 1: the engine is faster). A case that failed, or a
// missing median, leaves a ratio unprintable: the program then exits non-zero.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, as the library's own table does.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) failed_ = true;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medians_[{r.run_name.function_name, r.run_name.args}] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // False when a ratio could not be formed.
  bool PrintRatios() const {
    bool ok = !failed_;
    std::printf("\nEngine throughput over the reference's (medians; above 1: the engine is faster):\n");
    for (const char* tls : {"tls:0", "tls:1"}) {
      std::printf("  %s", tls);
      for (const auto& [reference, label] : {std::pair{"BM_CurlDownload", "libcurl, fwrite"},
                                             std::pair{"BM_CurlCommandDownload", "curl command"}}) {
        const auto ours = medians_.find({"BM_EngineDownload", tls});
        const auto theirs = medians_.find({reference, tls});
        if (ours == medians_.end() || theirs == medians_.end() || ours->second <= 0) {
          std::printf("  against %s: none", label);
          ok = false;
        } else {
          std::printf("  against %s: %.2f", label, theirs->second / ours->second);
        }
      }
      std::printf("\n");
    }
    if (!ok) std::fprintf(stderr, "content_bench: a case failed or was left out, the ratios are incomplete\n");
    return ok;
  }

 private:
  bool failed_ = false;
  // (function, "tls:N") -> median real time, in the cases' common unit.
  std::map<std::pair<std::string, std::string>, double> medians_;
};

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
  const bool console = ConsoleOutputAsked(n, args.data());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (!console) {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const bool ok = reporter.PrintRatios();
  benchmark::Shutdown();
  return ok ? 0 : 1;
}
