#include "server/mqueue/mqueue.h"

#include <dirent.h>
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
#include <vector>

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

std::string Part(const std::string& boundary, const std::string& name, const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

// The usual boundary unless the form's contents hold it: a message quoting it
// would end its part early and the server would lose what follows.
std::string ChooseBoundary(const std::string& contents) {
  std::string boundary = kBoundary;
  // An odd multiplier makes every candidate distinct, so this ends within
  // contents.size() + 1 tries.
  for (uint32_t i = 1; contents.find(boundary) != std::string::npos; ++i)
    boundary = kBoundary + Format("%08x", i * 2654435761u);
  return boundary;
}

// A line without its newline at the end of "queue.xml", found while we hold
// the file's lock, was left by a writer that died mid-append and never
// reported it stored: cut it off so the next line cannot join it.
bool DropCutLine(int fd, off_t* size) {
  char last;
  if (*size == 0) return true;
  if (pread(fd, &last, 1, *size - 1) != 1) return false;
  if (last == '\n') return true;
  off_t keep = 0;
  char buf[4096];
  for (off_t end = *size - 1; end > 0 && keep == 0;) {
    const off_t begin = std::max<off_t>(0, end - static_cast<off_t>(sizeof buf));
    const ssize_t n = pread(fd, buf, static_cast<size_t>(end - begin), begin);
    if (n != end - begin) return false;
    for (ssize_t i = n - 1; i >= 0; --i)
      if (buf[i] == '\n') {
        keep = begin + i + 1;
        break;
      }
    end = begin;
  }
  if (ftruncate(fd, keep) != 0) return false;
  MV_LOG(1, "MQueueManager: dropped %lld bytes of a cut line\n", static_cast<long long>(*size - keep));
  *size = keep;
  return true;
}

bool WriteFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size());
  return close(fd) == 0 && ok;
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

bool MQueueManager::addMessage(const std::string& message) {
  if (message.find('\n') != std::string::npos) {
    MV_LOG(1, "MQueueManager: message refused: a line feed would split it (%zu bytes)\n", message.size());
    return false;
  }
  LockGuard<Mutex> g(mutex);
  int fd = OpenLocked(directory + "/queue.xml", O_RDWR | O_APPEND | O_CREAT);
  if (fd < 0) {
    if (errno != ENOENT) MV_LOG(1, "MQueueManager: cannot queue message: %s\n", strerror(errno));
    return false;  // no directory: the message is not stored
  }
  struct stat st;
  off_t size = fstat(fd, &st) == 0 ? st.st_size : -1;
  const std::string line = message + "\n";
  bool ok = size >= 0 && DropCutLine(fd, &size) && WriteAll(fd, line.data(), line.size());
  if (!ok) {
    const int error = errno;
    // A part of the line would join the next message: take it back.
    if (size >= 0 && ftruncate(fd, size) != 0) MV_LOG(1, "MQueueManager: cannot cut a failed line: %s\n", strerror(errno));
    MV_LOG(1, "MQueueManager: cannot queue message: %s\n", strerror(error));
  }
  close(fd);
  return ok;
}

bool MQueueManager::setParameter(const std::string& name, const std::string& value) {
  if (name.find_first_of("\r\n\"") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) {
    MV_LOG(1, "MQueueManager: parameter \"%.100s\" refused: it holds a line break or quote\n", name.c_str());
    return false;
  }
  LockGuard<Mutex> g(mutex);
  parameters.emplace(name, value);
  return true;
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

bool MQueueManager::waitWhilePosting(std::chrono::milliseconds most) {
  std::unique_lock<Mutex> g(mutex);
  return wake.wait_for(g, most, [this] { return !posting; });
}

bool MQueueManager::waitUntilDrained(std::chrono::milliseconds most) {
  std::unique_lock<Mutex> g(mutex);
  const uint64_t asked = cycle;
  return wake.wait_for(g, most, [&] { return drainedAt > asked; });
}

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
      ++cycle;
    }
    if (!ownDirectory()) continue;
    if (!prepare()) continue;
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
    // Normal while a stopped queue finishes its last post.
    if (!toldBusy) MV_LOG(2, "MQueueManager: %s is served by another queue\n", directory.c_str());
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
  // The rotation has no room for the oldest batch: it goes, and says how much.
  const std::string oldest = batchPath(maximumBatchFiles);
  std::string lost;
  if (ReadFile(oldest, &lost) && unlink(oldest.c_str()) == 0) {
    const auto lines = std::count(lost.begin(), lost.end(), '\n') + (!lost.empty() && lost.back() != '\n');
    MV_LOG(1, "MQueueManager: dropped the oldest batch, %lld messages (%zu bytes): %d batches wait already\n",
           static_cast<long long>(lines), lost.size(), maximumBatchFiles);
  }
  for (int n = maximumBatchFiles; n >= 2; --n)
    if (Exists(batchPath(n - 1))) std::rename(batchPath(n - 1).c_str(), batchPath(n).c_str());
  std::rename(batchPath(0).c_str(), batchPath(1).c_str());
}

