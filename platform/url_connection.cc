#include "platform/url_connection.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <strings.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <list>
#include <map>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/mutex.h"
#include "platform/run_loop.h"
#include "platform/runtime_internal.h"
#include "platform/stream.h"

namespace platform {

namespace {
// Whether the calling thread drives the transfers now (the network thread, or the main
// thread waiting in its run loop's place).
thread_local bool tlsDriving = false;
}  // namespace

// Who drives the transfers. The network thread does, unless the main thread waits in its run
// loop with nothing ready: then the main thread drives them itself, waiting in libcurl's poll
// with its loop's wake-up among the sockets, so that neither a request it starts nor a reply
// that ends wakes another thread. Host code must not see that thread: while a connection or
// task that runs host code exists (`hostCode` > 0), the network thread drives and the main
// thread waits as a run loop does. Only the holder of the driver's role touches libcurl and
// the fields marked (driver); the role changes hands under `mutex`, which also guards the
// fields marked (m). `mutex` is never held together with a run loop's lock.
struct NetworkThread::Impl final : detail::IdleWaiter {
  CURLM* multi = nullptr;
  std::thread thread;
  Mutex mutex;
  CondVar stoppedCv;
  std::vector<std::function<void()>> tasks GUARDED_BY(mutex);  // (m)
  // The tasks being run, taken from `tasks` at once; kept to reuse its storage (driver).
  std::vector<std::function<void()>> draining;
  // Tasks ever posted, and whether the driver sleeps in curl_multi_poll: a poster wakes it
  // only when it sleeps (both sequentially consistent, so one of them sees the other).
  std::atomic<uint64_t> posted{0};
  std::atomic<bool> parked{false};
  // Wakes the poll: one write and one read, where libcurl's own wake-up costs a send and
  // two receives.
  int wakeFd = -1;
  void wake() {
    uint64_t one = 1;
    if (wakeFd < 0) curl_multi_wakeup(multi);  // no eventfd to be had
    else if (write(wakeFd, &one, sizeof one) < 0) {
    }  // only EAGAIN at a counter near overflow: the poll is awake anyway
  }
  uint64_t drained = 0;  // `posted` as the driver last took its tasks (driver)
  bool stopping GUARDED_BY(mutex) = false;  // (m)
  bool stopped GUARDED_BY(mutex) = false;   // (m)

  // The driver's role (m). The main thread keeps it for a while after it left its wait with
  // transfers in flight, as it mostly comes back within microseconds (it ran a reply's
  // callback); the network thread, which meanwhile looks every kWatch (or sparser, see
  // kWatchSparsest), takes the role over once the main thread stayed away a whole period, or
  // at once when another thread posts.
  enum class Driver { None, Network, Main };
  Driver driver GUARDED_BY(mutex) = Driver::None;
  bool mainWaiting GUARDED_BY(mutex) = false;      // the main thread is in idleWait (m)
  bool mainWantsToDrive GUARDED_BY(mutex) = false;  // ... and waits for the network thread to let go (m)
  uint64_t mainLeft GUARDED_BY(mutex) = 0;          // how often the main thread left idleWait (m)
  bool workLeft GUARDED_BY(mutex) = false;  // the last driver let go of transfers still in flight (m)
  // A thread that never drives posted while the main thread is away (m).
  bool takeOver GUARDED_BY(mutex) = false;
  // Tasks that may run host code, queued or running, plus connections that run host code,
  // started and not ended (m; read without the lock by a driver that checks again under it).
  std::atomic<int> hostCode{0};
  void hostCodeBegins(URLConnection& c);
  void hostCodeEnds(URLConnection& c);
  // How the network thread sleeps while it does not drive: woken every kWatch while the main
  // thread drives or lately did, else only by a post (m).
  enum class Sleep { Awake, Watching, Deep } sleep GUARDED_BY(mutex) = Sleep::Awake;
  CondVar sleepCv;
  int handFd = -1;  // eventfd: the network thread let go for the main thread waiting for it
  static constexpr auto kWatch = std::chrono::milliseconds(1);
  // While the main thread is found in its wait at every look, the looks grow sparser, up to
  // this: each costs the process a wake-up, and one that finds the main thread away is
  // followed by looks kWatch apart again.
  static constexpr auto kWatchSparsest = std::chrono::milliseconds(8);
  static constexpr auto kLinger = std::chrono::milliseconds(50);
  // How long exit waits for the loop to end: one round with a few dozen handshakes can take
  // seconds on a loaded machine (and ten times that under a race detector).
  static constexpr auto kExitWait = std::chrono::seconds(30);

  // Connections in flight, kept alive by the loop until they end or are cancelled (driver).
  std::map<CURL*, std::shared_ptr<URLConnection>> active;
  // As a phone's loader does: a few transfers (each on its own connection) per host, and
  // further requests to that host wait here, in order, for one to end. A host is scheme,
  // host name and port; libcurl's own per-host limit ignores the port, so one stalled
  // server held up every other on the same machine. Only running transfers sit in the
  // multi handle, which spends time on each it holds at every step, and their handles are
  // reused: a burst of a thousand requests costs per request what a few do.
  static constexpr size_t kTransfersPerHost = 6;
  struct HostSlots {
    size_t running = 0;
    std::list<std::shared_ptr<URLConnection>> waiting;  // a list costs nothing while empty
  };
  std::map<std::string, HostSlots> hosts;
  bool slotFreed = false;  // a host may have room for a waiting transfer
  void releaseSlot(URLConnection& c);
  // The slot of the URL's host (slotOf), remembered for the last scheme-and-authority seen:
  // requests mostly go to one server, and parsing the URL costs more than its reply.
  std::string slotFor(const std::string& url, std::string* host);
  std::string lastAuthority, lastSlot, lastHost;
  // Uploads paused until their paced body stream may be read again (steady time).
  std::multimap<std::chrono::steady_clock::time_point, std::weak_ptr<URLConnection>> wakeups;
  // Handles of ended transfers, reused: a new handle per request costs more than a small
  // reply does. A handle whose last request was a plain GET (URLConnection::configure) keeps
  // its options for the next plain GET, which sets only what differs between two of them;
  // any other handle, or any other request, starts from a reset handle.
  // Such a handle also keeps the header list it sent, which the next plain GET sends again
  // when its headers are the same (a client's requests mostly carry the same few).
  struct Spare {
    CURL* easy;
    bool plainGet;
    curl_slist* headers;  // set as the handle's CURLOPT_HTTPHEADER while `plainGet`
  };
  std::vector<Spare> spareHandles;

