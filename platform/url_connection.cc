#include "platform/url_connection.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/stream.h"

namespace platform {

struct NetworkThread::Impl {
  CURLM* multi = nullptr;
  std::thread thread;
  std::mutex mutex;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;
  // Connections in flight, kept alive by the loop until they end or are cancelled.
  std::map<CURL*, std::shared_ptr<URLConnection>> active;

  void run();
  void drainTasks();
  void finished(CURL* easy, CURLcode code);
};

struct URLConnection::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  URLResponse response;
  bool responseDelivered = false;
  bool stopped = false;
  bool trustRefused = false;
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
};

namespace {

using Access = NetworkThreadAccess;

std::string trimLine(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t b = s.find_first_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b);
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
  if (auto ct = headerValue(t.response.allHeaderFields, "Content-Type")) parseContentType(*ct, t.response);
  t.response.expectedContentLength = -1;
  if (auto cl = headerValue(t.response.allHeaderFields, "Content-Length")) {
    try {
      t.response.expectedContentLength = std::stoll(*cl);
    } catch (...) {
    }
  }
  if (auto& cb = Access::delegate(c).didReceiveResponse) cb(t.response);
}

size_t onHeader(char* data, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
  std::string line = trimLine(std::string(data, size * n));
  if (line.rfind("HTTP/", 0) == 0) {
    t.response.allHeaderFields.clear();  // a new head: after a redirect or an interim reply
  } else if (size_t colon = line.find(':'); colon != std::string::npos && colon > 0) {
    t.response.allHeaderFields.emplace_back(line.substr(0, colon), trimLine(line.substr(colon + 1)));
  }
  return size * n;
}

size_t onWrite(char* data, size_t size, size_t n, void* user) {
  auto& c = *static_cast<URLConnection*>(user);
  auto& t = Access::transfer(c);
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

}  // namespace

std::shared_ptr<URLConnection> URLConnection::create(URLRequest request, URLConnectionDelegate delegate,
                                                     std::optional<URLCredential> credential) {
  return std::shared_ptr<URLConnection>(new URLConnection(std::move(request), std::move(delegate), std::move(credential)));
}

URLConnection::URLConnection(URLRequest request, URLConnectionDelegate delegate, std::optional<URLCredential> credential)
    : request_(std::move(request)), delegate_(std::move(delegate)), credential_(std::move(credential)),
      transfer_(std::make_unique<Transfer>()) {}

URLConnection::~URLConnection() {
  // Never in the multi handle here: the loop holds every active connection.
  if (transfer_->easy) curl_easy_cleanup(transfer_->easy);
  curl_slist_free_all(transfer_->headers);
}

void URLConnection::start() {
  auto& t = *transfer_;
  auto& impl = NetworkThread::shared().impl();
  if (t.easy) return;
  auto failSoon = [self = shared_from_this()](long code, std::string text) {
    NetworkThread::shared().perform([self, code, text] {
      if (self->transfer_->stopped) return;
      self->transfer_->stopped = true;
      if (auto& cb = self->delegate_.didFailWithError) cb(URLLoadError{URLErrorDomain, code, text, self->request_.URL});
    });
  };
  t.easy = curl_easy_init();
  if (!t.easy) return failSoon(URLErrorUnknown, "cannot create a transfer");
  if (request_.URL.empty()) return failSoon(URLErrorBadURL, "bad URL");
  CURL* e = t.easy;
  t.host = hostOf(request_.URL);
  curl_easy_setopt(e, CURLOPT_URL, request_.URL.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 64L * 1024);
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onWrite);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  double timeout = request_.timeoutInterval > 0 ? request_.timeoutInterval : 60;
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(timeout))));
  if (request_.URL.rfind("https:", 0) == 0 || request_.URL.rfind("HTTPS:", 0) == 0) {
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
  std::string method = request_.HTTPMethod;
  std::transform(method.begin(), method.end(), method.begin(), ::toupper);
  bool bodyMethod = request_.HTTPBodyStream || !request_.HTTPBody.empty() || method == "POST" || method == "PUT" ||
                    method == "PATCH";
  if (method == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (bodyMethod) {
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
  for (const auto& [k, v] : request_.allHTTPHeaderFields) {
    // Line breaks in a header would split it into several: such a header is not sent.
    if ((k + v).find_first_of("\r\n") != std::string::npos) continue;
    t.headers = curl_slist_append(t.headers, (k + ": " + v).c_str());
  }
  t.headers = curl_slist_append(t.headers, "Expect:");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
  impl.active[e] = shared_from_this();
  curl_multi_add_handle(impl.multi, e);
}

void URLConnection::cancel() {
  auto& t = *transfer_;
  t.stopped = true;
  auto& impl = NetworkThread::shared().impl();
  if (t.easy) {
    auto it = impl.active.find(t.easy);
    if (it != impl.active.end()) {
      curl_multi_remove_handle(impl.multi, t.easy);
      auto keep = std::move(it->second);
      impl.active.erase(it);
    }
  }
}

void NetworkThread::Impl::finished(CURL* easy, CURLcode code) {
  auto it = active.find(easy);
  if (it == active.end()) return;
  std::shared_ptr<URLConnection> c = std::move(it->second);
  active.erase(it);
  curl_multi_remove_handle(multi, easy);
  auto& t = Access::transfer(*c);
  auto& d = Access::delegate(*c);
  if (t.stopped) return;
  if (code == CURLE_OK) {
    deliverResponse(*c);
    t.stopped = true;
    if (d.didFinishLoading) d.didFinishLoading();
    return;
  }
  t.stopped = true;
  URLLoadError error{URLErrorDomain, errorCodeFor(code), t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code),
                     Access::request(*c).URL};
  if (t.bodyError) {
    error.domain = POSIXErrorDomain;
    error.code = t.bodyError->code;
    error.description = t.bodyError->message;
  } else if (t.trustRefused) {
    error.code = URLErrorServerCertificateUntrusted;
  }
  if (d.didFailWithError) d.didFailWithError(error);
}

void NetworkThread::Impl::drainTasks() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(mutex);
    batch.swap(tasks);
  }
  for (auto& task : batch) task();
}

void NetworkThread::Impl::run() {
  for (;;) {
    drainTasks();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) break;
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE) finished(msg->easy_handle, msg->data.result);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!tasks.empty()) continue;
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  for (auto& [easy, c] : active) curl_multi_remove_handle(multi, easy);
  active.clear();
}

NetworkThread::NetworkThread() : impl_(std::make_unique<Impl>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->multi = curl_multi_init();
  // As a phone's loader does: a few connections per host, further requests wait their turn.
  curl_multi_setopt(impl_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
  impl_->thread = std::thread([this] { impl_->run(); });
}

NetworkThread::~NetworkThread() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  curl_multi_wakeup(impl_->multi);
  impl_->thread.join();
  curl_multi_cleanup(impl_->multi);
}

NetworkThread& NetworkThread::shared() {
  static NetworkThread thread;
  return thread;
}

void NetworkThread::perform(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->tasks.push_back(std::move(task));
  }
  curl_multi_wakeup(impl_->multi);
}

bool NetworkThread::isCurrent() const { return std::this_thread::get_id() == impl_->thread.get_id(); }

}  // namespace platform
