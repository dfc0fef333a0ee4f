// HTTP/1.1 over plain non-blocking sockets, and the send/receive/finish steps
// shared with the TLS transfers.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/file.h>

#include <condition_variable>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "server/content/content_helper.h"
#include "server/content/content_helper_ssl.h"
#include "server/content/content_internal.h"

namespace {

constexpr size_t kRecvBuffer = 327680;
constexpr int kPollMs = 100;

// Never destroyed: a resolution still running on its own thread at process
// exit must find them alive.
struct Dns {
  Mutex mutex;  // DnsMutex: the cache and the pending look-ups
  std::map<std::string, std::pair<int32_t, std::string>> cache;
  // One look-up per host at a time, however many transfers wait for it.
  struct Lookup {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string address;
  };
  std::map<std::string, std::shared_ptr<Lookup>> pending;
};
Dns& DnsState() {
  static Dns* dns = new Dns;
  return *dns;
}

std::atomic<HostResolver> Resolver{nullptr};

int64_t NowSeconds() { return GetCurrentTimeMillis() / 1000; }

// A connected non-blocking socket; every wait is a poll of at most 100 ms so
// the stop flag is seen quickly and data is taken the moment it arrives.
class PlainChannel : public Channel {
 public:
  explicit PlainChannel(int fd) : fd_(fd) {}
  Io send(const char* data, size_t size, size_t* n, int* code) override {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, kPollMs) == 0) return kWait;
    const ssize_t r = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kWait;
      MV_LOG(1, "Error in send: %s\n", strerror(errno));
      *code = kErrorSend;
      return kFailed;
    }
    *n = static_cast<size_t>(r);
    return kMoved;
  }
  Io recv(char* data, size_t size, size_t* n, int* code) override {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) == 0) return kWait;
    const ssize_t r = ::recv(fd_, data, size, MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kWait;
      MV_LOG(1, "Error in recv: %s\n", strerror(errno));
      *code = kErrorRecv;
      return kFailed;
    }
    if (r == 0) return kClosedClean;
    *n = static_cast<size_t>(r);
    return kMoved;
  }

 private:
  int fd_;
};

// The system resolver: the first address of any family, as text.
std::string SystemResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return std::string();
  char text[257] = {0};
  bool ok = false;
  if (res->ai_family == AF_INET)
    ok = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, 256) != nullptr;
  else if (res->ai_family == AF_INET6)
    ok = inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(res->ai_addr)->sin6_addr, text, 256) != nullptr;
  freeaddrinfo(res);
  return ok ? text : std::string();
}

bool Cached(const std::string& host, std::string* address) {
  Dns& dns = DnsState();
  const int32_t now = static_cast<int32_t>(NowSeconds());
  LockGuard<Mutex> g(dns.mutex);
  auto it = dns.cache.find(host);
  if (it == dns.cache.end() || std::abs(static_cast<int64_t>(now) - it->second.first) >= 3600) return false;
  int y, mo, d, h, mi, s;
  GetLocalTime(it->second.first + 3600, &y, &mo, &d, &h, &mi, &s);
  MV_LOG(2, "Using dns cache record: %s -> %s (valid until %04d-%02d-%02d %02d:%02d:%02d)\n", host.c_str(),
         it->second.second.c_str(), y, mo, d, h, mi, s);
  *address = it->second.second;
  return true;
}

