#include "server/utils.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <syslog.h>

Logger _Logger;

namespace {

const char* BaseName(const char* file) {
  if (file == nullptr) return "";
  const char* end = file + std::strlen(file);
  for (const char* p = end; p != file; --p) {
    if (p[-1] == '/' || p[-1] == '\\') return p;
  }
  return file;
}

const int kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

// Formats into a growing string: no message is cut or overflows a buffer.
std::string FormatV(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(n);
  return out;
}

}  // namespace

Logger::Logger() : outStream_(stdout) {}

Logger::~Logger() { std::lock_guard<std::mutex> g(mutex_); }

void Logger::setLogFile(const char* path) {
  std::lock_guard<std::mutex> g(mutex_);
  logFile_ = path ? path : "";
}

void Logger::setLogFile(const std::string& path) { setLogFile(path.c_str()); }

void Logger::setOutStream(FILE* stream) {
  std::lock_guard<std::mutex> g(mutex_);
  outStream_ = stream;
}

void Logger::setDebugLevel(int level, const char* file) {
  std::lock_guard<std::mutex> g(mutex_);
  if (file == nullptr)
    debugLevel_ = level;
  else
    fileLevels_[file] = level;
}

void Logger::printDebugLevels(FILE* stream) const {
  std::lock_guard<std::mutex> g(mutex_);
  std::fprintf(stream, "Logger: DebugLevel = %d\n", debugLevel_);
  for (const auto& [name, level] : fileLevels_)
    std::fprintf(stream, "Logger: DebugLevel[%s] = %d\n", name.c_str(), level);
}

int Logger::thresholdFor(const std::string& base) const {
  auto it = fileLevels_.find(base);
  return it != fileLevels_.end() ? it->second : debugLevel_;
}

bool Logger::enabled(int level, const char* file) const {
  std::lock_guard<std::mutex> g(mutex_);
  return std::max(level, 1) <= thresholdFor(BaseName(file));
}

void Logger::print(int level, const char* file, int line, const char* format, ...) {
  const char* base = BaseName(file);
  std::lock_guard<std::mutex> g(mutex_);
  if (std::max(level, 1) > thresholdFor(base)) return;
  if (format == nullptr) return;

  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);

  if (!logFile_.empty()) {
    int64_t millis = GetCurrentTimeMillis();
    int64_t seconds = millis / 1000;
    int y, mo, d, h, mi, s;
    GetLocalTime(seconds, &y, &mo, &d, &h, &mi, &s);
    if (FILE* f = std::fopen(logFile_.c_str(), "a")) {
      std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d.%03d - %s:%d]: ", y, mo, d, h, mi, s,
                   static_cast<int>(millis - seconds * 1000), base, line);
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
  }
  if (outStream_ != nullptr) {
    if (text.size() > 32767) text.resize(32767);
    syslog(LOG_ALERT, "[%s:%d]: %s", base, line, text.c_str());
  }
}

