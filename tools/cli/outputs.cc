#include "cli/outputs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// Every byte to `fd`, waiting when it takes no more for now: 0, or the errno
// of the first failure.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A descriptor handed to us non-blocking (a shared terminal or pipe).
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

int WriteAndClose(int fd, std::string_view bytes) {
  int reason = WriteAll(fd, bytes);
  if (close(fd) != 0 && reason == 0) reason = errno;
  return reason;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.size() < 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

// Whether `folder` is where this process's descriptors are listed:
// /proc/<pid>/fd or /proc/<pid>/task/<tid>/fd, under whatever names lead there
// (/dev/fd, /proc/self/fd, /proc/thread-self/fd).
bool OwnDescriptorFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return false;
  const std::string r = real;
  std::free(real);
  const std::string mine = "/proc/" + std::to_string(getpid());
  if (r.compare(0, mine.size() + 1, mine + "/") != 0) return false;
  const std::string rest = r.substr(mine.size());
  if (rest == "/fd") return true;
  const size_t tid = std::string("/task/").size();
  return rest.compare(0, tid, "/task/") == 0 && rest.size() > tid + 3 &&
         rest.compare(rest.size() - 3, 3, "/fd") == 0 && AllDigits(rest.substr(tid, rest.size() - tid - 3));
}

// Where a write to a path goes.
struct Destination {
  enum Kind { kRefused, kOwnDescriptor, kInPlace, kReplace, kNew } kind = kRefused;
  int fd = -1;         // kOwnDescriptor
  std::string target;  // the name written, replaced or made: a link's target
  struct stat st {};   // of the file replaced, or of what is written in place
  int reason = 0;      // kRefused
};