  // A handle for a transfer; `*kept` tells whether it still holds a plain GET's options, and
  // then `*headers` receives the header list it holds (owned by the caller from here).
  CURL* takeHandle(bool plainGet, bool* kept, curl_slist** headers) {
    *kept = false;
    *headers = nullptr;
    if (spareHandles.empty()) return curl_easy_init();
    Spare spare = spareHandles.back();
    spareHandles.pop_back();
    if (plainGet && spare.plainGet) {
      *kept = true;
      *headers = spare.headers;
    } else {
      curl_easy_reset(spare.easy);  // before the list it may point to goes
      curl_slist_free_all(spare.headers);
    }
    return spare.easy;
  }
  // Takes the handle and the header list it was given.
  void giveBack(CURL* e, bool plainGet, curl_slist* headers) {
    if (spareHandles.size() < 2 * kTransfersPerHost) {
      spareHandles.push_back({e, plainGet, plainGet ? headers : nullptr});
      if (plainGet) return;
    } else {
      curl_easy_cleanup(e);
    }
    curl_slist_free_all(headers);
  }
  bool hasTransfers() const { return !active.empty() || !hosts.empty() || !wakeups.empty(); }

  void run();
  void driveAsNetwork();
  bool idleWait(RunLoop& loop, int loopFd, int64_t realNs) override;
  // What a round left: nothing to do at once, a transfer admitted (another round at once), or
  // host code to run, which the main thread leaves to the network thread.
  enum class Round { Done, Again, HostCode };
  Round round(bool asMain);
  bool admitWaiting();
  bool drainTasks(bool asMain);
  void handOverLocked() REQUIRES(mutex);
  short park(int extraFd, int timeoutMs);
  void resumeDueUploads();
  int pollTimeoutMs();
  void finished(CURL* easy, CURLcode code);
  void stop();
  void endTransfers();
};

struct URLConnection::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  URLResponse response;
  bool responseDelivered = false;
  bool stopped = false;
  bool trustRefused = false;
  bool pausedForPacing = false;
  bool admitting = false;  // started, waiting for a slot of its host
  bool plainGet = false;   // `easy` holds exactly the options of a plain GET
  bool holdsSlot = false;  // counted in the running transfers of `slot`
  std::string slot;
  int redirects = 0;
  std::optional<URLRequest> redirectTo;  // the next hop, decided when the redirect's head ended
  std::optional<URLLoadError> refusal;   // the delegate refused a redirect
  std::optional<StreamError> bodyError;
  int64_t uploadReported = 0;
  int64_t uploadExpected = -1;
  std::string host;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

struct NetworkThreadAccess {
  static URLConnection::Transfer& transfer(URLConnection& c) { return *c.transfer_; }
  static URLConnectionDelegate& delegate(URLConnection& c) { return c.delegate_; }
  static const URLRequest& request(URLConnection& c) { return c.request_; }
  static bool restart(URLConnection& c, URLRequest next);
  static bool runsHostCode(URLConnection& c) { return c.runsHostCode_; }
  static bool& counted(URLConnection& c) { return c.countedAsHostCode_; }
};

namespace {

using Access = NetworkThreadAccess;

std::string_view trimLine(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  size_t b = s.find_first_not_of(" \t");
  return b == std::string_view::npos ? std::string_view() : s.substr(b);
}

void deliverResponse(URLConnection& c) {
  auto& t = Access::transfer(c);
  if (t.responseDelivered || t.stopped) return;
  t.responseDelivered = true;
  long status = 0;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
  t.response.statusCode = status;
  char* url = nullptr;
  curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &url);
  t.response.URL = url ? url : Access::request(c).URL;
  // Read in place: a head's values are not copied for it.
  const std::string* contentType = findHeaderValue(t.response.allHeaderFields, "Content-Type");
  const std::string* contentLength = findHeaderValue(t.response.allHeaderFields, "Content-Length");
  if (contentType) parseContentType(*contentType, t.response);
  t.response.expectedContentLength = -1;
  if (contentLength) {
    try {
      t.response.expectedContentLength = std::stoll(*contentLength);
    } catch (...) {
    }
  }
  if (auto& cb = Access::delegate(c).didReceiveResponse) cb(std::move(t.response));
}

std::string hostOf(const std::string& url) {
  std::string host;
  if (CURLU* u = curl_url()) {
    char* h = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK && curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK) {
      host = h;
      if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    }
    curl_free(h);
    curl_url_cleanup(u);
  }
  return host;
}

// Scheme, host and port: the host whose transfers are counted together (NetworkThread::
// Impl::hosts). `host` receives the host name as hostOf() gives it.
std::string slotOf(const std::string& url, std::string* host) {
  std::string key;
  if (CURLU* u = curl_url()) {
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
      for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* p = nullptr;
        if (curl_url_get(u, part, &p, CURLU_DEFAULT_PORT) == CURLUE_OK && p) {
          key += p;
          if (part == CURLUPART_HOST && host) {
            *host = p;
            if (host->size() > 2 && host->front() == '[') *host = host->substr(1, host->size() - 2);
          }
        }
        key += '|';
        curl_free(p);
      }
    }
    curl_url_cleanup(u);
  }
  return key;
}

