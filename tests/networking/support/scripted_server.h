// scripted_server.py on a free port of 127.0.0.1, recording requests into a directory;
// stopped when the object goes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "support/peers.h"

namespace peers {

class ScriptedServer {
 public:
  explicit ScriptedServer(const std::filesystem::path& dir);
  int port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // The whole lines recorded so far: one request per line, written before its reply. A request
  // still being recorded (another client's, a large body) is left out, never cut.
  std::string recorded() const;

 private:
  std::filesystem::path dir_;
  int port_;
  std::unique_ptr<Child> process_;
};

}  // namespace peers
