// marvisto-content-server: the content server as a command.
//   marvisto-content-server --port 0 --tls-port 0 --cert c.pem --key k.pem
//       --venue-dir DIR --log FILE [--fail-first-posts N] [--never-answer-posts]
//       [--status N] [--silent] [--cut-short] [--slow BYTES_PER_S] [--gzip-list]
//       [--max-body BYTES]
// Prints "port P tls-port T" once listening, then serves until SIGTERM/SIGINT.
// A bad argument or a failed start (port taken, certificate missing) ends it
// with exit code 1 and the reason on stderr.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>

#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"

namespace {

[[noreturn]] void Refuse(const std::string& why) {
  std::fprintf(stderr, "marvisto-content-server: %s\n", why.c_str());
  std::exit(1);
}

// The whole text must be a decimal number in [low, high]: atoi took "abc" for
// 0 (any port) and 70000 for 4464.
long long Number(const std::string& flag, const std::string& text, long long low, long long high) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
    Refuse(flag + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" + text +
           "\"");
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  contentserver::ServerOptions options;
  contentserver::Misbehaviour bad;
  std::string venueDir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Refuse(a + " needs a value");
      return argv[++i];
    };
    auto number = [&](long long low, long long high) { return Number(a, next(), low, high); };
    if (a == "--port") options.port = static_cast<int>(number(0, 65535));
    else if (a == "--tls-port") options.tlsPort = static_cast<int>(number(0, 65535));
    else if (a == "--cert") options.cert = next();
    else if (a == "--key") options.key = next();
    else if (a == "--venue-dir") venueDir = next();
    else if (a == "--log") options.logPath = next();
    else if (a == "--fail-first-posts") bad.failFirstPosts = static_cast<int>(number(0, 1 << 30));
    else if (a == "--never-answer-posts") bad.neverAnswerPosts = true;
    else if (a == "--status") bad.status = static_cast<int>(number(100, 599));
    else if (a == "--silent") bad.silent = true;
    else if (a == "--cut-short") bad.cutShort = true;
    else if (a == "--slow") bad.slowBytesPerSecond = static_cast<int>(number(1, 1 << 30));
    else if (a == "--max-body") options.maxBodyBytes = static_cast<uint64_t>(number(0, 1ll << 40));
    else if (a == "--gzip-list") bad.gzipList = true;
    else Refuse("unknown argument " + a);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the server threads inherit the mask
  signal(SIGPIPE, SIG_IGN);
  contentserver::ContentServer server(options);
  std::string error;
  if (!venueDir.empty()) {
    for (const auto& l : contentserver::LoadVenueDir(venueDir, &error)) server.addLocation(l);
    if (!error.empty()) {
      std::fprintf(stderr, "marvisto-content-server: %s\n", error.c_str());
      return 1;
    }
  }
  server.setMisbehaviour(bad);
  const auto sdk = std::make_shared<contentserver::SdkRoutes>();
  sdk->install(server);
  if (!server.start(&error)) {
    std::fprintf(stderr, "marvisto-content-server: %s\n", error.c_str());
    return 1;
  }
  std::printf("port %d tls-port %d\n", server.port(), server.tlsPort());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  server.stop();
  return 0;
}
