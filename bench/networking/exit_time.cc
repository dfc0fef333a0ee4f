// How long a host's exit takes with HTTPS requests in flight: this program runs itself as a
// child that starts the requests (six at a time on each of five nginx TLS servers on
// 127.0.0.1), lets the network thread handshake for a few milliseconds and exits; the parent
// times each child from its exit call to its end, idle and with half the cores busy, with the
// test CA as the system's roots (as the tests have it) and with the system's own (as a host
// has it: the servers are then refused, after the same work).
//   exit_time [runs per setting, default 40] [requests, default 30]
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "networking/http_request_operation_manager.h"
#include "platform/run_loop.h"
#include "support/peers.h"

namespace {

int64_t monotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The child: starts the requests, sleeps while the network thread drives them, prints the
// moment it calls exit.
int child(const char* urls, int requests, int delayMs) {
  platform::RunLoop::setMainThread();
  std::vector<std::string> targets;
  for (std::string u, all = urls; !all.empty();) {
    const size_t blank = all.find(' ');
    u = all.substr(0, blank);
    all = blank == std::string::npos ? "" : all.substr(blank + 1);
    if (!u.empty()) targets.push_back(u);
  }
  auto manager = MCHTTPRequestOperationManager::manager();
  for (int i = 0; i < requests; ++i) manager->GET(targets[i % targets.size()], nullptr, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::printf("%lld\n", static_cast<long long>(monotonicNs()));
  std::fflush(stdout);
  std::exit(0);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* urls = std::getenv("EXIT_TIME_CHILD_URLS"))
    return child(urls, std::atoi(std::getenv("EXIT_TIME_CHILD_REQUESTS")), std::atoi(std::getenv("EXIT_TIME_CHILD_DELAY_MS")));
  const int runs = argc > 1 ? std::atoi(argv[1]) : 40;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 30;
  peers::TempDir dir("exit-time");
  if (!peers::makeCertificates(dir.path(), "localhost")) {
    std::fprintf(stderr, "exit_time: cannot make certificates\n");
    return 1;
  }
  std::string servers = "server { ssl_certificate " + dir.file("server.pem") + "; ssl_certificate_key " +
                        dir.file("server.key") + "; access_log off;\n";
  std::string urls;
  int firstPort = 0;
  for (int i = 0; i < 5; ++i) {
    const int port = peers::freePort();
    if (!firstPort) firstPort = port;
    servers += "  listen 127.0.0.1:" + std::to_string(port) + " ssl;\n";
    urls += "https://127.0.0.1:" + std::to_string(port) + "/api/exit ";
  }
  servers += "  location /api/ { default_type application/json; return 200 '{\"tls\":true}'; }\n}\n";
  peers::Nginx nginx(dir.path(), servers, firstPort);
  if (!nginx.ok()) {
    std::fprintf(stderr, "exit_time: nginx did not start: %s\n", nginx.errorLog().c_str());
    return 1;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::printf("exit with %d HTTPS requests in flight, %d runs per setting (seconds from exit() to the process's end)\n",
              requests, runs);
  for (int setting = 0; setting < 4; ++setting) {
    const bool systemRoots = setting >= 2, loaded = setting % 2 == 1;
    std::unique_ptr<peers::CpuLoad> load;
    if (loaded) load = std::make_unique<peers::CpuLoad>(std::thread::hardware_concurrency() / 2);
    std::vector<double> seconds;
    int failed = 0;
    for (int run = 0; run < runs; ++run) {
      const std::string roots = systemRoots ? "" : "SSL_CERT_FILE=" + dir.file("ca.pem");
      const std::string command = roots + " EXIT_TIME_CHILD_URLS='" + urls +
                                  "' EXIT_TIME_CHILD_REQUESTS=" + std::to_string(requests) +
                                  " EXIT_TIME_CHILD_DELAY_MS=" + std::to_string(5 + run * 7 % 46) + " " + self;
      FILE* pipe = popen(command.c_str(), "r");
      long long exitCalled = 0;
      const bool read = pipe && std::fscanf(pipe, "%lld", &exitCalled) == 1;
      const int status = pipe ? pclose(pipe) : -1;
      const int64_t ended = monotonicNs();
      if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++failed;
        continue;
      }
      seconds.push_back(double(ended - exitCalled) / 1e9);
    }
    const std::string name = std::string(systemRoots ? "system roots" : "test CA") + (loaded ? ", cores busy:" : ", idle:");
    if (seconds.empty()) {
      std::printf("%-26s every run failed\n", name.c_str());
      continue;
    }
    std::printf("%-26s median %.3f  p90 %.3f  max %.3f  (%d of %d runs failed)\n", name.c_str(), percentile(seconds, 0.5),
                percentile(seconds, 0.9), percentile(seconds, 1.0), failed, runs);
  }
  return 0;
}