// The host's look-up, started on a thread of its own unless one is running:
// the system resolver cannot be interrupted, so nobody waits on it longer
// than they choose to.
std::shared_ptr<Dns::Lookup> StartLookup(const std::string& host) {
  Dns& dns = DnsState();
  LockGuard<Mutex> g(dns.mutex);
  std::shared_ptr<Dns::Lookup>& slot = dns.pending[host];
  if (slot) return slot;
  auto lookup = std::make_shared<Dns::Lookup>();
  slot = lookup;
  auto run = [host, lookup] {
    const HostResolver custom = Resolver.load();
    const std::string address = custom ? custom(host) : SystemResolve(host);
    Dns& d = DnsState();
    {
      LockGuard<Mutex> g2(d.mutex);
      if (!address.empty()) d.cache[host] = {static_cast<int32_t>(NowSeconds()), address};
      auto it = d.pending.find(host);
      if (it != d.pending.end() && it->second == lookup) d.pending.erase(it);
    }
    std::lock_guard<std::mutex> l(lookup->m);
    lookup->address = address;
    lookup->done = true;
    lookup->cv.notify_all();
  };
  try {
    std::thread(run).detach();
  } catch (const std::system_error&) {
    dns.pending.erase(host);
    lookup->done = true;  // no thread: an unknown host this time
  }
  return lookup;
}

// Waits at most waitMs for the look-up; true when it has answered.
bool WaitLookup(Dns::Lookup& lookup, int waitMs, std::string* address) {
  std::unique_lock<std::mutex> l(lookup.m);
  lookup.cv.wait_for(l, std::chrono::milliseconds(waitMs), [&] { return lookup.done; });
  if (lookup.done) *address = lookup.address;
  return lookup.done;
}

bool Unsafe(const std::string& s) {
  for (unsigned char c : s)
    if (c <= 0x20 || c == 0x7f) return true;
  return false;
}

}  // namespace

void SetHostResolver(HostResolver resolver) { Resolver = resolver; }

std::string ResolveHost(const std::string& host, int id) {
  for (;;) {
    if (Interrupted(id)) return std::string();
    std::string address;
    if (Cached(host, &address)) return address;
    const std::shared_ptr<Dns::Lookup> lookup = StartLookup(host);
    while (!WaitLookup(*lookup, kPollMs, &address))
      if (Interrupted(id)) return std::string();
    if (!address.empty()) return address;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

void Socket::close() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

int Socket::connect(const std::string& host, int port, int id, bool tlsLogs) {
  close();
  if (Interrupted(id)) return kErrorInterrupted;
  const std::string address = ResolveHost(host, id);
  if (address.empty()) return kErrorInterrupted;
  MV_LOG(2, "Resolved %s to %s\n", host.c_str(), address.c_str());
  if (Interrupted(id)) return kErrorInterrupted;
  if (tlsLogs) MV_LOG(2, "Connecting to tcp/%s/%4d...\n", address.c_str(), port);
  sockaddr_storage sa{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v6;
  } else {
    MV_LOG(1, "Error in net_connect: returned %d\n", -EAFNOSUPPORT);
    return kErrorConnect;
  }
  fd_ = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    MV_LOG(1, "Error in net_connect: returned %d\n", -errno);
    return kErrorConnect;
  }
  const int flags = fcntl(fd_, F_GETFL, 0);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
    MV_LOG(1, "Error in fcntl: %s\n", strerror(errno));
    close();
    return kErrorFcntl;
  }
  int error = 0;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      // A host that drops the SYN would keep a blocking connect for minutes.
      const int64_t begin = GetCurrentTimeMillis();
      for (;;) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, kPollMs) > 0) {
          socklen_t l = sizeof error;
          if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &l) != 0) error = errno;
          break;
        }
        if (Interrupted(id)) {
          close();
          return kErrorInterrupted;
        }
        if (GetCurrentTimeMillis() - begin >= TransferIdleMs()) {
          error = ETIMEDOUT;
          break;
        }
      }
    }
  }
  if (error != 0) {
    MV_LOG(1, "Error in net_connect: returned %d\n", -error);
    close();
    return kErrorConnect;
  }
  if (!tlsLogs) MV_LOG(2, "Connection established!\n");
  return Interrupted(id) ? kErrorInterrupted : 0;
}

