// Test peers started on 127.0.0.1 by the tests and stopped by them: temp dirs, child
// processes, free ports, files, openssl-made certificates and nginx.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace peers {

// A temporary directory, readable by nginx's workers, removed with its contents on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A child process in its own process group (nginx workers too), with an open, silent stdin;
// its group is killed (SIGKILL) and the child reaped on destruction, and the whole group is
// killed when the test process dies, however it dies (SIGTERM, SIGKILL, a crash). Its
// stdout can be read line by line. A program of ours (argv[0] a path) runs with the test's
// race-detector options, so it reports races as the test would; one looked up on the PATH
// (nginx, openssl, python3) reports none.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, bool captureStdout = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Next stdout line, or empty after timeoutMs. The default is a bound for a peer that says
  // its port once it listens: an interpreter's start alone took over 10 s on a loaded machine.
  std::string readLine(int timeoutMs = 30000);
  int pid() const { return pid_; }
  void kill(int signal);

 private:
  int pid_ = -1;
  int warden_ = -1;  // kills the group once the test process is gone
  int guard_ = -1;   // the warden's pipe, held open by the test process alone
  int out_ = -1;
  int in_ = -1;
  std::string pending_;
};

// A TCP socket bound to a free loopback port, its address in *a (-1 when none could be had).
int boundLoopback(sockaddr_in* a);
// A free loopback port, never the same twice in one process nor to two test processes that
// run at once (0 when none could be had).
int freePort();
// Blocks until something accepts on 127.0.0.1:port (false after timeoutMs).
bool waitForPort(int port, int timeoutMs = 10000);
std::string readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::string& data);
// Runs a command through the shell, output discarded; its exit status (-1: not exited).
int run(const std::string& command);
// Deterministic bytes for a seed.
std::string seededBytes(size_t n, unsigned seed);

// Certificates made with openssl in dir: ca.pem/ca.key, server.pem/server.key
// (service name, localhost, 127.0.0.1), wrong.pem (another name), self.pem
// (self-signed with the service name), expired.pem (from the CA, expired);
// each with its .key.
bool makeCertificates(const std::filesystem::path& dir, const std::string& serviceName);

// A static site: root served over http and https (certDir/server.pem) on free ports,
// optionally gzipped (xml), rate-limited (bytes per second) and with POSTs under
// /upload/ passed to 127.0.0.1:upstream.
struct Site {
  std::string root, certDir;
  int limitRate = 0;
  bool gzip = true;
  int upstream = 0;
};

// nginx run in the foreground with its config, temp files and logs in a directory;
// access log (method, uri, status, range, content type) in dir/access.log.
class Nginx {
 public:
  // `servers`: the server blocks, ports filled in; ready once waitPort accepts.
  Nginx(const std::filesystem::path& dir, const std::string& servers, int waitPort);
  // The site, in a directory of its own; ready once both ports accept.
  explicit Nginx(const Site& site);
  ~Nginx();
  bool ok() const { return ok_; }
  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::string accessLog() const { return readFile(dir_ / "access.log"); }
  std::string errorLog() const { return readFile(dir_ / "error.log"); }

 private:
  void start(const std::string& servers, const std::vector<int>& waitPorts);
  std::unique_ptr<TempDir> own_;
  std::filesystem::path dir_;
  int port_ = -1, tlsPort_ = -1;
  bool ok_ = false;
  std::unique_ptr<Child> child_;
};

// Keeps `threads` cores busy while it lives (at least two): exits and hand-overs then meet
// a loaded machine, as they do in the field.
class CpuLoad {
 public:
  explicit CpuLoad(unsigned threads);
  ~CpuLoad();
  CpuLoad(const CpuLoad&) = delete;
  CpuLoad& operator=(const CpuLoad&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

}  // namespace peers
