#include "server/content/content_helper_ssl.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "server/content/content_helper.h"
#include "server/content/content_internal.h"

namespace {

constexpr size_t kSslPiece = 32768;
constexpr int kPollMs = 100;
// One read call gathers records until this much is in hand (or nothing more
// is ready), so a fast peer is not drained 16 KiB at a time.
constexpr size_t kRecordBytes = 16384;

// Our own socket bio: sends never raise SIGPIPE in the host, and the bio never
// closes the descriptor (the transfer's Socket does, once).
int BioWrite(BIO* b, const char* data, int len) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
  BIO_clear_retry_flags(b);
  const ssize_t r = ::send(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
  return static_cast<int>(r);
}

int BioRead(BIO* b, char* data, int len) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
  BIO_clear_retry_flags(b);
  const ssize_t r = ::recv(fd, data, static_cast<size_t>(len), 0);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
  return static_cast<int>(r);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

// Made once, never changed or freed; every transfer's bio shares it.
const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "marvisto socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  return method;
}

unsigned long TakeError() {
  const unsigned long e = ERR_peek_last_error();
  return e;
}

void LogSslError(unsigned long code) {
  char text[101];
  ERR_error_string_n(code, text, sizeof text);
  MV_LOG(1, "SSL error: %d - %s\n", static_cast<int>(code), text);
}