// Whether `list` holds exactly the lines configure() makes of `fields` (plus "Expect:" when
// `expect`), so that a handle that holds it may send it again as it is. A name holding a colon
// is never matched: only then does a line equal to "name: value" tell its name and value.
bool headerListMatches(const curl_slist* list, const HeaderList& fields, bool expect) {
  for (const auto& [k, v] : fields) {
    if (!list || k.find(':') != std::string::npos) return false;
    std::string_view line(list->data);
    if (line.size() != k.size() + 2 + v.size() || line.compare(0, k.size(), k) != 0 ||
        line.compare(k.size(), 2, ": ") != 0 || line.compare(k.size() + 2, v.size(), v) != 0)
      return false;
    list = list->next;
  }
  if (expect) {
    if (!list || std::string_view(list->data) != "Expect:") return false;
    list = list->next;
  }
  return !list;
}

constexpr int kMaxRedirects = 16;

std::string upperCased(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return std::toupper(ch); });
  return s;
}

// The head of a redirect reply has ended: ask the delegate whether to follow it. False
// stops the transfer (the delegate refused, or too many hops).
bool redirectHeadEnded(URLConnection& c) {
  auto& t = Access::transfer(c);
  const URLRequest& current = Access::request(c);
  long status = 0;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
  if (status < 300 || status >= 400 || status == 304) return true;
  const std::string location = headerValue(t.response.allHeaderFields, "Location").value_or("");
  if (location.empty()) return true;
  URLRequest next = current;
  next.URL = resolveURL(location, current.URL);
  if (next.URL.empty()) return true;  // no URL to follow: the redirect reply is the answer
  std::string method = upperCased(current.HTTPMethod);
  bool toGet = (status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST");
  if (toGet) {
    next.HTTPMethod = "GET";
    next.HTTPBody.clear();
    next.HTTPBodyStream = nullptr;
    next.setValue(std::nullopt, "Content-Type");
    next.setValue(std::nullopt, "Content-Length");
  } else if (current.HTTPBodyStream) {
    return true;  // a streamed body cannot be sent twice: the redirect reply is the answer
  }
  if (hostOf(next.URL) != hostOf(current.URL)) next.setValue(std::nullopt, "Authorization");
  if (++t.redirects > kMaxRedirects) {
    t.refusal = URLLoadError{URLErrorDomain, URLErrorHTTPTooManyRedirects, "too many redirects", current.URL};
    return false;
  }
  URLResponse redirect;
  redirect.URL = current.URL;
  redirect.statusCode = status;
  redirect.allHeaderFields = t.response.allHeaderFields;
  if (auto ct = headerValue(redirect.allHeaderFields, "Content-Type")) parseContentType(*ct, redirect);
  std::optional<URLLoadError> refusal;
  auto& decide = Access::delegate(c).willSendRequest;
  std::optional<URLRequest> follow = decide ? decide(next, redirect, &refusal) : std::optional<URLRequest>(next);
  if (refusal) {
    if (refusal->failingURL.empty()) refusal->failingURL = current.URL;
    t.refusal = std::move(refusal);
    return false;
  }
  t.redirectTo = std::move(follow);
  return true;
}

size_t onHeader(char* data, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  if (t.stopped) return 0;
  // Read in place: a reply's head is a dozen lines, and copies of each cost more than its body.
  std::string_view line = trimLine(std::string_view(data, size * n));
  if (line.substr(0, 5) == "HTTP/") {
    t.response.allHeaderFields.clear();  // a new head: after an interim reply
    // Room for a usual head's fields at once; kept under 1 KB, whose allocation would have
    // the allocator sort its cache of small freed blocks on every reply.
    t.response.allHeaderFields.reserve(12);
  } else if (line.empty()) {
    if (!redirectHeadEnded(c)) return 0;
  } else if (size_t colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
    t.response.allHeaderFields.emplace_back(std::string(line.substr(0, colon)), std::string(trimLine(line.substr(colon + 1))));
  }
  return size * n;
}

size_t onWrite(char* data, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  if (t.redirectTo) return size * n;  // the body of a redirect being followed
  deliverResponse(c);
  if (t.stopped) return 0;
  if (auto& cb = Access::delegate(c).didReceiveData) {
    if (!cb(reinterpret_cast<const uint8_t*>(data), size * n)) {
      t.stopped = true;
      return 0;
    }
  }
  return size * n;
}

size_t onRead(char* buffer, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  auto& stream = Access::request(c).HTTPBodyStream;
  if (t.stopped) return CURL_READFUNC_ABORT;
  // A paced body waits without holding the thread every other transfer runs on.
  if (double wait = stream->secondsUntilReadable(); wait > 0) {
    auto& impl = NetworkThread::shared().impl();
    auto due = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(wait));
    impl.wakeups.emplace(due, c.weak_from_this());
    t.pausedForPacing = true;
    return CURL_READFUNC_PAUSE;
  }
  int64_t got = stream->read(reinterpret_cast<uint8_t*>(buffer), size * n);
  if (got < 0) {
    t.bodyError = stream->streamError().value_or(StreamError{EIO, "body stream failed"});
    return CURL_READFUNC_ABORT;
  }
  return static_cast<size_t>(got);
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  if (t.stopped) return 1;
  if (ulnow > t.uploadReported) {
    int64_t delta = ulnow - t.uploadReported;
    t.uploadReported = ulnow;
    if (auto& cb = Access::delegate(c).didSendBodyData) cb(delta, ulnow, t.uploadExpected);
  }
  return 0;
}

