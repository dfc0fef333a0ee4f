#include "server/mqueue/mqueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/content/content_helper.h"

namespace {

constexpr const char* kBoundary = "iuJiWoa6hiGud8hi";
constexpr int kMaxBatchFilesLimit = 9999;
constexpr size_t kReadPiece = 32768;

// Opens and flock()s a file shared with other queues on the directory, in this
// or another process. A file replaced or deleted while we waited for the lock
// is opened again, so no line goes into a file that is already gone.
int OpenLocked(const std::string& path, int flags) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat a, b;
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 &&
        a.st_ino == b.st_ino && a.st_dev == b.st_dev)
      return fd;
    close(fd);
  }
  return -1;
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[kReadPiece];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out->append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list ap, ap2;
  va_start(ap, format);
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  std::vsnprintf(s.data(), s.size() + 1, format, ap2);
  va_end(ap2);
  return s;
}

std::string Part(const std::string& name, const std::string& value) {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"\r\n\r\n" + value + "\r\n";
}

}  // namespace

MQueueManager::MQueueManager(const std::string& url, const std::string& directory_,
                             int maxBatchBytes, int maxBatchFiles)
    : URL(url),
      directory(directory_),
      maximumBatchBytes(maxBatchBytes),
      maximumBatchFiles(std::clamp(maxBatchFiles, 1, kMaxBatchFilesLimit)) {
  try {
    thread = std::thread(&MQueueManager::threadRoutine, this);
  } catch (...) {
    MV_LOG(1, "MQueueManager: unable create or initialize thread\n");
    std::abort();
  }
}

MQueueManager::~MQueueManager() {
  {
    LockGuard<Mutex> g(mutex);
    quitting = true;
  }
  wake.notify_all();
  thread.join();
  if (lockFd >= 0) close(lockFd);
}

void MQueueManager::start() {
  LockGuard<Mutex> g(mutex);
  started = true;
}

void MQueueManager::stop() {
  LockGuard<Mutex> g(mutex);
  stopped = true;
}

void MQueueManager::setSleepTimeout(int milliseconds) {
  LockGuard<Mutex> g(mutex);
  sleepTimeout = std::max(milliseconds, 0);
}

void MQueueManager::setPostTimeout(int seconds) {
  LockGuard<Mutex> g(mutex);
  postTimeout = seconds;
}

void MQueueManager::setRetryTimeout(int firstMs, int maxMs) {
  LockGuard<Mutex> g(mutex);
  retryFirstMs = std::max(firstMs, 0);
  retryMaxMs = std::max(maxMs, retryFirstMs);
}

