// A one-line progress display on stderr for long runs: the line is rewritten
// in place while the work goes on and cleared at the end, so it never mixes
// into the output. It shows only when stderr is a terminal; piped or
// redirected, the program stays quiet. Safe to call from several threads.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace cli {

class Progress {
 public:
  // `program` leads the line. `shown` false keeps it silent whatever stderr is.
  explicit Progress(std::string program, bool shown = true);
  // Whether stderr is a terminal, which decides the default.
  static bool Terminal();
  ~Progress();

  // Shows "program: text"; updates closer than a tenth of a second apart
  // are skipped, but the first and any with `force` are drawn.
  void show(const std::string& text, bool force = false);
  // Removes the line (before the program writes its results or an error).
  void clear();

  bool shown() const { return shown_; }

 private:
  std::string program_;
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
  std::mutex mutex_;
};

}  // namespace cli
