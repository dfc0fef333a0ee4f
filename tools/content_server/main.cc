// marvisto-content-server: the content server as a command.
//   marvisto-content-server --port 0 --tls-port 0 --cert c.pem --key k.pem
//       --venue-dir DIR --log FILE [--fail-first-posts N] [--never-answer-posts]
//       [--status N] [--silent] [--cut-short] [--slow BYTES_PER_S] [--gzip-list]
// Prints "port P tls-port T" once listening, then serves until SIGTERM/SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"

int main(int argc, char** argv) {
  contentserver::ServerOptions options;
  contentserver::Misbehaviour bad;
  std::string venueDir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "marvisto-content-server: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port") options.port = std::atoi(next().c_str());
    else if (a == "--tls-port") options.tlsPort = std::atoi(next().c_str());
    else if (a == "--cert") options.cert = next();
    else if (a == "--key") options.key = next();
    else if (a == "--venue-dir") venueDir = next();
    else if (a == "--log") options.logPath = next();
    else if (a == "--fail-first-posts") bad.failFirstPosts = std::atoi(next().c_str());
    else if (a == "--never-answer-posts") bad.neverAnswerPosts = true;
    else if (a == "--status") bad.status = std::atoi(next().c_str());
    else if (a == "--silent") bad.silent = true;
    else if (a == "--cut-short") bad.cutShort = true;
    else if (a == "--slow") bad.slowBytesPerSecond = std::atoi(next().c_str());
    else if (a == "--gzip-list") bad.gzipList = true;
    else {
      std::fprintf(stderr, "marvisto-content-server: unknown argument %s\n", a.c_str());
      return 2;
    }
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