int onVerify(X509_STORE_CTX* ctx, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  std::vector<CertificateData> presented;
  auto add = [&](X509* x) {
    int n = i2d_X509(x, nullptr);
    if (n <= 0) return;
    CertificateData der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    presented.push_back(std::move(der));
  };
  if (X509* leaf = X509_STORE_CTX_get0_cert(ctx)) add(leaf);
  if (STACK_OF(X509)* rest = X509_STORE_CTX_get0_untrusted(ctx))
    for (int i = 0; i < sk_X509_num(rest); ++i)
      if (sk_X509_value(rest, i) != X509_STORE_CTX_get0_cert(ctx)) add(sk_X509_value(rest, i));
  ServerTrust trust(std::move(presented));
  auto& evaluate = Access::delegate(c).evaluateServerTrust;
  bool ok = evaluate ? evaluate(trust, t.host) : trust.evaluate(t.host).trusted;
  if (!ok) {
    t.trustRefused = true;
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  return 1;
}

CURLcode onSSLContext(CURL*, void* sslContext, void* user) {
  // Replaces OpenSSL's own verification: the delegate (or the default evaluation) decides
  // during the handshake, before any byte of the request is sent.
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), onVerify, user);
  return CURLE_OK;
}

long errorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT: return URLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST: return URLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return URLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION: return URLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR: return URLErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return URLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorBadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCannotDecodeContentData;
    default: return URLErrorUnknown;
  }
}

}  // namespace

std::shared_ptr<URLConnection> URLConnection::create(URLRequest request, URLConnectionDelegate delegate,
                                                     std::optional<URLCredential> credential) {
  return std::shared_ptr<URLConnection>(new URLConnection(std::move(request), std::move(delegate), std::move(credential)));
}

URLConnection::URLConnection(URLRequest request, URLConnectionDelegate delegate, std::optional<URLCredential> credential)
    : request_(std::move(request)), delegate_(std::move(delegate)), credential_(std::move(credential)),
      transfer_(std::make_unique<Transfer>()), runsHostCode_(delegate_.runsHostCode || request_.HTTPBodyStream) {}

URLConnection::~URLConnection() {
  // Never in the multi handle here: the loop holds every active connection.
  if (transfer_->easy) curl_easy_cleanup(transfer_->easy);
  curl_slist_free_all(transfer_->headers);
}

std::string NetworkThread::Impl::slotFor(const std::string& url, std::string* host) {
  size_t scheme = url.find("://");
  size_t end = scheme == std::string::npos ? std::string::npos : url.find_first_of("/?#", scheme + 3);
  if (scheme == std::string::npos) return slotOf(url, host);
  std::string_view authority(url.data(), end == std::string::npos ? url.size() : end);
  if (!lastSlot.empty() && authority == lastAuthority) {
    *host = lastHost;
    return lastSlot;
  }
  std::string slot = slotOf(url, host);
  lastAuthority = authority;
  lastSlot = slot;
  lastHost = *host;
  return slot;
}

void URLConnection::start() {
  auto& t = *transfer_;
  if (t.easy || t.admitting || t.stopped) return;
  auto& impl = NetworkThread::shared().impl();
  if (runsHostCode_) impl.hostCodeBegins(*this);
  std::string host = impl.slotFor(request_.URL, &t.host);
  auto& slots = impl.hosts[host];
  if (slots.running >= NetworkThread::Impl::kTransfersPerHost) {
    t.admitting = true;
    slots.waiting.push_back(shared_from_this());
    return;
  }
  ++slots.running;
  t.holdsSlot = true;
  t.slot = std::move(host);
  if (!configure()) {
    impl.releaseSlot(*this);
    return;
  }
  impl.active[t.easy] = shared_from_this();
  curl_multi_add_handle(impl.multi, t.easy);
}

bool URLConnection::configure() {
  auto& t = *transfer_;
  auto failSoon = [self = shared_from_this()](long code, std::string text) {
    NetworkThread::shared().perform([self, code, text] {
      auto& impl = NetworkThread::shared().impl();
      if (self->transfer_->stopped) return impl.hostCodeEnds(*self);
      self->transfer_->stopped = true;
      if (auto& cb = self->delegate_.didFailWithError) cb(URLLoadError{URLErrorDomain, code, text, self->request_.URL});
      impl.hostCodeEnds(*self);
    });
    return false;
  };
  std::string method = upperCased(request_.HTTPMethod);
  // Plain: a handle set up for one differs from one set up for the next only in what is set
  // below for every request (URL, callbacks' data, error buffer, time-outs, headers).
  const bool plainGet = method == "GET" && request_.HTTPBody.empty() && !request_.HTTPBodyStream && !credential_ &&
                        request_.URL.size() > 5 && strncasecmp(request_.URL.c_str(), "http:", 5) == 0;
  bool kept = false;
  t.easy = NetworkThread::shared().impl().takeHandle(plainGet, &kept, &t.headers);
  t.plainGet = plainGet;
  if (!t.easy) return failSoon(URLErrorUnknown, "cannot create a transfer");
  if (request_.URL.empty()) return failSoon(URLErrorBadURL, "bad URL");
  if (!isHTTPToken(request_.HTTPMethod)) return failSoon(URLErrorBadURL, "the request method is no token");
  CURL* e = t.easy;
  if (t.host.empty()) t.host = hostOf(request_.URL);  // start() found it already
  curl_easy_setopt(e, CURLOPT_URL, request_.URL.c_str());
  if (!kept) {
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 64L * 1024);
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    // Redirects are followed one hop at a time, so each hop's delegate decision and trust
    // evaluation see that hop's own request and host.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onWrite);
  }
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  double timeout = request_.timeoutInterval > 0 ? request_.timeoutInterval : 60;
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(timeout))));
  // Schemes are case-insensitive: "Https://" is TLS as well and must meet the trust evaluation.
  if (strncasecmp(request_.URL.c_str(), "https:", 6) == 0) {
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);  // the trust evaluation checks the name
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, onSSLContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    // Every TLS connection meets its own request's trust evaluation: no resumed sessions
    // and no connection that another request's policy accepted.
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
  }
  if (credential_) {
    curl_easy_setopt(e, CURLOPT_USERNAME, credential_->user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, credential_->password.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  }
  bool bodyMethod = request_.HTTPBodyStream || !request_.HTTPBody.empty() || method == "POST" || method == "PUT" ||
                    method == "PATCH";
  if (method == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (bodyMethod) {
    // Progress is reported only for a body sent: a bodiless request spares libcurl the
    // callback at every step of its transfer.
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    if (request_.HTTPBodyStream) {
      int64_t length = -1;
      if (auto cl = request_.valueForHTTPHeaderField("Content-Length")) {
        try {
          length = std::stoll(*cl);
        } catch (...) {
        }
      }
      t.uploadExpected = length;
      request_.HTTPBodyStream->open();
      curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
      curl_easy_setopt(e, CURLOPT_READDATA, this);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    } else {
      t.uploadExpected = static_cast<int64_t>(request_.HTTPBody.size());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.HTTPBody.size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, request_.HTTPBody.empty() ? "" : reinterpret_cast<const char*>(request_.HTTPBody.data()));
    }
    if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request_.HTTPMethod.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request_.HTTPMethod.c_str());
  }
  // A body is sent at once, without waiting for a "100 Continue" that some servers never
  // send; a bodiless request never asks for one.
  if (!headerListMatches(t.headers, request_.allHTTPHeaderFields, bodyMethod)) {
    curl_slist* list = nullptr;
    std::string line;
    for (const auto& [k, v] : request_.allHTTPHeaderFields) {
      // Line breaks in a header would split it into several, a name that is no token could
      // carry a value of its own: such a header is not sent.
      if (!isHTTPToken(k) || !isHTTPFieldValue(v)) continue;
      line.assign(k).append(": ").append(v);
      if (curl_slist* longer = curl_slist_append(list, line.c_str())) list = longer;
    }
    if (bodyMethod)
      if (curl_slist* longer = curl_slist_append(list, "Expect:")) list = longer;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
    curl_slist_free_all(std::exchange(t.headers, list));  // the handle no longer points to it
  }
  return true;
}