// Waits up to 100 ms for the socket to suit what the library asked for.
void WaitFor(int fd, int sslError) {
  pollfd p{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
  poll(&p, 1, kPollMs);
}

// Every TLS object of one transfer; freed on every exit. The socket is
// declared first so it is closed after the library is done with it.
struct Tls {
  Socket socket;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  bool post = false;
  Tls() = default;
  Tls(const Tls&) = delete;
  Tls& operator=(const Tls&) = delete;
  ~Tls() {
    if (post) MV_LOG(2, "Closing connection...\n");
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ERR_clear_error();  // this thread's error queue holds nothing for the next transfer
  }
};

class TlsChannel : public Channel {
 public:
  explicit TlsChannel(Tls& t) : t_(t) {}
  Io send(const char* data, size_t size, size_t* n, int* code) override {
    ERR_clear_error();
    errno = 0;
    size_t written = 0;
    const int r = SSL_write_ex(t_.ssl, data, size, &written);
    if (r == 1 && written > 0) {
      *n = written;
      return kMoved;
    }
    const int e = SSL_get_error(t_.ssl, r);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
      WaitFor(t_.socket.fd(), e);
      return kWait;
    }
    MV_LOG(1, "Error in ssl_write: returned %d\n", e == SSL_ERROR_SYSCALL ? -errno : -static_cast<int>(TakeError()));
    *code = kErrorSslWrite;
    return kFailed;
  }
  Io recv(char* data, size_t size, size_t* n, int* code) override {
    if (ended_ != kMoved) {
      *code = endCode_;
      return ended_;
    }
    size_t total = 0;
    for (;;) {
      ERR_clear_error();
      errno = 0;
      size_t got = 0;
      const int r = SSL_read_ex(t_.ssl, data + total, size - total, &got);
      if (r == 1) {
        total += got;
        if (size - total >= kRecordBytes) continue;
        break;
      }
      const int e = SSL_get_error(t_.ssl, r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        if (total > 0) break;
        WaitFor(t_.socket.fd(), e);
        return kWait;
      }
      ended_ = end(e, &endCode_);
      if (total > 0) break;  // hand over what came; the end follows on the next call
      *code = endCode_;
      return ended_;
    }
    *n = total;
    return kMoved;
  }

 private:
  // How the connection ended, from the library's error.
  Io end(int e, int* code) {
    if (e == SSL_ERROR_ZERO_RETURN) {
      MV_LOG(2, "Receive finished: ssl_read: returned %d (peer closed)\n", -30848);
      return kClosedClean;
    }
    // The connection ended without the peer's close notification: only the
    // framing of the reply can say whether anything is missing.
    if ((e == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0) ||
        (e == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
      MV_LOG(2, "Receive finished: EOF was reached!\n");
      return kClosedUnclean;
    }
    MV_LOG(1, "Error in ssl_read: returned %d\n", e == SSL_ERROR_SYSCALL ? -errno : -static_cast<int>(TakeError()));
    *code = kErrorSslRead;
    return kFailed;
  }

  Io ended_ = kMoved;  // kMoved: still open
  int endCode_ = 0;
 private:
  Tls& t_;
};

// The trust list: every certificate of the PEM text. 0 or a code.
int LoadTrust(SSL_CTX* ctx) {
  const char* pem = MARVISTO_CA_LIST ? MARVISTO_CA_LIST : "";
  BIO* in = BIO_new_mem_buf(pem, -1);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  int loaded = 0;
  while (in != nullptr) {
    X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    if (cert == nullptr) break;
    if (X509_STORE_add_cert(store, cert) == 1) ++loaded;
    X509_free(cert);
  }
  BIO_free(in);
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();  // the end of the text shows as an error
  if (loaded > 0) return 0;
  MV_LOG(1, "Error in x509_crt_parse: returned -0x%x\n", static_cast<unsigned>(error));
  LogSslError(error);
  return kErrorCaParse;
}

// Resolves, connects, shakes hands and verifies. 0 or a code; nothing is sent
// to a peer that fails verification.
int Setup(Tls& t, const std::string& host, int port, int id) {
  if (RAND_status() != 1) {
    MV_LOG(1, "Error in ctr_drbg_init: returned %d\n", static_cast<int>(TakeError()));
    return kErrorDrbgInit;
  }
  t.ctx = SSL_CTX_new(TLS_client_method());
  if (t.ctx == nullptr || SocketMethod() == nullptr) {
    MV_LOG(1, "Error in ssl_init: returned %d\n", static_cast<int>(TakeError()));
    return kErrorSslInit;
  }
  if (Interrupted(id)) return kErrorInterrupted;
  MV_LOG(2, "Seeding the random number generator...\n");
  MV_LOG(2, "Loading the CA root certificate ...\n");
  if (const int r = LoadTrust(t.ctx); r != 0) return r;
  if (const int r = t.socket.connect(host, port, id, true); r != 0) return r;
  MV_LOG(2, "Setting up the SSL/TLS structure...\n");
  // Verification runs during the handshake but does not end it: its result is
  // read afterwards, before any byte of the request.
  SSL_CTX_set_verify(t.ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_min_proto_version(t.ctx, TLS1_2_VERSION);
  SSL_CTX_set_read_ahead(t.ctx, 1);
  SSL_CTX_set_mode(t.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  t.ssl = SSL_new(t.ctx);
  BIO* bio = BIO_new(SocketMethod());
  if (t.ssl == nullptr || bio == nullptr || SSL_set_tlsext_host_name(t.ssl, kMarvistoServiceName) != 1 ||
      SSL_set1_host(t.ssl, kMarvistoServiceName) != 1) {
    BIO_free(bio);
    MV_LOG(1, "Error in ssl_init: returned %d\n", static_cast<int>(TakeError()));
    return kErrorSslInit;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(t.socket.fd())));
  SSL_set_bio(t.ssl, bio, bio);
  MV_LOG(2, "Performing the SSL/TLS handshake...\n");
  const int64_t begin = GetCurrentTimeMillis();
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(t.ssl);
    if (r == 1) break;
    const int e = SSL_get_error(t.ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      const unsigned long error = TakeError();
      MV_LOG(1, "Error in ssl_handshake: returned -0x%x\n", static_cast<unsigned>(error));
      LogSslError(error);
      return kErrorHandshake;
    }
    if (Interrupted(id)) return kErrorInterrupted;
    if (GetCurrentTimeMillis() - begin >= HandshakeMs()) {
      MV_LOG(1, "Error in ssl_handshake: returned -0x%x\n", 0x6800u);  // timed out
      return kErrorHandshake;
    }
    WaitFor(t.socket.fd(), e);
  }
  MV_LOG(2, "Verifying peer X.509 certificate...\n");
  const long verified = SSL_get_verify_result(t.ssl);
  if (SSL_get0_peer_certificate(t.ssl) == nullptr || verified != X509_V_OK) {
    const char* why = SSL_get0_peer_certificate(t.ssl) == nullptr ? "no certificate"
                                                                  : X509_verify_cert_error_string(verified);
    char info[512];
    std::snprintf(info, sizeof info, "  ***  %s\n", why);
    MV_LOG(1, "Certificate verification failed:\n%s\n", info);
    LogSslError(static_cast<unsigned long>(verified));
    return kErrorVerify;
  }
  return 0;
}

// The close notification after a whole reply; the peer may already be gone.
void CloseNotify(Tls& t) {
  ERR_clear_error();
  SSL_shutdown(t.ssl);
}

}  // namespace

