// 1,000 small JSON GETs through the manager and 100 MB through one operation, each next to
// libcurl's easy interface doing the same against the same nginx on 127.0.0.1; and both
// paired with curl batch by batch, with the process's CPU time per request.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "networking/http_request_operation_manager.h"
#include "support/peers.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

struct Server {
  Server() : port(peers::freePort()) {
    std::filesystem::create_directories(dir / "www");
    peers::writeFile(dir / "www/small.json", R"({"id":1,"name":"venue","floors":[1,2,3]})");
    {
      std::ofstream big(dir / "www/big.bin", std::ios::binary);
      std::string block = peers::seededBytes(1 << 20, 5);
      for (int i = 0; i < 100; ++i) big << block;
    }
    nginx = std::make_unique<peers::Nginx>(dir, "server { listen 127.0.0.1:" + std::to_string(port) + "; root " + (dir / "www").string() +
                                                    "; access_log off; }\n", port);
  }
  ~Server() {
    nginx.reset();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  peers::TempDir tmp{"bench"};
  std::filesystem::path dir{tmp.path()};
  int port;
  std::unique_ptr<peers::Nginx> nginx;
};

Server& server() {
  static Server s;
  return s;
}

// CPU time of nginx's worker (user and kernel), in microseconds; 0 when it cannot be read. The
// kernel counts it in ticks, so only sums over many requests mean something.
double nginxCpuUs() {
  static const int worker = [] {
    int master = 0;
    std::ifstream(server().dir / "nginx.pid") >> master;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      std::ifstream stat(e.path() / "stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      std::istringstream rest(line.substr(line.rfind(')') + 2));
      char state;
      int parent = 0;
      rest >> state >> parent;
      if (master > 0 && parent == master) return std::atoi(e.path().filename().c_str());
    }
    return 0;
  }();
  if (worker <= 0) return 0;
  std::ifstream stat("/proc/" + std::to_string(worker) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());  // utime, stime
  return ticks * 1e6 / double(sysconf(_SC_CLK_TCK));
}

// CPU time of every thread of this process (nginx not included), in microseconds.
double processCpuUs() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
}

// The part of processCpuUs() spent in the kernel.
double processSysUs() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_stime.tv_sec * 1e6 + r.ru_stime.tv_usec;
}

// Context switches of every thread of this process, voluntary or not.
double processContextSwitches() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return double(r.ru_nvcsw + r.ru_nivcsw);
}

size_t discard(char*, size_t size, size_t n, void* counter) {
  *static_cast<size_t*>(counter) += size * n;
  return size * n;
}

// A libcurl easy handle that reads `url` and drops the body, counting its bytes into `bytes`.
CURL* CurlReader(const std::string& url, size_t* bytes) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, bytes);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  return easy;
}

// The reference: the 100 MB body through libcurl's easy interface, read and dropped.
bool CurlDownloads100MB(const std::string& url) {
  size_t bytes = 0;
  CURL* easy = CurlReader(url, &bytes);
  const bool ok = curl_easy_perform(easy) == CURLE_OK && bytes == 100u << 20;
  curl_easy_cleanup(easy);
  return ok;
}