bool NetworkThreadAccess::restart(URLConnection& c, URLRequest next) {
  auto& t = *c.transfer_;
  NetworkThread::shared().impl().giveBack(t.easy, t.plainGet, t.headers);
  URLConnection::Transfer hop;  // the next hop goes on in the same slot
  hop.redirects = t.redirects;
  hop.holdsSlot = t.holdsSlot;
  hop.slot = std::move(t.slot);
  t = std::move(hop);
  if (!c.original_) c.original_ = std::move(c.request_);
  c.request_ = std::move(next);
  return c.configure();
}

void URLConnection::cancel() {
  auto& t = *transfer_;
  t.stopped = true;
  auto& impl = NetworkThread::shared().impl();
  if (t.admitting) {
    t.admitting = false;
    auto host = impl.hosts.find(slotOf(request_.URL, nullptr));
    if (host != impl.hosts.end()) {
      auto& waiting = host->second.waiting;
      auto it = std::find(waiting.begin(), waiting.end(), shared_from_this());
      if (it != waiting.end()) waiting.erase(it);
      if (host->second.running == 0 && waiting.empty()) impl.hosts.erase(host);
    }
  }
  if (t.easy) {
    auto it = impl.active.find(t.easy);
    if (it != impl.active.end()) {
      curl_multi_remove_handle(impl.multi, t.easy);
      auto keep = std::move(it->second);
      impl.active.erase(it);
      impl.releaseSlot(*this);
    }
  }
  impl.hostCodeEnds(*this);
}

void NetworkThread::Impl::hostCodeBegins(URLConnection& c) {
  bool& counted = Access::counted(c);
  if (counted) return;
  counted = true;
  MutexLock lock(mutex);
  hostCode.fetch_add(1, std::memory_order_relaxed);
}

void NetworkThread::Impl::hostCodeEnds(URLConnection& c) {
  bool& counted = Access::counted(c);
  if (!counted) return;
  counted = false;
  MutexLock lock(mutex);
  hostCode.fetch_sub(1, std::memory_order_relaxed);
}

void NetworkThread::Impl::finished(CURL* easy, CURLcode code) {
  auto it = active.find(easy);
  if (it == active.end()) return;
  std::shared_ptr<URLConnection> c = std::move(it->second);
  active.erase(it);
  curl_multi_remove_handle(multi, easy);
  auto& t = Access::transfer(*c);
  auto& d = Access::delegate(*c);
  if (!t.stopped && code == CURLE_OK && t.redirectTo) {
    URLRequest next = std::move(*t.redirectTo);
    if (Access::restart(*c, std::move(next))) {
      CURL* e = t.easy;
      active[e] = c;
      curl_multi_add_handle(multi, e);
      return;
    }
    releaseSlot(*c);
    return;
  }
  releaseSlot(*c);
  if (t.stopped) return hostCodeEnds(*c);
  if (code == CURLE_OK) {
    deliverResponse(*c);
    t.stopped = true;
    giveBack(std::exchange(t.easy, nullptr), t.plainGet, std::exchange(t.headers, nullptr));
    if (d.didFinishLoading) d.didFinishLoading();
    return hostCodeEnds(*c);
  }
  t.stopped = true;
  URLLoadError error{URLErrorDomain, errorCodeFor(code), t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code),
                     Access::request(*c).URL};
  if (t.refusal) {
    error = *t.refusal;
  } else if (t.bodyError) {
    error.domain = POSIXErrorDomain;
    error.code = t.bodyError->code;
    error.description = t.bodyError->message;
  } else if (t.trustRefused) {
    error.code = URLErrorServerCertificateUntrusted;
  }
  giveBack(std::exchange(t.easy, nullptr), t.plainGet, std::exchange(t.headers, nullptr));
  if (d.didFailWithError) d.didFailWithError(error);
  hostCodeEnds(*c);
}

