#include "cli/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace cli {
namespace {

// Every byte to `fd`, then closes it: 0, or the errno of the first failure.
int WriteAndClose(int fd, std::string_view bytes) {
  int reason = 0;
  while (!bytes.empty() && reason == 0) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n >= 0) bytes.remove_prefix(static_cast<size_t>(n));
    else if (errno != EINTR) reason = errno;
  }
  if (close(fd) != 0 && reason == 0) reason = errno;
  return reason;
}

std::string InPlace(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Reason(errno);
  const int reason = WriteAndClose(fd, bytes);
  return reason != 0 ? Reason(reason) : "";
}

void CheckStdoutAtExit() {
  // Whatever is still buffered goes now, while a failure can still be told.
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  const int code = errno;
  std::fprintf(stderr, "%s: cannot write stdout: %s\n", program_invocation_short_name,
               code != 0 ? Reason(code).c_str() : "write error");
  _exit(1);
}

}  // namespace

std::string Reason(int code) { return std::generic_category().message(code); }

void StartProgram() {
  // Past the file size limit a write fails with EFBIG, so the program says
  // which file could not be written and removes what it began, where the
  // signal would end it at once and leave a cut file behind.
  std::signal(SIGXFSZ, SIG_IGN);
  // Nor would a table cut short on stdout end it: that is told at exit.
  std::atexit(CheckStdoutAtExit);
}

void Appendf(std::string& out, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
  } else {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, copy);
    big.resize(static_cast<size_t>(n));
    out += big;
  }
  va_end(copy);
}

std::string WriteWholeFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return "no path given";
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Reason(EISDIR);
  // A device or a pipe cannot be replaced, only written; renaming over it would
  // put a plain file where /dev/stdout was.
  if (exists && !S_ISREG(st.st_mode)) return InPlace(path, bytes);
  // A link keeps pointing where it did: the file it names is the one replaced.
  std::string target = path;
  struct stat link {};
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return InPlace(path, bytes);  // a dangling link: its target is made
    target = real;
    std::free(real);
  }
  std::string part;
  int fd = -1;
  for (int n = 0; fd < 0; ++n) {
    part = target + ".part-" + std::to_string(getpid()) + "-" + std::to_string(n);
    fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || n == 99)) return Reason(errno);
  }
  int reason = exists && fchmod(fd, st.st_mode & 07777) != 0 ? errno : 0;
  const int written = WriteAndClose(fd, reason == 0 ? bytes : std::string_view());
  if (reason == 0) reason = written;
  if (reason == 0 && rename(part.c_str(), target.c_str()) != 0) reason = errno;
  if (reason != 0) {
    unlink(part.c_str());
    return Reason(reason);
  }
  return "";
}

std::string FileWritable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Reason(EISDIR);
  // O_EXCL tells a file made here from one that was there, which must stay as it was.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    close(fd);
    unlink(path.c_str());
    return "";
  }
  if (errno != EEXIST) return Reason(errno);
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Reason(errno);
  close(fd);
  // A file is replaced by a new one made beside it (beside the file a link names).
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    const std::string folder = std::filesystem::path(real ? real : path).parent_path().string();
    std::free(real);
    return FolderWritable(folder.empty() ? "." : folder);
  }
  return "";
}

std::string FolderWritable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Reason(errno);
  if (!S_ISDIR(st.st_mode)) return Reason(ENOTDIR);
  std::string probe = path + "/.write-check.XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) return Reason(errno);
  close(fd);
  unlink(probe.c_str());
  return "";
}

std::string MakeWritableFolder(const std::string& path) {
  if (path.empty()) return "no path given";
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ec.message();
  return FolderWritable(path);
}

std::string FileReadable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Reason(EISDIR);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Reason(errno);
  close(fd);
  return "";
}

}  // namespace cli