void BM_ManagerSmallJSONGets(benchmark::State& state) {
  auto manager = MCHTTPRequestOperationManager::manager();
  std::string url = server().url("/small.json");
  for (auto _ : state) {
    int ok = 0;
    for (int i = 0; i < 1000; ++i) {
      bool done = false;
      manager->GET(url, nullptr, [&](const auto&, const auto&) { ok++, done = true; }, [&](const auto&, const auto&) { done = true; });
      platform::testing::pumpUntil([&] { return done; }, 10);
    }
    if (ok != 1000) state.SkipWithError("a request failed");
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

// The same 1,000 requests queued at once, as an asynchronous client is used.
void BM_ManagerSmallJSONGetsQueued(benchmark::State& state) {
  auto manager = MCHTTPRequestOperationManager::manager();
  std::string url = server().url("/small.json");
  for (auto _ : state) {
    int ok = 0, done = 0;
    for (int i = 0; i < 1000; ++i)
      manager->GET(url, nullptr, [&](const auto&, const auto&) { ok++, done++; }, [&](const auto&, const auto&) { done++; });
    platform::testing::pumpUntil([&] { return done == 1000; }, 60);
    if (ok != 1000) state.SkipWithError("a request failed");
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_CurlEasySmallJSONGets(benchmark::State& state) {
  std::string url = server().url("/small.json");
  size_t bytes = 0;
  CURL* easy = CurlReader(url, &bytes);
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i)
      if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("a request failed");
  }
  curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_Operation100MBDownload(benchmark::State& state) {
  auto request = MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", server().url("/big.bin"), nullptr);
  auto queue = MCOperationQueue::create();
  for (auto _ : state) {
    auto op = MCHTTPRequestOperation::initWithRequest(*request);
    op->setOutputStream(std::make_shared<platform::FileOutputStream>("/dev/null", false));
    std::atomic<bool> done{false};
    op->setCompletionBlock([&] { done = true; });
    queue->addOperation(op);
    platform::testing::pumpUntil([&] { return done.load(); }, 60);
    if (op->error()) state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(state.iterations() * 100LL * (1 << 20));
}

void BM_CurlEasy100MBDownload(benchmark::State& state) {
  std::string url = server().url("/big.bin");
  for (auto _ : state) {
    if (!CurlDownloads100MB(url)) state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(state.iterations() * 100LL * (1 << 20));
}

// The same work through the manager and through libcurl's easy interface in alternating
// batches of 100, so that a machine whose load changes during the run weighs on both alike.
// Counters: microseconds per request for each, and their ratio.
// `sameHeaders`: curl sends the headers the manager's requests carry (User-Agent,
// Accept-Language), which libcurl formats and nginx reads, instead of none.
void pairedSmallGets(benchmark::State& state, bool queued, bool sameHeaders = false) {
  auto manager = MCHTTPRequestOperationManager::manager();
  std::string url = server().url("/small.json");
  size_t bytes = 0;
  CURL* easy = CurlReader(url, &bytes);
  curl_slist* headers = nullptr;
  if (sameHeaders) {
    auto request = manager->requestSerializer->requestWithMethod("GET", url, nullptr);
    for (const auto& [field, value] : request->allHTTPHeaderFields)
      headers = curl_slist_append(headers, (field + ": " + value).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  }
  double oursUs = 0, curlUs = 0, oursCpuUs = 0, curlCpuUs = 0, oursSysUs = 0, curlSysUs = 0, oursSwitches = 0, curlSwitches = 0;
  double oursNginxUs = 0, curlNginxUs = 0;
  int64_t requests = 0;
  for (auto _ : state) {
    for (int batch = 0; batch < 10; ++batch) {
      double nginxBegan = nginxCpuUs();
      double cpuBegan = processCpuUs();
      double sysBegan = processSysUs();
      double switchesBegan = processContextSwitches();
      auto began = std::chrono::steady_clock::now();
      int ok = 0, done = 0;
      for (int i = 0; i < 100; ++i) {
        manager->GET(url, nullptr, [&](const auto&, const auto&) { ok++, done++; }, [&](const auto&, const auto&) { done++; });
        if (!queued) platform::testing::pumpUntil([&] { return done == i + 1; }, 10);
      }
      platform::testing::pumpUntil([&] { return done == 100; }, 30);
      auto middle = std::chrono::steady_clock::now();
      double cpuMiddle = processCpuUs();
      double sysMiddle = processSysUs();
      double switchesMiddle = processContextSwitches();
      // Read between the two halves, so that neither is charged with reading it.
      double nginxMiddle = nginxCpuUs();
      double curlCpuBegan = processCpuUs();
      double curlSysBegan = processSysUs();
      double curlSwitchesBegan = processContextSwitches();
      auto curlBegan = std::chrono::steady_clock::now();
      for (int i = 0; i < 100; ++i)
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("a curl request failed");
      auto end = std::chrono::steady_clock::now();
      curlCpuUs += processCpuUs() - curlCpuBegan;
      curlSysUs += processSysUs() - curlSysBegan;
      curlSwitches += processContextSwitches() - curlSwitchesBegan;
      curlNginxUs += nginxCpuUs() - nginxMiddle;
      oursSysUs += sysMiddle - sysBegan;
      oursNginxUs += nginxMiddle - nginxBegan;
      oursSwitches += switchesMiddle - switchesBegan;
      oursCpuUs += cpuMiddle - cpuBegan;
      if (ok != 100) state.SkipWithError("a request failed");
      oursUs += std::chrono::duration<double, std::micro>(middle - began).count();
      curlUs += std::chrono::duration<double, std::micro>(end - curlBegan).count();
      requests += 100;
    }
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
  state.counters["ours_us"] = oursUs / double(requests);
  state.counters["curl_us"] = curlUs / double(requests);
  state.counters["ratio"] = oursUs / curlUs;
  state.counters["ours_cpu_us"] = oursCpuUs / double(requests);
  state.counters["curl_cpu_us"] = curlCpuUs / double(requests);
  state.counters["ours_sys_us"] = oursSysUs / double(requests);
  state.counters["curl_sys_us"] = curlSysUs / double(requests);
  // nginx's share, the server's work for the same requests: ours carry a User-Agent and an
  // Accept-Language header, which it reads.
  state.counters["ours_nginx_cpu_us"] = oursNginxUs / double(requests);
  state.counters["curl_nginx_cpu_us"] = curlNginxUs / double(requests);
  state.counters["ours_cs"] = oursSwitches / double(requests);
  state.counters["curl_cs"] = curlSwitches / double(requests);
}

// 100 MB through one operation and through curl easy, alternating.
void BM_Paired100MBDownload(benchmark::State& state) {
  auto request = MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", server().url("/big.bin"), nullptr);
  auto queue = MCOperationQueue::create();
  std::string url = server().url("/big.bin");
  double oursUs = 0, curlUs = 0;
  for (auto _ : state) {
    auto began = std::chrono::steady_clock::now();
    auto op = MCHTTPRequestOperation::initWithRequest(*request);
    op->setOutputStream(std::make_shared<platform::FileOutputStream>("/dev/null", false));
    std::atomic<bool> done{false};
    op->setCompletionBlock([&] { done = true; });
    queue->addOperation(op);
    platform::testing::pumpUntil([&] { return done.load(); }, 60);
    if (op->error()) state.SkipWithError("download failed");
    auto middle = std::chrono::steady_clock::now();
    if (!CurlDownloads100MB(url)) state.SkipWithError("curl download failed");
    auto end = std::chrono::steady_clock::now();
    oursUs += std::chrono::duration<double, std::micro>(middle - began).count();
    curlUs += std::chrono::duration<double, std::micro>(end - middle).count();
  }
  state.counters["ours_ms"] = oursUs / 1000 / double(state.iterations());
  state.counters["curl_ms"] = curlUs / 1000 / double(state.iterations());
  // Above 1: ours is the faster.
  state.counters["speed_vs_curl"] = curlUs / oursUs;
}

void BM_PairedSmallJSONGets(benchmark::State& state) { pairedSmallGets(state, false); }
void BM_PairedSmallJSONGetsQueued(benchmark::State& state) { pairedSmallGets(state, true); }
void BM_PairedSmallJSONGetsSameHeaders(benchmark::State& state) { pairedSmallGets(state, false, true); }

BENCHMARK(BM_PairedSmallJSONGets)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PairedSmallJSONGetsQueued)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PairedSmallJSONGetsSameHeaders)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paired100MBDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);
BENCHMARK(BM_ManagerSmallJSONGets)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ManagerSmallJSONGetsQueued)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlEasySmallJSONGets)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Operation100MBDownload)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlEasy100MBDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  platform::RunLoop::setMainThread();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  server();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