void NetworkThread::Impl::releaseSlot(URLConnection& c) {
  auto& t = Access::transfer(c);
  if (!t.holdsSlot) return;
  t.holdsSlot = false;
  auto it = hosts.find(t.slot);
  if (it == hosts.end()) return;
  if (it->second.running > 0) --it->second.running;
  if (it->second.running == 0 && it->second.waiting.empty()) hosts.erase(it);
  else slotFreed = true;  // admitted by the loop: this may run inside a libcurl callback
}

// Admits waiting transfers where their host has room; true when one was started.
bool NetworkThread::Impl::admitWaiting() {
  if (!slotFreed) return false;
  slotFreed = false;
  bool started = false;
  for (auto it = hosts.begin(); it != hosts.end();) {
    auto& h = it->second;
    while (h.running < kTransfersPerHost && !h.waiting.empty()) {
      std::shared_ptr<URLConnection> c = std::move(h.waiting.front());
      h.waiting.pop_front();
      Access::transfer(*c).admitting = false;
      c->start();
      started = true;
    }
    if (h.running == 0 && h.waiting.empty()) it = hosts.erase(it);
    else ++it;
  }
  return started;
}

// False, with nothing taken, when the main thread would take tasks while host code waits.
bool NetworkThread::Impl::drainTasks(bool asMain) {
  // Nothing posted since the last look: no task to take, and no lock to take for it. A task
  // whose count is still to come is taken at a later look (its poster wakes a parked driver).
  const uint64_t now = posted.load(std::memory_order_seq_cst);
  if (now == drained) return true;
  drained = now;
  {
    MutexLock lock(mutex);
    if (asMain && hostCode.load(std::memory_order_relaxed) > 0) return false;
    if (tasks.empty()) return true;
    draining.swap(tasks);
  }
  // Tasks posted meanwhile go to `tasks`; no round runs inside a task.
  for (auto& task : draining) task();
  draining.clear();
  return true;
}

void NetworkThread::Impl::resumeDueUploads() {
  if (wakeups.empty()) return;  // mostly: no clock read then
  auto now = std::chrono::steady_clock::now();
  while (!wakeups.empty() && wakeups.begin()->first <= now) {
    auto c = wakeups.begin()->second.lock();
    wakeups.erase(wakeups.begin());
    if (!c) continue;
    auto& t = Access::transfer(*c);
    if (!t.pausedForPacing || t.stopped || !t.easy || !active.count(t.easy)) continue;
    t.pausedForPacing = false;
    curl_easy_pause(t.easy, CURLPAUSE_CONT);
  }
}

int NetworkThread::Impl::pollTimeoutMs() {
  if (wakeups.empty()) return 1000;
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeups.begin()->first - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 1000));
}

// One round of the driver's work: tasks, paced uploads, libcurl's step, ended transfers and
// waiting ones admitted. The main thread stops short of anything that may run host code: a
// task posted as such, or a connection that a task of its own started.
NetworkThread::Impl::Round NetworkThread::Impl::round(bool asMain) {
  if (!drainTasks(asMain)) return Round::HostCode;
  if (asMain && hostCode.load(std::memory_order_relaxed) > 0) return Round::HostCode;
  resumeDueUploads();
  // A round that only ran tasks (the step after a reply ended, say) leaves libcurl alone
  // when no transfer is in its hands: it would have nothing to do.
  if (!active.empty()) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE) finished(msg->easy_handle, msg->data.result);
    // What the callbacks just posted (an operation's step after its end, which hands its
    // reply on) runs in this round, in order, instead of after another look at the loop.
    if (!drainTasks(asMain)) return Round::HostCode;
  }
  return admitWaiting() ? Round::Again : Round::Done;
}

// Sleeps in curl_multi_poll unless a task came meanwhile; `extraFd` (if any) wakes it too.
// `parked` tells posters that a wake-up is needed: a busy driver looks for tasks before it
// sleeps and needs none. Whether `extraFd` became readable.
short NetworkThread::Impl::park(int extraFd, int timeoutMs) {
  parked.store(true, std::memory_order_seq_cst);
  short extra = 0;
  if (posted.load(std::memory_order_seq_cst) == drained) {
    curl_waitfd fds[2] = {{wakeFd, CURL_WAIT_POLLIN, 0}, {extraFd, CURL_WAIT_POLLIN, 0}};
    curl_waitfd* first = wakeFd < 0 ? fds + 1 : fds;
    unsigned count = (wakeFd < 0 ? 0u : 1u) + (extraFd < 0 ? 0u : 1u);
    // With a wake-up of our own, libcurl's (a socket pair it would poll as well) is not
    // needed: curl_multi_wait leaves it out.
    if (wakeFd < 0) curl_multi_poll(multi, count ? first : nullptr, count, timeoutMs, nullptr);
    else curl_multi_wait(multi, first, count, timeoutMs, nullptr);
    uint64_t n = 0;
    if (fds[0].revents && read(wakeFd, &n, sizeof n) < 0) {
    }  // non-blocking: nothing to read is fine
    extra = fds[1].revents;
  }
  parked.store(false, std::memory_order_relaxed);
  return extra;
}

// The network thread drives until nothing is left, or hands the role to the main thread
// waiting for it.
void NetworkThread::Impl::driveAsNetwork() {
  tlsDriving = true;
  for (;;) {
    if (round(false) == Round::Again) continue;
    {
      MutexLock lock(mutex);
      if (stopping) break;  // the role stays here for the clean-up
      bool work = hasTransfers() || !tasks.empty();
      if (!work || (mainWantsToDrive && hostCode.load(std::memory_order_relaxed) == 0)) {
        driver = Driver::None;
        workLeft = work;
        if (mainWantsToDrive) {
          uint64_t one = 1;
          if (write(handFd, &one, sizeof one) < 0) {
          }  // only EAGAIN at a counter near overflow: the main thread is woken anyway
        }
        break;
      }
    }
    park(-1, pollTimeoutMs());
  }
  tlsDriving = false;
}

