// The job registry: records, ids, start/check/stop and progress writes.
#include "server/content/content_helper.h"

#include <atomic>
#include <deque>

#include "server/content/content_internal.h"
#include "server/content/content_loader.h"

// Job threads are stopped at exit but may outlive a bounded wait for them, so
// the registry is never destroyed.
Mutex& LoaderMutex = *new Mutex;
std::map<int, LoaderData>& Loaders = *new std::map<int, LoaderData>;
int LoaderCounter = 0;

namespace {

// Ids of finished records whose final state was returned by a check, oldest
// first; bounded by kMaxReportedLoaders and kMaxReportedBytes.
std::deque<int>& Reported = *new std::deque<int>;

std::atomic<int> IdleMs{31000};
std::atomic<int> ShakeMs{10000};
std::atomic<uint64_t> ReplyCap{kMaxReplyBytes};

uint64_t NowMillis() { return static_cast<uint64_t>(GetCurrentTimeMillis()); }

int StartJob(void* (*routine)(void*), LoaderData record) {
  int id;
  {
    LockGuard<Mutex> g(LoaderMutex);
    id = ++LoaderCounter;
    record.startTime = record.stateTime = NowMillis();
    Loaders[id] = std::move(record);
  }
  int* arg = new int(id);
  if (!StartJobThread(routine, arg)) {
    MV_LOG(1, "Cannot create or initialize thread!\n");
    delete arg;
    return -1;
  }
  return id;
}

bool Final(const LoaderData& d) { return !d.running && (d.state >= 100 || d.state < 0); }

}  // namespace

void SetTransferTimeouts(int idleMs, int handshakeMs) {
  IdleMs = idleMs;
  ShakeMs = handshakeMs;
}
int TransferIdleMs() { return IdleMs; }
int HandshakeMs() { return ShakeMs; }
void SetMaxReplyBytes(uint64_t bytes) { ReplyCap = bytes; }
uint64_t MaxReplyBytes() { return ReplyCap; }

namespace {

// The loader and the uploader take the same request; only the routine differs.
template <class Routine>
int StartLocationJob(Routine routine, const std::string& server, const std::string& userHash,
                     const std::string& location, const std::string& fileName, bool forced) {
  LoaderData d;
  d.server = server;
  d.userHash = userHash;
  d.location = location;
  d.fileName = fileName;
  d.forced = forced;
  return StartJob(routine, std::move(d));
}

}  // namespace

int StartLocationLoader(const std::string& server, const std::string& userHash, const std::string& location,
                        const std::string& fileName, bool forced) {
  MV_LOG(2, "StartLocationLoader: location='%s', fileName='%s'\n", location.c_str(), fileName.c_str());
  return StartLocationJob(loaderRoutine, server, userHash, location, fileName, forced);
}

int StartLocationUploader(const std::string& server, const std::string& userHash, const std::string& location,
                          const std::string& fileName, bool forced) {
  MV_LOG(2, "StartLocationUploader: location='%s', fileName='%s'\n", location.c_str(), fileName.c_str());
  return StartLocationJob(uploaderRoutine, server, userHash, location, fileName, forced);
}

int StartUrlLoader(const std::string& url, const std::string& fileName) {
  MV_LOG(2, "StartUrlLoader: url='%s', filename='%s'\n", url.c_str(), fileName.c_str());
  LoaderData d;
  d.server = url;
  d.fileName = fileName;
  return StartJob(urlLoaderRoutine, std::move(d));
}

int StartUrlPoster(const std::string& url, const std::string& request, const std::string& fileName) {
  MV_LOG(2, "StartUrlPoster: url='%s', fileName='%s'\n", url.c_str(), fileName.c_str());
  LoaderData d;
  d.server = url;
  d.request = request;
  d.fileName = fileName;
  return StartJob(urlPosterRoutine, std::move(d));
}

