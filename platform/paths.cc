#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/mutex.h"

namespace platform {
namespace fs = std::filesystem;
namespace {

Mutex& homeMutex() {
  static Mutex* m = new Mutex;
  return *m;
}
fs::path& homeSetting() {
  static fs::path* p = new fs::path;
  return *p;
}

fs::path ensure(const fs::path& p) {
  std::error_code ec;
  fs::create_directories(p, ec);
  return p;
}

}  // namespace

void Paths::setHome(const fs::path& home) {
  MutexLock lk(homeMutex());
  homeSetting() = home;
}

fs::path Paths::home() {
  {
    MutexLock lk(homeMutex());
    if (!homeSetting().empty()) return ensure(homeSetting());
  }
  if (const char* env = std::getenv("MARVISTO_HOME"); env && *env) return ensure(env);
  const char* user = std::getenv("HOME");
  return ensure(fs::path(user && *user ? user : "/tmp") / ".marvisto");
}

fs::path Paths::documents() { return ensure(home() / "Documents"); }
fs::path Paths::library() { return ensure(home() / "Library"); }
fs::path Paths::caches() { return ensure(home() / "Library" / "Caches"); }
fs::path Paths::preferences() { return ensure(home() / "Library" / "Preferences"); }
fs::path Paths::tmp() { return ensure(home() / "tmp"); }

bool writeFileAtomically(const fs::path& path, const void* bytes, size_t size, unsigned mode) {
  static std::atomic<unsigned> counter{0};
  fs::path tmp = path;
  tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++counter);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  ::fchmod(fd, mode);  // the umask must not widen or narrow what the caller asked for
  const char* p = static_cast<const char*>(bytes);
  size_t left = size;
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= size_t(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace platform