void MQueueManager::addMessage(const std::string& message) {
  LockGuard<Mutex> g(mutex);
  int fd = OpenLocked(directory + "/queue.xml", O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return;  // no directory: the message is dropped
  std::string line = message + "\n";
  if (!WriteAll(fd, line.data(), line.size())) MV_LOG(1, "MQueueManager: cannot queue message: %s\n", strerror(errno));
  close(fd);
}

void MQueueManager::setParameter(const std::string& name, const std::string& value) {
  LockGuard<Mutex> g(mutex);
  parameters.emplace(name, value);
}

std::string MQueueManager::getParameter(const std::string& name) {
  LockGuard<Mutex> g(mutex);
  auto it = parameters.find(name);
  return it == parameters.end() ? std::string() : it->second;
}

uint32_t MQueueManager::getUploadTime() {
  LockGuard<Mutex> g(mutex);
  return uploadTime;
}

void MQueueManager::lock() { mutex.lock(); }
void MQueueManager::unlock() { mutex.unlock(); }

bool MQueueManager::waitFor(std::chrono::milliseconds delay) {
  std::unique_lock<Mutex> g(mutex);
  wake.wait_for(g, delay, [this] { return quitting; });
  return !quitting;
}

void MQueueManager::threadRoutine() {
  int failures = 0;
  auto nextPost = std::chrono::steady_clock::now();
  for (;;) {
    int sleepMs;
    {
      LockGuard<Mutex> g(mutex);
      sleepMs = sleepTimeout;
    }
    if (!waitFor(std::chrono::milliseconds(sleepMs))) break;
    {
      LockGuard<Mutex> g(mutex);
      if (!started) continue;
      if (stopped) break;
    }
    if (!ownDirectory()) continue;
    prepare();
    if (std::chrono::steady_clock::now() < nextPost) continue;
    int result = 0;
    if (!upload(&result)) continue;
    if (result == 0) {
      failures = 0;
      continue;
    }
    // A server that is down sees fewer and fewer attempts, not one per cycle.
    int64_t first, most;
    {
      LockGuard<Mutex> g(mutex);
      first = retryFirstMs;
      most = retryMaxMs;
    }
    failures = std::min(failures + 1, 40);
    int64_t delay = std::min(most, first << std::min(failures - 1, 30));
    nextPost = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
  }
  LockGuard<Mutex> g(mutex);
  if (lockFd >= 0) close(lockFd);  // another queue may take the directory over
  lockFd = -1;
}

bool MQueueManager::ownDirectory() {
  LockGuard<Mutex> g(mutex);
  if (lockFd >= 0) return true;
  int fd = open((directory + "/queue.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;  // no directory yet: nothing to post either
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    if (!toldBusy) MV_LOG(1, "MQueueManager: %s is served by another queue\n", directory.c_str());
    toldBusy = true;
    return false;
  }
  lockFd = fd;
  return true;
}

std::string MQueueManager::batchPath(int number) const {
  return number == 0 ? directory + "/upload.xml" : directory + Format("/upload.%04d.xml", number);
}

void MQueueManager::moveUploadFiles() {
  for (int n = maximumBatchFiles; n >= 2; --n)
    if (Exists(batchPath(n - 1))) std::rename(batchPath(n - 1).c_str(), batchPath(n).c_str());
  std::rename(batchPath(0).c_str(), batchPath(1).c_str());
}

void MQueueManager::prepare() {
  LockGuard<Mutex> g(mutex);
  const std::string queuePath = directory + "/queue.xml";
  int in = OpenLocked(queuePath, O_RDONLY);
  if (in < 0) return;
  int out = open(batchPath(0).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  struct stat st;
  int64_t size = out >= 0 && fstat(out, &st) == 0 ? st.st_size : 0;
  // Batches close only between lines, and a line either lands whole in a batch
  // or stays in "queue.xml": nothing is split, lost or copied twice.
  int64_t pos = 0, done = 0, batchAtDone = size;  // queue bytes safely batched, batch size then
  bool ok = out >= 0, midLine = false;
  char buf[kReadPiece];
  ssize_t n = 0;
  while (ok && ((n = read(in, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
    for (ssize_t i = 0; ok && i < n;) {
      if (!midLine && size > maximumBatchBytes) {
        close(out);
        moveUploadFiles();
        out = open(batchPath(0).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        size = batchAtDone = 0;
        if (!(ok = out >= 0)) break;
      }
      const char* nl = static_cast<const char*>(memchr(buf + i, '\n', static_cast<size_t>(n - i)));
      ssize_t end = nl ? nl - buf + 1 : n;
      if (!(ok = WriteAll(out, buf + i, static_cast<size_t>(end - i)))) break;
      size += end - i;
      midLine = nl == nullptr;
      i = end;
      if (!midLine) done = pos + end, batchAtDone = size;
    }
    if (n > 0) pos += n;
  }
  if (n < 0) ok = false;
  if (ok && midLine && (ok = WriteAll(out, "\n", 1))) done = pos;  // a cut last line must not merge with the next
  if (!ok) {
    MV_LOG(1, "MQueueManager: cannot batch messages in %s: %s\n", directory.c_str(), strerror(errno));
    if (out >= 0 && ftruncate(out, batchAtDone) != 0) MV_LOG(1, "MQueueManager: cannot cut %s\n", batchPath(0).c_str());
    if (done > 0) {  // keep only what is not yet in a batch
      std::string tmp = queuePath + ".tmp";
      lseek(in, done, SEEK_SET);
      int t = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      bool copied = t >= 0;
      while (copied && (n = read(in, buf, sizeof buf)) > 0) copied = WriteAll(t, buf, static_cast<size_t>(n));
      if (t >= 0) close(t);
      if (!copied || n < 0 || std::rename(tmp.c_str(), queuePath.c_str()) != 0) unlink(tmp.c_str());
    }
  } else {
    unlink(queuePath.c_str());
  }
  if (out >= 0) close(out);
  close(in);
}

bool MQueueManager::upload(int* result) {
  std::string path;
  for (int n = maximumBatchFiles; n >= 0 && path.empty(); --n)
    if (Exists(batchPath(n))) path = batchPath(n);
  std::string xml;
  if (path.empty() || !ReadFile(path, &xml)) return false;
  if (xml.empty()) {  // nothing worth a post
    unlink(path.c_str());
    return false;
  }
  std::string host, pathPart;
  if (!ParseURL(URL, nullptr, &host, nullptr, &pathPart)) {
    MV_LOG(1, "Upload failed: invalid url: %s\n", URL.c_str());
    *result = -1;
    return true;
  }
  const auto begin = std::chrono::steady_clock::now();
  const int64_t now = GetCurrentTimeMillis() / 1000;
  int year, month, day, hour, minute, second;
  GetLocalTime(now, &year, &month, &day, &hour, &minute, &second);
  std::string body;
  int packet, timeoutSecs;
  {
    LockGuard<Mutex> g(mutex);
    for (const auto& [name, value] : parameters) body += Part(name, value);
    packet = static_cast<int>(++packetNumber);
    timeoutSecs = postTimeout;
  }
  body += Part("packetNumber", std::to_string(packet));
  body += Part("localTime", Format("%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second));
  body += Part("xml", xml) + "--" + kBoundary + "--\r\n";
  std::string request = Format(
      "POST %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nContent-Type: multipart/form-data; "
      "boundary=%s\r\nContent-Length: %zu\r\n\r\n",
      pathPart.c_str(), host.c_str(), kBoundary, body.size());
  request += body;
  MV_LOG(3, "Sending POST request:\n%.1000s...\n", request.c_str());

  int id = StartUrlPoster(URL, request, "");
  int state = -1;
  // Short waits first: a refused connection ends in a millisecond.
  for (int waitMs = 1;; waitMs = std::min(waitMs * 2, 100)) {
    state = CheckLocationLoader(id);
    if (static_cast<unsigned>(state) > 99) break;
    if (timeoutSecs > 0 && std::chrono::steady_clock::now() - begin > std::chrono::seconds(timeoutSecs)) {
      MV_LOG(2, "Upload timeout (%d secs)!\n", timeoutSecs);
      state = -1;
      break;
    }
    if (!waitFor(std::chrono::milliseconds(waitMs))) {
      state = -1;
      break;
    }
  }
  StopLocationLoader(id);
  *result = state == 100 ? 0 : state;
  if (*result != 0) {
    MV_LOG(2, "Upload failed: error %d, packet %d, xml %d bytes\n", *result, packet, static_cast<int>(xml.size()));
  } else {
    MV_LOG(2, "Upload finished: packet %d, xml %d bytes\n", packet, static_cast<int>(xml.size()));
    unlink(path.c_str());
    LockGuard<Mutex> g(mutex);
    uploadTime = static_cast<uint32_t>(now);
  }
  MV_LOG(2, "----------------------------------------------------------------\n\n");
  return true;
}
