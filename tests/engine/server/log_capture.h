// Test helper: points the process-wide logger at a fresh temp file for the
// lifetime of the object (threshold `level`, no system-log copy) and restores
// the defaults afterwards.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "server/utils.h"

class LogCapture {
 public:
  explicit LogCapture(int level = 1) {
    char tmpl[] = "/tmp/marvisto_capture_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    path_ = tmpl;
    _Logger.setLogFile(path_);
    _Logger.setOutStream(nullptr);
    _Logger.setDebugLevel(level);
  }
  ~LogCapture() {
    _Logger.setLogFile("");
    _Logger.setOutStream(stdout);
    _Logger.setDebugLevel(1);
    std::remove(path_.c_str());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }
  // Forgets what was logged so far.
  void reset() const { std::ofstream(path_, std::ios::trunc); }

 private:
  std::string path_;
};