void NetworkThread::Impl::run() {
  UniqueLock lock(mutex);
  auto lastDrove = std::chrono::steady_clock::now();
  uint64_t awaySince = 0;  // `mainLeft` when the main thread was first seen away, plus one
  bool handedOver = false;
  auto watch = std::chrono::milliseconds(kWatch);
  for (;;) {
    if (stopping) {
      // A main thread driving sees the stop and lets go; one that is away (it may be the
      // thread that exits) drives no more.
      if (driver != Driver::Main || !mainWaiting) break;
    } else {
      bool take = false;
      bool host = hostCode.load(std::memory_order_relaxed) > 0;
      if (driver == Driver::None) {
        // Just handed over: the main thread takes the role, unless it left meanwhile or host
        // code is to run.
        take = (workLeft || !tasks.empty()) && (!handedOver || host);
      } else if (driver == Driver::Main && !mainWaiting) {
        take = takeOver || host || awaySince == mainLeft + 1;
        if (!take && awaySince != mainLeft + 1) awaySince = mainLeft + 1;
        watch = kWatch;
      } else if (driver == Driver::Main) {
        awaySince = 0;
        watch = std::min<std::chrono::milliseconds>(watch * 2, kWatchSparsest);
      } else {
        watch = kWatch;
      }
      handedOver = false;
      if (take) {
        driver = Driver::Network;
        takeOver = false;
        awaySince = 0;
        lock.unlock();
        driveAsNetwork();
        lock.lock();
        lastDrove = std::chrono::steady_clock::now();
        handedOver = driver == Driver::None && workLeft;
        continue;
      }
    }
    if (driver == Driver::Main || handedOver || std::chrono::steady_clock::now() - lastDrove < kLinger || stopping) {
      sleep = Sleep::Watching;
      sleepCv.wait_for(lock, watch);
    } else {
      sleep = Sleep::Deep;
      sleepCv.wait(lock);
      lastDrove = std::chrono::steady_clock::now();
    }
    sleep = Sleep::Awake;
  }
  driver = Driver::Network;
  lock.unlock();
  endTransfers();
}

// At exit: transfers in flight end here without callbacks; dropping their callbacks too lets
// go of the operations those hold, which in turn hold the connections. Their handles stay in
// the multi handle, which is never cleaned up: taking one out shuts its TLS connection down,
// work that may take longer under load than exit waits, and that must not run once the TLS
// library's own exit-time clean-up has begun. A connection that outlives this (an operation
// still holds it) therefore no longer owns its handle.
void NetworkThread::Impl::endTransfers() {
  for (auto& [easy, c] : active) {
    Access::transfer(*c).easy = nullptr;
    Access::delegate(*c) = URLConnectionDelegate{};
  }
  for (auto& [key, host] : hosts)
    for (auto& c : host.waiting) Access::delegate(*c) = URLConnectionDelegate{};
  active.clear();
  hosts.clear();
  wakeups.clear();
  for (const Spare& spare : spareHandles) {
    curl_easy_cleanup(spare.easy);
    curl_slist_free_all(spare.headers);
  }
  spareHandles.clear();
  MutexLock lock(mutex);
  tasks.clear();
  stopped = true;
  stoppedCv.notify_all();
}

// The main thread's run loop has nothing ready: drive the transfers here while waiting, so
// that replies are read, parsed and answered on this thread without a hand-off.
bool NetworkThread::Impl::idleWait(RunLoop& loop, int loopFd, int64_t realNs) {
  using Clock = std::chrono::steady_clock;
  // A loop run from inside a connection callback: the drive below it holds the role.
  if (tlsDriving) return false;
  bool rouse = false;
  bool driving = false;
  {
    MutexLock lock(mutex);
    if (stopping) return false;
    if (hostCode.load(std::memory_order_relaxed) > 0) {
      // Host code is to run: the network thread drives, the loop waits as usual.
      if (driver == Driver::Main) handOverLocked();
      return false;
    }
    if (driver == Driver::None) {
      if (!workLeft && tasks.empty()) return false;  // nothing to drive: sleep as usual
      driver = Driver::Main;
      rouse = sleep == Sleep::Deep;  // it watches while the main thread drives (run, kWatch)
    } else if (driver == Driver::Network) {
      mainWantsToDrive = true;  // it lets go before it next sleeps
    }
    mainWaiting = true;
    // The role taken here needs no second look under the lock below.
    driving = driver == Driver::Main;
    if (driving) mainWantsToDrive = false;
  }
  if (rouse) sleepCv.notify_one();
  if (parked.load(std::memory_order_seq_cst)) wake();
  const auto deadline = realNs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::nanoseconds(realNs);
  // Milliseconds to the deadline, rounded up: 0 once it has passed.
  auto msLeft = [&] {
    if (deadline == Clock::time_point::max()) return 1000L;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<long>(std::clamp<int64_t>(ms, 0, 1000));
  };
  for (;;) {
    if (!driving) {
      MutexLock lock(mutex);
      // With host code to run, the network thread keeps the role: wait as the loop does.
      if (stopping || hostCode.load(std::memory_order_relaxed) > 0) break;
      if (driver == Driver::None) driver = Driver::Main;
      driving = driver == Driver::Main;
      if (driving) mainWantsToDrive = false;
    }
    if (!driving) {
      // The network thread drives: wait until it lets go, a post comes or the time is up.
      pollfd fds[2] = {{loopFd, POLLIN, 0}, {handFd, POLLIN, 0}};
      long timeout = msLeft();
      if (timeout == 0) break;
      ::poll(fds, 2, static_cast<int>(timeout));
      uint64_t n = 0;
      if (fds[1].revents && read(handFd, &n, sizeof n) < 0) {
      }
      if (fds[0].revents) break;
      continue;
    }
    tlsDriving = true;
    Round step = round(true);
    tlsDriving = false;
    if (step == Round::Again) continue;
    if (step == Round::HostCode) {
      MutexLock lock(mutex);
      handOverLocked();
      break;
    }
    if (detail::loopReadyNow(loop)) break;
    {
      MutexLock lock(mutex);
      if (stopping || (!hasTransfers() && tasks.empty())) break;
      if (hostCode.load(std::memory_order_relaxed) > 0) {  // posted by a callback just run
        handOverLocked();
        break;
      }
    }
    long left = msLeft();
    if (left == 0) break;
    if (park(loopFd, static_cast<int>(std::min(static_cast<long>(pollTimeoutMs()), left)))) break;
  }
  MutexLock lock(mutex);
  mainWaiting = false;
  mainWantsToDrive = false;
  ++mainLeft;
  if (driver == Driver::Main && hostCode.load(std::memory_order_relaxed) > 0) {
    handOverLocked();
  } else if (driver == Driver::Main) {
    // Kept while transfers are in flight: the main thread is likely back at once.
    workLeft = hasTransfers() || !tasks.empty();
    if (!workLeft || stopping) driver = Driver::None;
  }
  if (stopping) sleepCv.notify_one();
  return true;
}