bool ParseURL(const std::string& url, std::string* scheme, std::string* host, int* port, std::string* path) {
  std::string sc, ho, po, pa;
  enum { kScheme, kHost, kPort, kPath } state = kScheme;
  for (size_t i = 0; i < url.size(); ++i) {
    const char c = url[i];
    switch (state) {
      case kScheme:
        if (c == ':' && i + 2 < url.size() && url[i + 1] == '/' && url[i + 2] == '/') {
          i += 2;
          state = kHost;
        } else {
          sc += c;
        }
        break;
      case kHost:
        if (c == '/') state = kPath;
        else if (c == ':') state = kPort;
        else ho += c;
        break;
      case kPort:
        if (c == '/') state = kPath;
        else po += c;
        break;
      case kPath:
        pa += c;
        break;
    }
  }
  const bool https = sc == "https" || sc == "HTTPS";
  if (sc != "http" && sc != "HTTP" && !https) {
    MV_LOG(1, "Invalid URL: %s (schema should be 'http' or 'https')", url.c_str());
    return false;
  }
  if (ho.empty()) {
    MV_LOG(1, "Invalid URL: %s (host is empty)", url.c_str());
    return false;
  }
  // Line breaks or spaces would end the request line and inject header lines.
  if (Unsafe(url)) {
    MV_LOG(1, "Invalid URL: %s (control character or space)", url.c_str());
    return false;
  }
  if (po.empty()) po = https ? "443" : "80";
  // The "/" that ended the host is not part of the path: "h//a" asks for "/a".
  if (pa.empty() || pa[0] != '/') pa = "/" + pa;
  MV_LOG(3, "Parsing URL: '%s'\n", url.c_str());
  MV_LOG(3, "Schema: '%s'\n", sc.c_str());
  MV_LOG(3, "Host: '%s'\n", ho.c_str());
  MV_LOG(3, "Port: '%s'\n", po.c_str());
  MV_LOG(3, "Path: '%s'\n", pa.c_str());
  if (scheme) *scheme = sc;
  if (host) *host = ho;
  if (port) *port = std::atoi(po.c_str());
  if (path) *path = pa;
  return true;
}

std::string GetAddress(const std::string& host) {
  std::string address;
  if (Cached(host, &address)) return address;
  WaitLookup(*StartLookup(host), TransferIdleMs(), &address);
  return address;
}

int SendAll(Channel& ch, const std::string& data, size_t piece, int id, const Progress* progress) {
  int64_t last = GetCurrentTimeMillis();
  size_t sent = 0;
  while (sent < data.size()) {
    if (Interrupted(id)) return kErrorInterrupted;
    size_t n = 0;
    int code = 0;
    const Channel::Io io = ch.send(data.data() + sent, std::min(piece, data.size() - sent), &n, &code);
    if (io == Channel::kFailed) return code;
    if (io != Channel::kMoved) {
      if (io != Channel::kWait) {
        MV_LOG(1, "Error in send: %s\n", "connection closed");
        return kErrorSend;
      }
      if (GetCurrentTimeMillis() - last >= TransferIdleMs()) {
        MV_LOG(1, "Send timeout!\n");
        return kErrorSendTimeout;
      }
      continue;
    }
    sent += n;
    last = GetCurrentTimeMillis();
    if (progress) progress->step(sent, data.size());
  }
  return 0;
}

namespace {

constexpr const char* kTempInfix = ".part.";
constexpr int kStaleTempSeconds = 60;

// Temporary files of the target left by a process that died mid-transfer:
// nobody holds their lock and nobody has written them for a minute.
void RemoveStaleTemps(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  const std::string prefix = target.substr(slash == std::string::npos ? 0 : slash + 1) + kTempInfix;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  const time_t now = time(nullptr);
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    // Also the one part file that earlier versions shared between jobs.
    const bool shared = name.size() + 1 == prefix.size() && prefix.compare(0, name.size(), name) == 0;
    if (!shared && (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)) continue;
    const std::string path = dir + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > kStaleTempSeconds &&
        flock(fd, LOCK_EX | LOCK_NB) == 0)
      unlink(path.c_str());
    ::close(fd);
  }
  closedir(d);
}

}  // namespace

