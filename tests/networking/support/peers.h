// Test peers on 127.0.0.1: nginx, our scripted Python server and openssl-made certificates,
// each started in a temporary directory on a free port and stopped when the object goes.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace peers {

std::filesystem::path tempDir(const std::string& tag);
int freePort();
std::string readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::string& data);
// Runs a command through the shell; its exit status.
int run(const std::string& command);
// Deterministic bytes for a seed.
std::string seededBytes(size_t n, unsigned seed);

class Process {
 public:
  Process(std::vector<std::string> argv, int port);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  int port() const { return port_; }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int port_;
  bool ready_ = false;
};

// nginx serving `dir`/www with the given server blocks (each may use PORT placeholders
// already filled in by the caller); access log in `dir`/access.log.
class Nginx {
 public:
  // `servers`: the text of the server blocks.
  Nginx(const std::filesystem::path& dir, const std::string& servers, int waitPort);
  std::string accessLog() const { return readFile(dir_ / "access.log"); }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<Process> process_;
};

// tests/networking/scripted_server.py on a free port, recording into `dir`.
class ScriptedServer {
 public:
  explicit ScriptedServer(const std::filesystem::path& dir);
  int port() const { return process_->port(); }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }
  std::string recorded() const { return readFile(dir_ / "requests.jsonl"); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<Process> process_;
};

}  // namespace peers
