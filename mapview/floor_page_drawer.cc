#include "mapview/floor_page_drawer.h"

#include <cairo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "Foundation/mc_log.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The drawing program's answer: this header, the note, then (for a page that drew) its
// pixels row by row, ARGB32 premultiplied with no padding. Both ends are this build on this
// machine, so the fields are in its own byte order.
struct AnswerHeader {
  char magic[8];
  uint32_t loaded;
  uint32_t width;
  uint32_t height;
  uint32_t noteSize;
};
constexpr char kMagic[8] = {'M', 'V', 'F', 'L', 'O', 'O', 'R', '1'};
constexpr uint32_t kMaxNote = 4096;

std::string Reason(int error) { return std::system_category().message(error); }

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const void* bytes, size_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, size -= size_t(n);
  }
  return true;
}

// The drawing program's process; ended and reaped when this goes, whatever it is doing then.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { end(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // How it ended ("exit status 1", "signal 11").
  std::string end() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
      pid_ = 0;
    }
    if (WIFSIGNALED(status_)) return "signal " + std::to_string(WTERMSIG(status_));
    return "exit status " + std::to_string(WEXITSTATUS(status_));
  }

 private:
  pid_t pid_;
  int status_ = 0;
};

// Reads `size` bytes from `fd` into `to` before the deadline; false at the deadline or at the
// end of the stream, which `timedOut` tells apart.
bool ReadBefore(int fd, Clock::time_point deadline, void* to, size_t size, bool& timedOut, std::string& why) {
  auto* p = static_cast<uint8_t*>(to);
  while (size > 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return timedOut = true, false;
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, int(std::min<int64_t>(left, 60000)));
    if (polled < 0 && errno != EINTR) return why = "cannot wait for the drawing program: " + Reason(errno), false;
    if (polled <= 0) continue;
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return why = "cannot read the drawing program's answer: " + Reason(errno), false;
    if (n == 0) return false;
    p += n, size -= size_t(n);
  }
  return true;
}

// The page the program draws of the data, or none with the reason.
std::optional<MCFloorPage> DrawInChild(const std::string& program, const std::string& type,
                                       const std::vector<uint8_t>& data, Clock::time_point deadline,
                                       bool& timedOut, std::string& why) {
  // The picture waits in memory for the program to read at its pace, so that a program that
  // never reads cannot hold this side in a write.
  Fd in(memfd_create("marvisto-floor-picture", MFD_CLOEXEC));
  if (in.get() < 0 || !WriteAll(in.get(), data.data(), data.size()) || lseek(in.get(), 0, SEEK_SET) != 0) {
    why = "cannot hand the picture to the drawing program: " + Reason(errno);
    return std::nullopt;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    why = "cannot hand the picture to the drawing program: " + Reason(errno);
    return std::nullopt;
  }
  Fd answer(ends[0]), answerEnd(ends[1]);
  // A page is megabytes: a pipe of the largest size an unprivileged process may ask for
  // (1 MB by default) takes it in a few rounds instead of one per 64 KB. Best effort.
  fcntl(answer.get(), F_SETPIPE_SZ, 1 << 20);

  // The program gets the picture and the answer's pipe and no other descriptor of this
  // process, its signals at their defaults and none blocked. It dies with the thread that
  // starts it (it says so to the kernel), which waits here until the program has ended.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, answerEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string parent = std::to_string(getpid());
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(type.c_str()),
                  const_cast<char*>(parent.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    why = "cannot start the drawing program " + program + ": " + Reason(spawned);
    return std::nullopt;
  }
  in.reset();
  answerEnd.reset();
  Child child(pid);

  auto ended = [&](const char* what) {
    if (!timedOut && why.empty()) why = std::string(what) + " (the drawing program ended with " + child.end() + ")";
    return std::nullopt;
  };
  AnswerHeader header{};
  if (!ReadBefore(answer.get(), deadline, &header, sizeof header, timedOut, why)) return ended("no page");
  const bool loaded = header.loaded == 1;
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.loaded > 1 || header.noteSize > kMaxNote ||
      (loaded && (header.width < 1 || header.height < 1 || header.width > 32767 || header.height > 32767 ||
                  int64_t(header.width) * header.height > MCFloorPage::kMaxPixels))) {
    why = "the drawing program's answer is not a page";
    return std::nullopt;
  }
  std::string note(header.noteSize, '\0');
  if (!ReadBefore(answer.get(), deadline, note.data(), note.size(), timedOut, why)) return ended("a cut answer");
  MCFloorPage page = MCFloorPage::empty(type, {});
  page.note = std::move(note);
  if (!loaded) return page;

  const int w = int(header.width), h = int(header.height), stride = w * 4;
  std::vector<uint8_t> pixels(size_t(stride) * size_t(h));
  if (!ReadBefore(answer.get(), deadline, pixels.data(), pixels.size(), timedOut, why)) return ended("a cut page");
  child.end();
  cairo_surface_t* s = cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_ARGB32, w, h, stride);
  page.image = platform::Image::imageWithSurface(s);
  cairo_surface_destroy(s);
  if (!page.image) {
    why = "no memory for a page of " + std::to_string(w) + " x " + std::to_string(h);
    return std::nullopt;
  }
  page.loaded = true;
  return page;
}