// Batching moves lines from "queue.xml" into batch files in one atomic step, so
// a line is in exactly one of "queue.xml", "queue.batching" or a batch, also
// across a full disk or a kill at any point:
//  1. "queue.xml" is renamed to "queue.batching" (new messages start a new one);
//  2. the new contents of "upload.xml" (the old lines first) and of the batches
//     that close are written to "batch.<n>.tmp" files; a failure (disk full)
//     removes them and keeps "queue.batching" for the next cycle;
//  3. "batch.commit" is created: from here the temporary files hold every
//     line of "queue.batching", which is deleted;
//  4. the temporary files are renamed into place in order, rotating between
//     them, and "batch.commit" is deleted.
// A kill before 3 leaves stray temporary files (deleted at the next cycle);
// a kill after it is finished by the next cycle (finishBatching) before
// anything is posted. Posting is at least once: a post whose reply never came
// is posted again.
bool MQueueManager::prepare() {
  LockGuard<Mutex> g(mutex);
  if (!finishBatching()) return false;
  const std::string taken = directory + "/queue.batching";
  if (Exists(taken)) {
    batchFile(taken);
    if (Exists(taken)) return !Exists(directory + "/batch.commit");
  }
  const std::string queuePath = directory + "/queue.xml";
  // Holding the file's lock waits for a writer in another process to finish
  // its line; it then finds the file gone and starts a new one.
  int in = OpenLocked(queuePath, O_RDONLY);
  if (in < 0) return true;
  const bool renamed = std::rename(queuePath.c_str(), taken.c_str()) == 0;
  close(in);
  if (!renamed) {
    MV_LOG(1, "MQueueManager: cannot batch messages in %s: %s\n", directory.c_str(), strerror(errno));
    return true;
  }
  batchFile(taken);
  return !Exists(directory + "/batch.commit");
}

bool MQueueManager::batchFile(const std::string& taken) {
  std::string queued;
  if (!ReadFile(taken, &queued)) {
    MV_LOG(1, "MQueueManager: cannot read %s: %s\n", taken.c_str(), strerror(errno));
    return false;
  }
  if (queued.empty()) return unlink(taken.c_str()) == 0;
  const bool whole = queued.back() == '\n';
  if (!whole) queued += '\n';  // a cut last line must not merge with the next
  struct stat st;
  int64_t size = stat(batchPath(0).c_str(), &st) == 0 ? st.st_size : 0;
  if (size > maximumBatchBytes) {  // the open batch is full already
    moveUploadFiles();
    size = 0;
  }
  // Batches close only between lines: a batch may exceed the maximum by one line.
  std::vector<std::string> batches(1);
  const int64_t openBatchBytes = size;
  for (size_t at = 0; at < queued.size();) {
    const size_t end = queued.find('\n', at) + 1;
    if (size > maximumBatchBytes) batches.emplace_back(), size = 0;
    batches.back().append(queued, at, end - at);
    size += static_cast<int64_t>(end - at);
    at = end;
  }
  if (openBatchBytes == 0 && batches.size() == 1 && whole) {  // nothing to copy: just a rename
    if (std::rename(taken.c_str(), batchPath(0).c_str()) == 0) return true;
  }
  std::string old;  // the open batch's lines, which batch 1 replaces
  if (openBatchBytes > 0 && !ReadFile(batchPath(0), &old)) {
    MV_LOG(1, "MQueueManager: cannot read %s: %s\n", batchPath(0).c_str(), strerror(errno));
    return false;
  }
  if (!old.empty() && old.back() != '\n') old += '\n';
  batches.front().insert(0, old);
  const std::string commit = directory + "/batch.commit";
  bool ok = true;
  size_t written = 0;
  for (; ok && written < batches.size(); ++written)
    ok = WriteFile(directory + Format("/batch.%zu.tmp", written + 1), batches[written]);
  if (ok) ok = WriteFile(commit, "");
  if (!ok) {
    if (!batchingFails) MV_LOG(1, "MQueueManager: cannot batch messages in %s: %s\n", directory.c_str(), strerror(errno));
    batchingFails = true;
    unlink(commit.c_str());
    for (size_t i = 1; i <= written; ++i) unlink((directory + Format("/batch.%zu.tmp", i)).c_str());
    // A full disk still has room for a rename: an oversized batch posts, and
    // its post frees the space.
    if (openBatchBytes == 0 && std::rename(taken.c_str(), batchPath(0).c_str()) == 0) return true;
    return false;
  }
  batchingFails = false;
  unlink(taken.c_str());
  return finishBatching();
}

