#include "server/content/content_helper_ssl.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/debug.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <thread>
#include <vector>

#include "server/content/content_helper.h"
#include "server/content/content_internal.h"

namespace {

constexpr size_t kSslPiece = 32768;
constexpr int kSocketWaitMs = 100;

void SetTimeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Our own bio: a blocking socket with short time-outs, so a peer that stalls
// mid-record gives want-read instead of blocking past the stop flag, and
// writes never raise SIGPIPE in the host.
int BioSend(void* ctx, const unsigned char* buf, size_t len) {
  const int fd = *static_cast<int*>(ctx);
  const ssize_t r = ::send(fd, buf, len, MSG_NOSIGNAL);
  if (r >= 0) return static_cast<int>(r);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_WRITE;
  if (errno == EPIPE || errno == ECONNRESET) return MBEDTLS_ERR_NET_CONN_RESET;
  return MBEDTLS_ERR_NET_SEND_FAILED;
}

int BioRecv(void* ctx, unsigned char* buf, size_t len) {
  const int fd = *static_cast<int*>(ctx);
  const ssize_t r = ::recv(fd, buf, len, 0);
  if (r >= 0) return static_cast<int>(r);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_READ;
  if (errno == ECONNRESET) return MBEDTLS_ERR_NET_CONN_RESET;
  return MBEDTLS_ERR_NET_RECV_FAILED;
}

// The library's suites with AES-GCM first (the shorter key first): on x86 it runs on the CPU's AES
// and carry-less multiply instructions, several times faster than the
// portable ChaCha20 the library would otherwise offer first.
const int* PreferredSuites() {
  static const std::vector<int> suites = [] {
    std::vector<int> aes128, aes256, rest;
    for (const int* s = mbedtls_ssl_list_ciphersuites(); *s != 0; ++s) {
      const char* name = mbedtls_ssl_get_ciphersuite_name(*s);
      (std::strstr(name, "AES-128-GCM") ? aes128 : std::strstr(name, "AES-256-GCM") ? aes256 : rest).push_back(*s);
    }
    aes128.insert(aes128.end(), aes256.begin(), aes256.end());
    aes128.insert(aes128.end(), rest.begin(), rest.end());
    aes128.push_back(0);
    return aes128;
  }();
  return suites.data();
}

void LogSslError(int code) {
  char text[101];
  mbedtls_strerror(code, text, sizeof text);
  MV_LOG(1, "SSL error: %d - %s\n", code, text);
}

// Every TLS object of one transfer; freed on every exit.
struct Tls {
  mbedtls_net_context net;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_x509_crt ca;
  mbedtls_ssl_config conf;
  mbedtls_ssl_context ssl;
  bool post = false;
  Tls() {
    mbedtls_net_init(&net);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&ca);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&ssl);
  }
  ~Tls() {
    if (post) MV_LOG(2, "Closing connection...\n");
    mbedtls_net_free(&net);
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_x509_crt_free(&ca);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
  }
};

class TlsChannel : public Channel {
 public:
  explicit TlsChannel(Tls& t) : t_(t) {}
  Io send(const char* data, size_t size, size_t* n, int* code) override {
    const int r = mbedtls_ssl_write(&t_.ssl, reinterpret_cast<const unsigned char*>(data), size);
    if (r == MBEDTLS_ERR_SSL_WANT_WRITE || r == MBEDTLS_ERR_SSL_WANT_READ || r == 0) return kWait;
    if (r < 0) {
      MV_LOG(1, "Error in ssl_write: returned %d\n", r);
      *code = kErrorSslWrite;
      return kFailed;
    }
    *n = static_cast<size_t>(r);
    return kMoved;
  }
  Io recv(char* data, size_t size, size_t* n, int* code) override {
    const int r = mbedtls_ssl_read(&t_.ssl, reinterpret_cast<unsigned char*>(data), std::min(size, kSslPiece - 1));
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) return kWait;
    if (r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
      MV_LOG(2, "Receive finished: ssl_read: returned %d (peer closed)\n", r);
      return kClosedClean;
    }
    if (r == 0 || r == MBEDTLS_ERR_SSL_CONN_EOF) {
      MV_LOG(2, "Receive finished: EOF was reached!\n");
      return kClosedUnclean;
    }
    if (r < 0) {
      MV_LOG(1, "Error in ssl_read: returned %d\n", r);
      *code = kErrorSslRead;
      return kFailed;
    }
    *n = static_cast<size_t>(r);
    return kMoved;
  }

 private:
  Tls& t_;
};