// The drawing program's own failures (not started, ended without a page, answered amiss)
// leave every SVG and JPG floor of the process an empty page, so the first of them is told on
// stderr, where a user running the program sees it, besides the log, which has each. A picture
// that is slow or does not draw is the picture's matter: the log alone has it.
void TellOnce(const std::string& why) {
  static std::atomic<bool> told{false};
  if (!told.exchange(true)) std::fprintf(stderr, "marvisto: SVG and JPG floors show an empty page: %s\n", why.c_str());
}

}  // namespace

MCFloorPageDrawer::MCFloorPageDrawer(std::string program, double timeLimit)
    : program_(std::move(program)), timeLimit_(timeLimit) {}

std::string MCFloorPageDrawer::installedProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto beside = (self.parent_path() / MARVISTO_FLOOR_DRAW_FROM_BIN).lexically_normal();
    if (std::filesystem::exists(beside, error)) return beside.string();
  }
  return MARVISTO_FLOOR_DRAW_INSTALLED;
}

MCFloorPage MCFloorPageDrawer::render(std::string mimeType, std::vector<uint8_t> data) const {
  // The time is the wall's, not the platform clock's: it bounds real drawing work.
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::max(0.0, timeLimit_)));
  // Without a picture there is nothing to draw.
  if (mimeType != "image/svg+xml" && mimeType != "image/jpg") {
    return MCFloorPage::render(std::move(mimeType), std::move(data));
  }
  bool timedOut = false;
  std::string why;
  std::optional<MCFloorPage> page = DrawInChild(program_, mimeType, data, deadline, timedOut, why);
  if (page) {
    if (!page->note.empty()) MC_LOG(2, page->note + "\n");
    page->data = std::move(data);
    return std::move(*page);
  }
  if (timedOut) {
    char limit[64];
    std::snprintf(limit, sizeof limit, "not drawn within %.1f s", timeLimit_);
    why = limit;
  } else {
    TellOnce(why);
  }
  MC_LOG(1, "ERROR! Floor picture (" + (mimeType.empty() ? std::string("no data") : mimeType) + ", " +
                std::to_string(data.size()) + " bytes) " + why + "; the floor shows an empty page\n");
  return MCFloorPage::empty(std::move(mimeType), std::move(data));
}

bool MCFloorPageDrawer::serve(const std::string& mimeType, int in, int out) {
  std::vector<uint8_t> data;
  uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  const MCFloorPage page = MCFloorPage::render(mimeType, std::move(data));
  AnswerHeader header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  const std::string note = page.note.substr(0, kMaxNote);
  header.noteSize = uint32_t(note.size());
  cairo_surface_t* s = page.image->surface();
  if (page.loaded) {
    header.loaded = 1;
    header.width = uint32_t(cairo_image_surface_get_width(s));
    header.height = uint32_t(cairo_image_surface_get_height(s));
  }
  if (!WriteAll(out, &header, sizeof header) || !WriteAll(out, note.data(), note.size())) return false;
  if (!page.loaded) return true;
  cairo_surface_flush(s);
  const uint8_t* row = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  const size_t rowSize = size_t(header.width) * 4;
  if (size_t(stride) == rowSize) return WriteAll(out, row, rowSize * header.height);
  for (uint32_t y = 0; y < header.height; ++y, row += stride) {
    if (!WriteAll(out, row, size_t(header.width) * 4)) return false;
  }
  return true;
}