Mutex::Mutex() {
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
  ok = ok && pthread_mutex_init(&mutex_, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (!ok) {
    MV_LOG(1, "Mutex: unable to create or initialize mutex!\n");
    std::abort();
  }
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

void Mutex::lock() {
  int rc = pthread_mutex_lock(&mutex_);
  if (rc == 0) return;
  switch (rc) {
    case EINVAL:
      MV_LOG(1, "pthread_mutex_lock: EINVAL: the value specified by mutex does not refer to an "
                "initialized mutex object\n");
      break;
    case EDEADLK:
      MV_LOG(1, "pthread_mutex_lock: EDEADLK: the current thread already owns mutex\n");
      break;
    case EAGAIN:
      MV_LOG(1, "pthread_mutex_lock: EAGAIN (%d): the mutex could not be acquired because the "
                "maximum number of recursive locks for mutex has been exceeded\n", rc);
      break;
    default:
      MV_LOG(1, "pthread_mutex_lock: UNKNOWN\n");
  }
  std::abort();
}

bool Mutex::trylock() {
  int rc = pthread_mutex_trylock(&mutex_);
  if (rc == 0) return true;
  if (rc == EBUSY) return false;
  switch (rc) {
    case EINVAL:
      MV_LOG(1, "pthread_mutex_trylock: EINVAL: the value specified by mutex does not refer to "
                "an initialized mutex object\n");
      break;
    case EAGAIN:
      MV_LOG(1, "pthread_mutex_trylock: EAGAIN: the mutex could not be acquired because the "
                "maximum number of recursive locks for mutex has been exceeded\n");
      break;
    case EDEADLK:
      MV_LOG(1, "pthread_mutex_trylock: EDEADLK: the current thread already owns the mutex\n");
      break;
    default:
      MV_LOG(1, "pthread_mutex_trylock: UNKNOWN: %d\n", rc);
  }
  std::abort();
}

void Mutex::unlock() {
  int rc = pthread_mutex_unlock(&mutex_);
  switch (rc) {
    case 0:
      return;
    case EINVAL:
      MV_LOG(1, "pthread_mutex_unlock: EINVAL: the value specified by mutex does not refer to an "
                "initialized mutex object\n");
      return;
    case EAGAIN:
      MV_LOG(1, "pthread_mutex_unlock: EAGAIN: the mutex could not be acquired because the "
                "maximum number of recursive locks for mutex has been exceeded\n");
      return;
    case EPERM:
      MV_LOG(1, "pthread_mutex_unlock: EPERM: the current thread does not own mutex\n");
      return;
    default:
      MV_LOG(1, "pthread_mutex_unlock: UNKNOWN\n");
  }
}

int64_t GetCurrentTimeMillis() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t GetUnixTime(int year, int month, int day, int hour, int minute, int second) {
  if (second < 0 || second > 59 || minute < 0 || minute > 59 || hour < 0 || hour > 23 ||
      day < 1 || day > 31 || year < 1970 || year > 2099 || month < 1 || month > 12)
    return -1;
  const int leap = year % 4 == 0 ? 1 : 0;
  int64_t days = (year - 1969) / 4 + static_cast<int64_t>(year - 1970) * 365 + (day - 1) +
                 kCumulativeDays[leap][month - 1];
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

int GetLocalTime(int64_t t, int* year, int* month, int* day, int* hour, int* minute,
                 int* second) {
  if (t < 0) t = 0;
  int64_t days = t / 86400;
  int64_t rem = t % 86400;
  *hour = static_cast<int>(rem / 3600);
  *minute = static_cast<int>(rem % 3600 / 60);
  *second = static_cast<int>(rem % 60);

  // 1461-day cycles from 1970: years of 365, 365, 366, 365 days.
  int y = 1970 + static_cast<int>(days / 1461) * 4;
  int64_t dayOfCycle = days % 1461;
  static const int kYearLen[4] = {365, 365, 366, 365};
  int i = 0;
  while (i < 3 && dayOfCycle >= kYearLen[i]) {
    dayOfCycle -= kYearLen[i];
    ++i;
  }
  y += i;
  const int leap = y % 4 == 0 ? 1 : 0;
  int m = 1;
  while (m < 12 && kCumulativeDays[leap][m] <= dayOfCycle) ++m;
  *year = y;
  *month = m;
  *day = static_cast<int>(dayOfCycle - kCumulativeDays[leap][m - 1]) + 1;
  return 0;
}

// Attribute text with the five XML special characters as entities and the
// white space a reader would normalise (tab, line feed, carriage return) as
// character references, so that any device model, id, bssid or zone name
// reads back as written. Like printf's %s it ends at the first NUL.
std::string XmlEscape(const char* s) {
  std::string out;
  if (s == nullptr) return out;
  for (const char* p = s; *p; ++p) {
    switch (*p) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += *p;
    }
  }
  return out;
}

std::string XmlEscape(const std::string& s) { return XmlEscape(s.c_str()); }
