// Process-wide services of the engine: the levelled log, the recursive mutex
// and the wall-clock / calendar helpers every engine time stamp rests on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include <pthread.h>

class Logger {
 public:
  Logger();
  // Content jobs run on detached threads that may print while the process
  // exits; taking the lock orders their last message before the teardown.
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes one printf-style message when max(level, 1) is at most the threshold
  // of the source file's base name (or the global one). Never fails visibly.
  void print(int level, const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 5, 6)));

  void setLogFile(const char* path);
  void setLogFile(const std::string& path);
  // Non-null: every printed message also goes to the system log.
  void setOutStream(FILE* stream);
  // A null file sets the global threshold, otherwise that base name's.
  void setDebugLevel(int level, const char* file = nullptr);
  // Part of the interface; nothing in the kit calls it.
  void printDebugLevels(FILE* stream) const;

  // True when a message of this level from this file would be written; lets
  // callers skip building expensive texts.
  bool enabled(int level, const char* file) const;

 private:
  int thresholdFor(const std::string& base) const;

  mutable std::mutex mutex_;  // settings may change while other threads print
  std::string logFile_;
  FILE* outStream_;
  int debugLevel_ = 1;
  std::map<std::string, int> fileLevels_;
};

// The one process-wide logger, alive from static initialisation to exit.
extern Logger _Logger;

#define MV_LOG(level, ...) _Logger.print((level), __FILE__, __LINE__, __VA_ARGS__)

// Recursive POSIX mutex; a failed lock is fatal, a failed unlock is only logged.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  bool trylock();  // part of the interface; the kit itself only locks
  void unlock();

 private:
  pthread_mutex_t mutex_;
};

// Scoped holder for Mutex (and anything else with lock/unlock).
template <class M>
class LockGuard {
 public:
  explicit LockGuard(M& m) : m_(m) { m_.lock(); }
  ~LockGuard() { m_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  M& m_;
};

// Milliseconds since 1970-01-01 00:00:00 UTC.
int64_t GetCurrentTimeMillis();

// Seconds since 1970 of UTC calendar fields, or -1 when a field is out of range
// (years 1970..2099; the day is not checked against the month's length).
// Computed in 64 bits: dates after 2038-01-19 are valid too.
int64_t GetUnixTime(int year, int month, int day, int hour, int minute, int second);

// Attribute or element text with the five XML special characters as entities
// and tab, line feed and carriage return as character references, so it reads
// back as written. Like printf's %s it ends at the first NUL.
std::string XmlEscape(const char* s);
std::string XmlEscape(const std::string& s);

// Splits seconds since 1970 into UTC calendar fields; returns 0.
int GetLocalTime(int64_t unixTime, int* year, int* month, int* day, int* hour, int* minute,
                 int* second);