ReplyFile::~ReplyFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  unlink(temp_.c_str());
}

int ReplyFile::open() {
  RemoveStaleTemps(target_);
  MV_LOG(2, "Saving data in %s\n", target_.c_str());
  std::string name = target_ + kTempInfix + "XXXXXX";
  fd_ = mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) {
    MV_LOG(1, "Error opening file %s!\n", target_.c_str());
    return kErrorOpenFile;
  }
  temp_ = name;
  // Held while the transfer lives: tells a later clean-up this file is in use.
  flock(fd_, LOCK_EX | LOCK_NB);
  fchmod(fd_, 0644);
  return 0;
}

int ReplyFile::put(const char* data, size_t n) {
  if (target_.empty()) return 0;
  if (fd_ < 0)
    if (const int r = open(); r != 0) return r;
  while (n > 0) {
    const ssize_t w = ::write(fd_, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      MV_LOG(1, "Error writing to file %s!\n", target_.c_str());
      return kErrorWriteFile;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

int ReplyFile::commit() {
  if (target_.empty()) return 0;
  if (fd_ < 0)
    if (const int r = open(); r != 0) return r;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed || std::rename(temp_.c_str(), target_.c_str()) != 0) {
    MV_LOG(1, "Error writing to file %s!\n", target_.c_str());
    unlink(temp_.c_str());
    return kErrorWriteFile;
  }
  return 0;
}

int ReceiveReply(Channel& ch, HttpReply& reply, int id, const Progress* progress, bool firstByteWaits,
                 bool postLogs) {
  std::string buffer(kRecvBuffer, '\0');
  int64_t last = GetCurrentTimeMillis();
  const int level = postLogs ? 3 : 2;
  for (;;) {
    if (Interrupted(id)) return kErrorInterrupted;
    size_t n = 0;
    int code = 0;
    const Channel::Io io = ch.recv(buffer.data(), buffer.size(), &n, &code);
    switch (io) {
      case Channel::kFailed:
        return code;
      case Channel::kClosedClean:
      case Channel::kClosedUnclean:
        MV_LOG(2, "Server closed the connection!\n");
        return reply.finish(io == Channel::kClosedClean);
      case Channel::kWait:
        if ((!firstByteWaits || reply.received() > 0) && GetCurrentTimeMillis() - last >= TransferIdleMs()) {
          MV_LOG(1, "Recv timeout!\n");
          return kErrorRecvTimeout;
        }
        continue;
      case Channel::kMoved:
        break;
    }
    last = GetCurrentTimeMillis();
    const bool hadHeader = reply.headerDone();
    if (const int r = reply.feed(buffer.data(), n); r != 0) return r;
    if (reply.headerDone() && !hadHeader) {
      MV_LOG(2, "Header length:  %lld\n", static_cast<long long>(reply.headerLength()));
      MV_LOG(2, "Content length: %lld\n", static_cast<long long>(reply.contentLength()));
      MV_LOG(2, "Chunked: %s\n", reply.chunked() ? "true" : "false");
      MV_LOG(2, "Gzipped: %s\n", reply.gzipped() ? "true" : "false");
    }
    if (reply.headerDone() && reply.contentLength() > 0 && !reply.chunked()) {
      const uint64_t total = reply.contentLength() + reply.headerLength();
      if (progress) progress->step(reply.received(), total);
      MV_LOG(level, "Received: %llu bytes of %llu\n", static_cast<unsigned long long>(reply.received()),
             static_cast<unsigned long long>(total));
    } else {
      MV_LOG(level, "Received: %llu bytes\n", static_cast<unsigned long long>(reply.received()));
    }
    if (reply.complete()) return reply.finish(true);
  }
}

int FinishReply(HttpReply& reply, ReplyFile& file, int id, const Progress& progress, const char* failMessage,
                bool logReplyOnFailure) {
  MV_LOG(3, "Response: %llu bytes\n", static_cast<unsigned long long>(reply.received()));
  const int status = reply.status();
  MV_LOG(2, "Received %llu bytes\n", static_cast<unsigned long long>(reply.received()));
  MV_LOG(2, "Content length: %llu\n", static_cast<unsigned long long>(reply.bodyBytes()));
  MV_LOG(2, "HTTP code: %d\n", status);
  int result = 0;
  if (status != 200) {
    if (logReplyOnFailure) MV_LOG(2, "%s%s\n", reply.header().c_str(), reply.body().c_str());
    MV_LOG(1, failMessage, status);
    result = -status;
  } else {
    result = file.commit();
  }
  LoaderSetResponse(id, std::move(reply.body()));
  if (progress.on()) progress.set(progress.max, true);
  return result;
}

int GetResource(const std::string& url, const std::string& fileName, int id, int progressMin, int progressMax) {
  MV_LOG(2, "Get resource: url=%s, filename=%s, progress: %d..%d\n", url.c_str(), fileName.c_str(), progressMin,
         progressMax);
  std::string scheme, host, path;
  int port = 80;
  if (!ParseURL(url, &scheme, &host, &port, &path)) {
    MV_LOG(1, "Invalid url: '%s'\n", url.c_str());
    return kErrorUrl;
  }
  if (scheme == "https" || scheme == "HTTPS") return GetResourceSsl(url, fileName, id, progressMin, progressMax);
  Socket s;
  const int connected = s.connect(host, port, id, false);
  if (connected != 0) {
    MV_LOG(2, "Closing connection...\n");
    return connected;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n";
  MV_LOG(2, "GET request: %s\n", request.c_str());
  PlainChannel ch(s.fd());
  int result = SendAll(ch, request, request.size(), id, nullptr);
  if (result == 0) {
    MV_LOG(2, "Request send (%zu bytes)!\n", request.size());
    const Progress progress{id, progressMin, progressMax};
    if (progress.on()) progress.set(progressMin, false);
    ReplyFile file(fileName);
    HttpReply reply(MaxReplyBytes(), file.wanted() ? &file : nullptr);
    result = ReceiveReply(ch, reply, id, progress.on() ? &progress : nullptr, false, false);
    if (result == 0) result = FinishReply(reply, file, id, progress, "Unable to get resource: HTTP code %d\n", false);
  }
  MV_LOG(2, "Closing connection...\n");
  return result;
}

int PostRequest(const std::string& host, int port, const std::string& request, const std::string& fileName, int id,
                int progressMin, int progressMax) {
  MV_LOG(2, "Post request: host=%s, port=%d, request=%zu bytes\n", host.c_str(), port, request.size());
  if (request.empty()) {
    MV_LOG(1, "Invalid request (empty)!\n");
    return kErrorEmptyRequest;
  }
  Socket s;
  int result = s.connect(host, port, id, false);
  if (result == 0 && Interrupted(id)) result = kErrorInterrupted;
  const Progress progress{id, progressMin, progressMax};
  if (result == 0) {
    if (progress.on()) progress.set(progressMin, false);
    PlainChannel ch(s.fd());
    result = SendAll(ch, request, kRecvBuffer, id, progress.on() ? &progress : nullptr);
    if (result == 0) {
      MV_LOG(2, "Request send (%zu bytes)!\n", request.size());
      MV_LOG(2, "%.1000s\n", request.c_str());
      ReplyFile file(fileName);
      HttpReply reply(MaxReplyBytes(), file.wanted() ? &file : nullptr);
      result = ReceiveReply(ch, reply, id, nullptr, true, true);
      if (result == 0)
        result = FinishReply(reply, file, id, progress, "Unable to post resource: HTTP code %d\n", true);
    }
  }
  MV_LOG(2, "Closing connection...\n");
  return result;
}

int PostResource(const std::string& url, const std::string& fileName, int id, int progressMin, int progressMax) {
  std::string scheme, host, path;
  int port = 80;
  if (!ParseURL(url, &scheme, &host, &port, &path)) {
    MV_LOG(1, "Invalid url: '%s'\n", url.c_str());
    return kErrorUrl;
  }
  const bool https = scheme == "https" || scheme == "HTTPS";
  MV_LOG(2, "Post resource: url=%s, filename=%s\n", url.c_str(), fileName.c_str());
  // The name goes into a quoted header parameter of the part.
  if (fileName.find_first_of("\r\n\"") != std::string::npos) {
    MV_LOG(1, "Invalid request value: '%s'\n", fileName.c_str());
    return kErrorBadValue;
  }
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (f == nullptr) {
    MV_LOG(1, "Error opening file '%s'\n", fileName.c_str());
    return kErrorOpenFile;
  }
  std::string data;
  std::string piece(kRecvBuffer, '\0');
  size_t n;
  while ((n = std::fread(piece.data(), 1, piece.size(), f)) > 0) data.append(piece.data(), n);
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) {
    MV_LOG(1, "Error opening file '%s'\n", fileName.c_str());
    return kErrorOpenFile;
  }
  // Built by concatenation: marker texts inside the file's bytes or its name
  // must not be replaced.
  // A file that holds the boundary line would end its own part early: the
  // boundary grows until the data no longer contains it.
  std::string boundary = "iuJiWoa6hiGud8hiih8duGih6aoWiJui";
  while (data.find(boundary) != std::string::npos) boundary += 'x';
  std::string body = "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n\r\n";
  body.reserve(body.size() + data.size() + 64);
  body += data;
  data.clear();
  data.shrink_to_fit();
  body += "\r\n--" + boundary + "--\r\n";
  std::string request = "POST " + path + " HTTP/1.1\r\nHost: " + host +
                        "\r\nConnection: close\r\nAccept-Encoding: gzip\r\nContent-Type: multipart/form-data; "
                        "boundary=" +
                        boundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  request += body;
  body.clear();
  body.shrink_to_fit();
  if (https) return PostRequestSsl(host, port, request, std::string(), id, progressMin, progressMax);
  return PostRequest(host, port, request, std::string(), id, progressMin, progressMax);
}

bool ParseChunkedResponse(std::string& reply) {
  MV_LOG(2, "Parsing chunked response\n");
  const size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  const size_t start = end + 4;
  if (start >= reply.size()) return true;
  ChunkDecoder decoder(kMaxKeptReplyBytes);
  std::string out;
  StringOut sink(&out);
  if (decoder.feed(reply.data() + start, reply.size() - start, sink) != 0 || !decoder.done()) return false;
  reply.replace(start, std::string::npos, out);
  return true;
}

bool GunzipResponse(std::string& reply) {
  MV_LOG(2, "Inflating gzipped response\n");
  const size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  const size_t start = end + 4;
  GzipDecoder decoder;
  std::string out;
  StringOut sink(&out);
  if (decoder.feed(reply.data() + start, reply.size() - start, sink) != 0 || !decoder.done()) return false;
  reply.replace(start, std::string::npos, out);
  return true;
}

void find_and_replace(std::string& text, const std::string& pattern, const char* replacement,
                      size_t replacementLength) {
  if (pattern.empty() || pattern.size() > text.size()) return;
  size_t pos = 0;
  while (pos + pattern.size() <= text.size()) {
    if (text.compare(pos, pattern.size(), pattern) == 0) {
      text.replace(pos, pattern.size(), replacement, replacementLength);
      pos += replacementLength;
    } else {
      ++pos;
    }
  }
}

std::string EncodeQueryValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}