bool MQueueManager::finishBatching() {
  const std::string commit = directory + "/batch.commit";
  const bool committed = Exists(commit);
  std::vector<int> numbers;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d)) {
      int n = 0;
      if (std::sscanf(e->d_name, "batch.%d.tmp", &n) == 1 && n > 0 && Format("batch.%d.tmp", n) == e->d_name)
        numbers.push_back(n);
    }
    closedir(d);
  }
  std::sort(numbers.begin(), numbers.end());
  if (!committed) {  // left by a kill before the commit: "queue.batching" still has the lines
    for (int n : numbers) unlink((directory + Format("/batch.%d.tmp", n)).c_str());
    return true;
  }
  unlink((directory + "/queue.batching").c_str());
  for (int n : numbers) {
    // Batch 1 holds the open batch's old lines and replaces it; each later one
    // closes the one before.
    if (n > 1) moveUploadFiles();
    if (std::rename((directory + Format("/batch.%d.tmp", n)).c_str(), batchPath(0).c_str()) != 0) {
      MV_LOG(1, "MQueueManager: cannot place a batch in %s: %s\n", directory.c_str(), strerror(errno));
      return false;
    }
  }
  unlink(commit.c_str());
  return true;
}

bool MQueueManager::upload(int* result) {
  std::string path;
  for (int n = maximumBatchFiles; n >= 0 && path.empty(); --n)
    if (Exists(batchPath(n))) path = batchPath(n);
  if (path.empty()) {  // batching has just emptied "queue.xml": every line is out
    {
      LockGuard<Mutex> g(mutex);
      drainedAt = cycle;
    }
    wake.notify_all();
    return false;
  }
  std::string xml;
  if (!ReadFile(path, &xml)) return false;
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
  std::map<std::string, std::string> fields;
  int packet, timeoutSecs;
  {
    LockGuard<Mutex> g(mutex);
    if (stopped || quitting) return false;  // no post starts once stop has been asked
    posting = true;
    fields = parameters;
    packet = static_cast<int>(++packetNumber);
    timeoutSecs = postTimeout;
  }
  const std::string localTime = Format("%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  std::string contents = xml + "\n" + localTime;
  for (const auto& [name, value] : fields) contents += "\n" + name + "\n" + value;
  const std::string boundary = ChooseBoundary(contents);
  std::string body;
  for (const auto& [name, value] : fields) body += Part(boundary, name, value);
  body += Part(boundary, "packetNumber", std::to_string(packet));
  body += Part(boundary, "localTime", localTime);
  body += Part(boundary, "xml", xml) + "--" + boundary + "--\r\n";
  std::string request = Format(
      "POST %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nContent-Type: multipart/form-data; "
      "boundary=%s\r\nContent-Length: %zu\r\n\r\n",
      pathPart.c_str(), host.c_str(), boundary.c_str(), body.size());
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
  }
  MV_LOG(2, "----------------------------------------------------------------\n\n");
  {
    LockGuard<Mutex> g(mutex);
    if (*result == 0) uploadTime = static_cast<uint32_t>(now);
    posting = false;
  }
  wake.notify_all();
  return true;
}