int CheckLocationLoader(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it == Loaders.end()) {
    MV_LOG(1, "Check location loader %d: not found\n", id);
    return -1;
  }
  LoaderData& d = it->second;
  const int state = d.state;
  if (Final(d) && !d.reported) {
    d.reported = true;
    Reported.push_back(id);
    // Bounded by what the kept responses weigh as well as by their number;
    // the record just read stays, its caller is about to ask for it.
    uint64_t bytes = 0;
    for (int r : Reported)
      if (auto k = Loaders.find(r); k != Loaders.end()) bytes += k->second.response.size();
    while (Reported.size() > 1 &&
           (Reported.size() > static_cast<size_t>(kMaxReportedLoaders) || bytes > kMaxReportedBytes)) {
      if (auto oldest = Loaders.find(Reported.front()); oldest != Loaders.end()) {
        bytes -= oldest->second.response.size();
        Loaders.erase(oldest);
      }
      Reported.pop_front();
    }
  }
  return state;
}

int CheckLocationUploader(int id) { return CheckLocationLoader(id); }

void StopLocationLoader(int id) {
  MV_LOG(2, "Stop location loader %d\n", id);
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it == Loaders.end()) return;
  LoaderData& d = it->second;
  MV_LOG(2, "Stop location loader %d, state=%d\n", id, d.state);
  if (Final(d)) {
    // The caller is done with it: a failed job's record would otherwise stay forever.
    if (d.reported) std::erase(Reported, id);
    Loaders.erase(it);
  } else {
    d.stopped = 1;
  }
}

void StopLocationUploader(int id) { StopLocationLoader(id); }

std::string GetLoaderResponse(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it == Loaders.end() ? std::string() : it->second.response;
}

std::string GetLoaderFile(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it == Loaders.end() ? std::string() : it->second.fileName;
}

int32_t GetLoaderTime(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it == Loaders.end() ? 0 : static_cast<int32_t>(NowMillis() - it->second.startTime);
}

int32_t GetLoaderStateTime(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it == Loaders.end() ? 0 : static_cast<int32_t>(NowMillis() - it->second.stateTime);
}

bool loaderStopped(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it != Loaders.end() && it->second.stopped != 0;
}

void StopAllJobs() {
  LockGuard<Mutex> g(LoaderMutex);
  for (auto& [id, d] : Loaders)
    if (!Final(d)) d.stopped = 1;
}

void LoaderSetResponse(int id, std::string&& body) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it != Loaders.end()) it->second.response = std::move(body);
}

bool Interrupted(int id) {
  if (!loaderStopped(id)) return false;
  MV_LOG(1, "Loader %d interrupted!\n", id);
  return true;
}

void Progress::set(int value, bool always) const {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it == Loaders.end()) return;
  if (always || it->second.state != value) {
    it->second.state = value;
    it->second.stateTime = NowMillis();
  }
}

void Progress::step(uint64_t done, uint64_t total) const {
  if (!on() || total == 0) return;
  const uint64_t span = static_cast<uint64_t>(max - min);
  const uint64_t v = min + std::min<uint64_t>(span, done * span / total);
  set(static_cast<int>(v), false);
}

// The common start and end of every job routine.
bool JobBegin(int id, const char* startMessage, LoaderData* copy) {
  MV_LOG(2, startMessage, id);
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it == Loaders.end()) return false;
  it->second.thread = pthread_self();
  it->second.running = true;
  *copy = it->second;
  return true;
}

void JobEnd(int id, int result, const char* finishMessage, bool logErase) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it == Loaders.end()) return;
  if (it->second.stopped) {
    if (logErase) MV_LOG(2, "Loader %d stopped, erasing\n", id);
    Loaders.erase(it);
    return;
  }
  MV_LOG(2, finishMessage, id, result);
  it->second.state = result == 0 ? 100 : result;
  it->second.stateTime = NowMillis();
  it->second.running = false;
  it->second.thread = pthread_t{};
}