int GetResourceSsl(const std::string& url, const std::string& fileName, int id, int progressMin, int progressMax) {
  MV_LOG(2, "Get resource SSL: url=%s, filename=%s, progress: %d..%d\n", url.c_str(), fileName.c_str(),
         progressMin, progressMax);
  std::string scheme, host, path;
  int port = 443;
  if (!ParseURL(url, &scheme, &host, &port, &path)) {
    MV_LOG(1, "Invalid url: '%s'\n", url.c_str());
    return kErrorUrl;
  }
  if (scheme == "http" || scheme == "HTTP") return GetResource(url, fileName, id, progressMin, progressMax);
  Tls t;
  if (const int r = Setup(t, host, port, id); r != 0) return r;
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n";
  MV_LOG(2, "Sending GET request: %s\n", request.c_str());
  TlsChannel ch(t);
  if (const int r = SendAll(ch, request, request.size(), id, nullptr); r != 0) return r;
  MV_LOG(2, "Request send (%zu bytes)!\n", request.size());
  MV_LOG(2, "Receiving server response...\n");
  const Progress progress{id, progressMin, progressMax};
  if (progress.on()) progress.set(progressMin, false);
  ReplyFile file(fileName);
  HttpReply reply(MaxReplyBytes(), file.wanted() ? &file : nullptr);
  if (const int r = ReceiveReply(ch, reply, id, progress.on() ? &progress : nullptr, false, false); r != 0)
    return r;
  const int result = FinishReply(reply, file, id, progress, "Unable to get resource: HTTP code %d\n", false);
  if (result == 0) CloseNotify(t);
  return result;
}

int PostRequestSsl(const std::string& host, int port, const std::string& request, const std::string& fileName,
                   int id, int progressMin, int progressMax) {
  if (request.empty()) return kErrorEmptySslRequest;
  MV_LOG(2, "Post request SSL: host=%s, port=%d, request=%zu bytes\n", host.c_str(), port, request.size());
  Tls t;
  t.post = true;
  if (const int r = Setup(t, host, port, id); r != 0) return r;
  const Progress progress{id, progressMin, progressMax};
  if (progress.on()) progress.set(progressMin, false);
  TlsChannel ch(t);
  if (const int r = SendAll(ch, request, kSslPiece, id, progress.on() ? &progress : nullptr); r != 0) return r;
  MV_LOG(2, "Request send (%zu bytes)!\n", request.size());
  MV_LOG(3, "%s\n", request.c_str());
  if (Interrupted(id)) return kErrorInterrupted;
  MV_LOG(2, "Receiving server response...\n");
  ReplyFile file(fileName);
  HttpReply reply(MaxReplyBytes(), file.wanted() ? &file : nullptr);
  if (const int r = ReceiveReply(ch, reply, id, nullptr, true, true); r != 0) return r;
  const int result = FinishReply(reply, file, id, progress, "Unable to get resource: HTTP code %d\n", true);
  if (result == 0) CloseNotify(t);
  return result;
}
