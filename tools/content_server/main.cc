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
#include <string>

#include "cli/cli.h"
#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"

int main(int argc, char** argv) {
  contentserver::ServerOptions options;
  contentserver::Misbehaviour bad;
  std::string venueDir;
  cli::Parser p("marvisto-content-server",
                "[--port N] [--tls-port N --cert PEM --key PEM] [--venue-dir DIR] [--log FILE]\n"
                "       [misbehaviour options]",
                "Serves the venues in DIR to the content client on 127.0.0.1 and writes one JSON line\n"
                "per request to the log. Prints \"port P tls-port T\" once listening, then serves\n"
                "until SIGTERM or SIGINT.");
  auto port = [](int* into) { return [into](long long v) { *into = static_cast<int>(v); }; };
  p.whole("--port", "N", "plain HTTP port, 0 for any free one", 0, 65535, port(&options.port));
  p.whole("--tls-port", "N", "HTTPS port, 0 for any free one (needs --cert and --key)", 0, 65535,
          port(&options.tlsPort));
  p.text("--cert", "PEM", "certificate of the HTTPS listener", &options.cert);
  p.text("--key", "PEM", "private key of the HTTPS listener", &options.key);
  p.text("--venue-dir", "DIR", "folder of map archives to serve", &venueDir);
  p.text("--log", "FILE", "request log, one JSON line per request", &options.logPath);
  p.whole("--max-body", "BYTES", "larger request bodies get 413 unread (default 64 MiB)", 0, 1ll << 40,
          [&](long long v) { options.maxBodyBytes = static_cast<uint64_t>(v); });
  p.whole("--fail-first-posts", "N", "misbehave: answer the first N message posts 500", &bad.failFirstPosts, 0, 1 << 30);
  p.flag("--never-answer-posts", "misbehave: read message posts, never answer them", &bad.neverAnswerPosts);
  p.whole("--status", "N", "misbehave: every engine request gets this status", &bad.status, 100, 599);
  p.flag("--silent", "misbehave: never answer archive requests", &bad.silent);
  p.flag("--cut-short", "misbehave: archives end after half their length", &bad.cutShort);
  p.whole("--slow", "BYTES_PER_S", "misbehave: archives trickle at this rate", &bad.slowBytesPerSecond, 1, 1 << 30);
  p.flag("--gzip-list", "misbehave: the location list comes gzip-coded, chunked", &bad.gzipList);
  // Scripts and tests have long taken 1 for a refused command line.
  p.usageErrorCode(1);
  p.exitStatus("0 stopped by SIGTERM or SIGINT, 1 a bad command line or a failed start\n"
               "(port taken, certificate missing, unreadable venue folder)");
  if (const int rc = p.handle(argc, argv); rc >= 0) return rc;
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