// Seeds, resolves, connects, shakes hands and verifies. 0 or a code; nothing
// is sent to a peer that fails verification.
int Setup(Tls& t, const std::string& host, int port, int id) {
  int r = mbedtls_ctr_drbg_seed(&t.drbg, mbedtls_entropy_func, &t.entropy, nullptr, 0);
  if (r != 0) {
    MV_LOG(1, "Error in ctr_drbg_init: returned %d\n", r);
    return kErrorDrbgInit;
  }
  r = mbedtls_ssl_config_defaults(&t.conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                  MBEDTLS_SSL_PRESET_DEFAULT);
  if (r != 0) {
    MV_LOG(1, "Error in ssl_init: returned %d\n", r);
    return kErrorSslInit;
  }
  if (Interrupted(id)) return kErrorInterrupted;
  const std::string address = ResolveHost(host, id);
  if (address.empty()) return kErrorInterrupted;
  MV_LOG(2, "Resolved %s to %s\n", host.c_str(), address.c_str());
  if (Interrupted(id)) return kErrorInterrupted;
  mbedtls_debug_set_threshold(1);
  MV_LOG(2, "Seeding the random number generator...\n");
  MV_LOG(2, "Loading the CA root certificate ...\n");
  const char* pem = MARVISTO_CA_LIST ? MARVISTO_CA_LIST : "";
  r = mbedtls_x509_crt_parse(&t.ca, reinterpret_cast<const unsigned char*>(pem), std::strlen(pem) + 1);
  if (r < 0) {
    MV_LOG(1, "Error in x509_crt_parse: returned -0x%x\n", -r);
    LogSslError(r);
    return kErrorCaParse;
  }
  MV_LOG(2, "Connecting to tcp/%s/%4d...\n", address.c_str(), port);
  const std::string portText = std::to_string(port);
  r = mbedtls_net_connect(&t.net, address.c_str(), portText.c_str(), MBEDTLS_NET_PROTO_TCP);
  if (r != 0) {
    MV_LOG(1, "Error in net_connect: returned %d\n", r);
    LogSslError(r);
    return kErrorConnect;
  }
  if (Interrupted(id)) return kErrorInterrupted;
  MV_LOG(2, "Setting up the SSL/TLS structure...\n");
  mbedtls_ssl_conf_authmode(&t.conf, MBEDTLS_SSL_VERIFY_OPTIONAL);
  mbedtls_ssl_conf_ca_chain(&t.conf, &t.ca, nullptr);
  mbedtls_ssl_conf_min_version(&t.conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  mbedtls_ssl_conf_rng(&t.conf, mbedtls_ctr_drbg_random, &t.drbg);
  mbedtls_ssl_conf_ciphersuites(&t.conf, PreferredSuites());
  if ((r = mbedtls_ssl_setup(&t.ssl, &t.conf)) != 0 ||
      (r = mbedtls_ssl_set_hostname(&t.ssl, kMarvistoServiceName)) != 0) {
    MV_LOG(1, "Error in ssl_init: returned %d\n", r);
    return kErrorSslInit;
  }
  mbedtls_ssl_set_bio(&t.ssl, &t.net.fd, BioSend, BioRecv, nullptr);
  SetTimeouts(t.net.fd, kSocketWaitMs);
  MV_LOG(2, "Performing the SSL/TLS handshake...\n");
  const int64_t begin = GetCurrentTimeMillis();
  while ((r = mbedtls_ssl_handshake(&t.ssl)) != 0) {
    if (r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
      MV_LOG(1, "Error in ssl_handshake: returned -0x%x\n", -r);
      LogSslError(r);
      return kErrorHandshake;
    }
    if (Interrupted(id)) return kErrorInterrupted;
    if (GetCurrentTimeMillis() - begin >= HandshakeMs()) {
      MV_LOG(1, "Error in ssl_handshake: returned -0x%x\n", -MBEDTLS_ERR_SSL_TIMEOUT);
      return kErrorHandshake;
    }
  }
  MV_LOG(2, "Verifying peer X.509 certificate...\n");
  const uint32_t flags = mbedtls_ssl_get_verify_result(&t.ssl);
  if (flags != 0) {
    char info[512];
    mbedtls_x509_crt_verify_info(info, sizeof info, "  ***  ", flags);
    MV_LOG(1, "Certificate verification failed:\n%s\n", info);
    LogSslError(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED);
    return kErrorVerify;
  }
  return 0;
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
  HttpReply reply(MaxReplyBytes());
  ReplyFile file(fileName);
  if (const int r = ReceiveReply(ch, reply, file, id, progress.on() ? &progress : nullptr, false, false); r != 0)
    return r;
  const int result = FinishReply(reply, file, id, progress, "Unable to get resource: HTTP code %d\n", false);
  if (result == 0) mbedtls_ssl_close_notify(&t.ssl);
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
  HttpReply reply(MaxReplyBytes());
  ReplyFile file(fileName);
  if (const int r = ReceiveReply(ch, reply, file, id, nullptr, true, true); r != 0) return r;
  const int result = FinishReply(reply, file, id, progress, "Unable to get resource: HTTP code %d\n", true);
  if (result == 0) mbedtls_ssl_close_notify(&t.ssl);
  return result;
}
