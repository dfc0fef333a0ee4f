#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace cli {

Progress::Progress(std::string program, bool shown) : program_(std::move(program)), shown_(shown && Terminal()) {}

Progress::~Progress() { clear(); }

bool Progress::Terminal() { return isatty(STDERR_FILENO) == 1; }

void Progress::show(const std::string& text, bool force) {
  if (!shown_) return;
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && !force && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  drawn_ = true;
  // Carriage return, the text, then erase what a longer earlier line left.
  std::fprintf(stderr, "\r%s: %s\033[K", program_.c_str(), text.c_str());
  std::fflush(stderr);
}

void Progress::clear() {
  if (!shown_) return;
  std::lock_guard lock(mutex_);
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace cli
