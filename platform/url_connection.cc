#include "platform/url_connection.h"

#include "platform/url_connection_internal.h"

namespace platform {

namespace url_detail {

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

}  // namespace url_detail

namespace {

using url_detail::deliverResponse;

std::string_view trimLine(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  size_t b = s.find_first_not_of(" \t");
  return b == std::string_view::npos ? std::string_view() : s.substr(b);
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

// Whether two URLs share scheme, host and port (a missing port is the scheme's own); a URL
// that cannot be parsed shares its origin with none.
bool sameOrigin(const std::string& a, const std::string& b) {
  auto origin = [](const std::string& url) {
    std::string key = slotOf(url, nullptr);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char ch) { return std::tolower(ch); });
    return key;
  };
  const std::string first = origin(a);
  return first.size() > 3 && first == origin(b);  // more than the separators alone
}

bool isHTTPS(const std::string& url) { return strncasecmp(url.c_str(), "https:", 6) == 0; }

// The caller's credentials in a request's head, every spelling of their names. No proxy is
// ever used, so a proxy's credential would go to the origin servers: it goes with the others.
void dropCredentialHeaders(URLRequest& r) {
  std::erase_if(r.allHTTPHeaderFields, [](const auto& field) {
    const char* name = field.first.c_str();
    return strcasecmp(name, "Authorization") == 0 || strcasecmp(name, "Proxy-Authorization") == 0 ||
           strcasecmp(name, "Cookie") == 0;
  });
}

// Exit has begun: the round under way runs no more host code (the host's objects may be going
// with the process) and ends the transfer its callback belongs to.
bool exitBegun() { return NetworkThread::shared().impl().abandoning.load(std::memory_order_relaxed); }

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
  // What the caller gave for one origin stays with it: a hop to another goes without it.
  if (!sameOrigin(next.URL, current.URL)) dropCredentialHeaders(next);
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
  // Not even the delegate sends them in clear text after a hop off TLS.
  if (follow && isHTTPS(current.URL) && !isHTTPS(follow->URL)) dropCredentialHeaders(*follow);
  t.redirectTo = std::move(follow);
  return true;
}

size_t onHeader(char* data, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  if (t.stopped || exitBegun()) return 0;
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
  if (exitBegun()) return 0;
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
  if (t.stopped || exitBegun()) return CURL_READFUNC_ABORT;
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
  if (t.stopped || exitBegun()) return 1;
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
  if (NetworkThread::shared().impl().abandoning.load(std::memory_order_relaxed)) {
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
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
  if (NetworkThread::shared().impl().abandoning.load(std::memory_order_relaxed)) return CURLE_ABORTED_BY_CALLBACK;
  // Replaces OpenSSL's own verification: the delegate (or the default evaluation) decides
  // during the handshake, before any byte of the request is sent.
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), onVerify, user);
  return CURLE_OK;
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
  // The credential answers challenges from the origin of the request it came with only.
  const bool credential = credential_ && (!original_ || sameOrigin(request_.URL, original_->URL));
  // Plain: a handle set up for one differs from one set up for the next only in what is set
  // below for every request (URL, callbacks' data, error buffer, time-outs, headers).
  const bool plainGet = method == "GET" && request_.HTTPBody.empty() && !request_.HTTPBodyStream && !credential &&
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
  if (isHTTPS(request_.URL)) {
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);  // the trust evaluation checks the name
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, onSSLContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    // That evaluation replaces OpenSSL's verification: libcurl's own CA bundle, which it
    // would read anew for every connection (a hundred and more certificates, tens of
    // milliseconds), is never looked at.
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    // Every TLS connection meets its own request's trust evaluation: no resumed sessions
    // and no connection that another request's policy accepted.
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
  }
  if (credential) {
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


}  // namespace platform