// Follows `path` link by link. A name for one of this process's descriptors
// (/dev/stdout, /dev/fd/1, /proc/self/fd/1, a link to one of these) is that
// descriptor: opening it anew would reach the file behind it, truncate it or
// replace it, where the user asked for a write into the descriptor they gave
// (`>> app.txt` appends). Otherwise a path that is no regular file (a device,
// a pipe) is written in place, a regular file is replaced, and a link names
// the file that is.
Destination Resolve(const std::string& path) {
  Destination d;
  std::string name = path;
  for (int hop = 0;; ++hop) {
    if (hop == 40) {
      d.reason = ELOOP;
      return d;
    }
    const std::filesystem::path p(name);
    const std::string folder = p.has_parent_path() ? p.parent_path().string() : ".";
    if (AllDigits(p.filename().string()) && OwnDescriptorFolder(folder)) {
      d.kind = Destination::kOwnDescriptor;
      d.fd = std::stoi(p.filename().string());
      return d;
    }
    struct stat link {};
    if (lstat(name.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
    std::string to(static_cast<size_t>(link.st_size > 0 ? link.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(name.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<size_t>(n) >= to.size()) break;
    to.resize(static_cast<size_t>(n));
    name = to.front() == '/' ? to : (p.has_parent_path() ? p.parent_path() / to : std::filesystem::path(to)).string();
  }
  // `name` is where the links end: no link, or not there.
  if (stat(path.c_str(), &d.st) != 0) {
    d.reason = errno;
    if (errno != ENOENT) return d;
    d.kind = Destination::kNew;  // through a dangling link: the file it names
    d.target = name;
  } else if (S_ISDIR(d.st.st_mode)) {
    d.reason = EISDIR;
    return d;
  } else {
    // A device or a pipe cannot be replaced, only written; renaming over it
    // would put a plain file where /dev/null was. So is a file reached only
    // through another process's descriptor, which has no name to replace.
    struct stat end {};
    const bool named = stat(name.c_str(), &end) == 0 && end.st_dev == d.st.st_dev && end.st_ino == d.st.st_ino;
    d.kind = S_ISREG(d.st.st_mode) && named ? Destination::kReplace : Destination::kInPlace;
    d.target = d.kind == Destination::kReplace ? name : path;
  }
  d.reason = 0;
  return d;
}

// The name a new file takes beside `target` until it is complete: short and
// hidden whatever the target's length, so that any name the folder takes can
// be written this way. Opened for writing with O_EXCL (so no one's file or
// link is ever followed or reused), or -1 with errno.
int OpenPart(const std::string& target, std::string* part) {
  static std::atomic<unsigned> count{0};
  const std::filesystem::path t(target);
  std::string stem = t.filename().string().substr(0, 16);
  while (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0xC0) == 0x80) stem.pop_back();
  if (!stem.empty() && static_cast<unsigned char>(stem.back()) >= 0xC0) stem.pop_back();  // a cut lead byte
  for (int tries = 0;; ++tries) {
    const std::string name = "." + stem + "." + std::to_string(getpid()) + "-" + std::to_string(count++);
    *part = t.has_parent_path() ? (t.parent_path() / name).string() : name;
    const int fd = open(part->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST || tries == 99) return fd;
  }
}

// A file the user may not write is not replaced behind their back, as
// writing into it would not be allowed either.
int MayReplace(const Destination& d) {
  return faccessat(AT_FDCWD, d.target.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int CheckOwnDescriptor(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  return (flags & O_ACCMODE) == O_RDONLY ? EBADF : 0;
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
  const Destination d = Resolve(path);
  switch (d.kind) {
    case Destination::kRefused:
      return Reason(d.reason);
    case Destination::kOwnDescriptor: {
      // What the program printed before comes first.
      if (d.fd == STDOUT_FILENO) std::fflush(stdout);
      const int reason = CheckOwnDescriptor(d.fd);
      const int written = reason != 0 ? reason : WriteAll(d.fd, bytes);
      return written != 0 ? Reason(written) : "";
    }
    case Destination::kInPlace: {
      // A pipe waits here for its reader, as any writer into it would.
      const int fd = open(d.target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd < 0) return Reason(errno);
      const int reason = WriteAndClose(fd, bytes);
      return reason != 0 ? Reason(reason) : "";
    }
    case Destination::kReplace:
    case Destination::kNew:
      break;
  }
  if (d.kind == Destination::kReplace) {
    if (const int reason = MayReplace(d); reason != 0) return Reason(reason);
  }
  std::string part;
  const int fd = OpenPart(d.target, &part);
  if (fd < 0) return Reason(errno);
  int reason = d.kind == Destination::kReplace && fchmod(fd, d.st.st_mode & 07777) != 0 ? errno : 0;
  const int written = WriteAndClose(fd, reason == 0 ? bytes : std::string_view());
  if (reason == 0) reason = written;
  if (reason == 0 && rename(part.c_str(), d.target.c_str()) != 0) reason = errno;
  if (reason != 0) {
    unlink(part.c_str());
    return Reason(reason);
  }
  return "";
}

std::string FileWritable(const std::string& path) {
  if (path.empty()) return "no path given";
  const Destination d = Resolve(path);
  int reason = 0;
  switch (d.kind) {
    case Destination::kRefused:
      return Reason(d.reason);
    case Destination::kOwnDescriptor:
      reason = CheckOwnDescriptor(d.fd);
      break;
    case Destination::kInPlace:
      if (S_ISFIFO(d.st.st_mode)) {
        // Opening a pipe's write end and closing it again would be the end of
        // the input to a reader already waiting, and the real write would then
        // wait for a reader forever.
        reason = faccessat(AT_FDCWD, d.target.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
      } else {
        const int fd = open(d.target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) reason = errno;
        else close(fd);
      }
      break;
    case Destination::kNew: {
      // The name itself must be one the folder takes (not too long, say).
      const int fd = open(d.target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) return Reason(errno);
      close(fd);
      unlink(d.target.c_str());
      [[fallthrough]];
    }
    case Destination::kReplace: {
      if (d.kind == Destination::kReplace && (reason = MayReplace(d)) != 0) break;
      // The file the write makes beside the target, as the write makes it.
      std::string part;
      const int fd = OpenPart(d.target, &part);
      if (fd < 0) {
        reason = errno;
      } else {
        close(fd);
        unlink(part.c_str());
      }
      break;
    }
  }
  return reason != 0 ? Reason(reason) : "";
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