// The main thread lets go of the role at once, for host code the network thread must run;
// under `mutex`. Waking the network thread under the lock costs it one more wait for the lock,
// which is rare enough here.
void NetworkThread::Impl::handOverLocked() {
  driver = Driver::None;
  workLeft = true;
  sleepCv.notify_one();
}

// At exit, before static objects are destroyed and before the TLS library's clean-up: the
// loop ends (transfers in flight are dropped without callbacks) and later tasks are dropped.
// The object itself stays, so a worker thread still running after main returned may call
// perform() safely. The thread is waited for until it has ended: a round of the loop may be
// handshaking with many servers, which takes a while on a loaded machine, and the TLS library
// must not be torn down under it. Only a loop stuck in a delegate callback for longer than
// kExitWait is left to the process's end.
void NetworkThread::Impl::stop() {
  UniqueLock lock(mutex);
  if (stopping) return;
  stopping = true;
  // Exit called from a callback of the main thread's drive: that drive never resumes.
  if (tlsDriving && driver == Driver::Main) mainWaiting = false;
  wake();
  uint64_t one = 1;
  if (write(handFd, &one, sizeof one) < 0) {
  }
  sleepCv.notify_one();
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (!stopped && stoppedCv.wait_until(lock, deadline) == std::cv_status::no_timeout) {
  }
  if (stopped) {
    lock.unlock();
    thread.join();
  } else {
    lock.unlock();
    thread.detach();
  }
}

NetworkThread::NetworkThread() : impl_(std::make_unique<Impl>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->multi = curl_multi_init();
  impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  impl_->handFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Transfers per host are limited before they reach libcurl (Impl::hosts).
  impl_->thread = std::thread([this] { impl_->run(); });
  if (impl_->handFd >= 0) detail::setMainIdleWaiter(impl_.get());
}

NetworkThread::~NetworkThread() = default;  // never runs: the shared thread is kept to the end

NetworkThread& NetworkThread::shared() {
  static NetworkThread* thread = [] {
    auto* t = new NetworkThread;
    // Exit handlers run in reverse order of registration: the TLS library registers its
    // clean-up when first initialised (at the latest here), so the stop registered after it
    // runs before it.
    OPENSSL_init_ssl(0, nullptr);
    std::atexit([] { NetworkThread::shared().impl().stop(); });
    return t;
  }();
  return *thread;
}

void NetworkThread::perform(std::function<void()> task, bool runsHostCode) {
  // The main thread drives what it posts when it next waits; a thread that never drives
  // must not leave its task to a main thread that is away. Host code goes to the network
  // thread whoever posts it.
  const bool toNetwork = runsHostCode || !RunLoop::isMainThread();
  bool wakeNetwork = false;
  {
    MutexLock lock(impl_->mutex);
    if (impl_->stopping) return;  // after exit began: the task would touch what is going
    if (runsHostCode) {
      impl_->hostCode.fetch_add(1, std::memory_order_relaxed);
      impl_->tasks.push_back([impl = impl_.get(), task = std::move(task)] {
        task();
        MutexLock lock(impl->mutex);
        impl->hostCode.fetch_sub(1, std::memory_order_relaxed);
      });
    } else {
      impl_->tasks.push_back(std::move(task));
    }
    using Driver = Impl::Driver;
    if (impl_->driver == Driver::None) {
      wakeNetwork = impl_->sleep == Impl::Sleep::Deep || (impl_->sleep == Impl::Sleep::Watching && toNetwork);
    } else if (impl_->driver == Driver::Main && !impl_->mainWaiting && toNetwork) {
      impl_->takeOver = true;
      wakeNetwork = true;
    }
  }
  if (wakeNetwork) impl_->sleepCv.notify_one();
  impl_->posted.fetch_add(1, std::memory_order_seq_cst);
  // The driver looks for tasks before it sleeps: only a sleeping one needs a wake-up.
  if (impl_->parked.load(std::memory_order_seq_cst)) impl_->wake();
}

bool NetworkThread::isCurrent() const { return tlsDriving; }

bool NetworkThread::isIdle() const { return isCurrent() && impl_->active.empty() && impl_->hosts.empty(); }

bool NetworkThread::drivesWhileWaiting() const { return tlsDriving && std::this_thread::get_id() != impl_->thread.get_id(); }

void NetworkThread::setThreadName(const char* name) { pthread_setname_np(impl_->thread.native_handle(), name); }

}  // namespace platform
