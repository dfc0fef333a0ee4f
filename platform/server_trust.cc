#include "platform/server_trust.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace platform {
namespace {

struct X509Free { void operator()(X509* x) const { X509_free(x); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const CertificateData& der) {
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

CertificateData toDer(X509* x) {
  int n = i2d_X509(x, nullptr);
  if (n <= 0) return {};
  CertificateData out(static_cast<size_t>(n));
  unsigned char* p = out.data();
  i2d_X509(x, &p);
  return out;
}

bool looksLikeIPAddress(const std::string& host) {
  return !host.empty() && (host.find(':') != std::string::npos ||
                           host.find_first_not_of("0123456789.") == std::string::npos);
}

}  // namespace

TrustEvaluation ServerTrust::evaluate(const std::optional<std::string>& host,
                                      const std::vector<CertificateData>* anchors) const {
  TrustEvaluation result;
  if (presented_.empty()) {
    result.failure = "no certificate";
    return result;
  }
  X509Ptr leaf = parse(presented_[0]);
  if (!leaf) {
    result.failure = "unparseable certificate";
    return result;
  }
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
      sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); });
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
  if (!store || !untrusted || !ctx) return result;
  if (anchors) {
    for (const auto& a : *anchors)
      if (X509Ptr x = parse(a)) X509_STORE_add_cert(store.get(), x.get());
    // A pinned anchor may be a leaf or an intermediate, not only a root.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  } else {
    X509_STORE_set_default_paths(store.get());
  }
  for (size_t i = 1; i < presented_.size(); ++i)
    if (X509Ptr x = parse(presented_[i])) sk_X509_push(untrusted.get(), x.release());
  if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()) != 1) return result;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  if (host) {
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
    int ok = looksLikeIPAddress(*host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host->c_str())
                                       : X509_VERIFY_PARAM_set1_host(param, host->c_str(), host->size());
    if (ok != 1) {
      result.failure = "bad host name";
      return result;
    }
  }
  if (X509_verify_cert(ctx.get()) == 1) {
    result.trusted = true;
    STACK_OF(X509)* chain = X509_STORE_CTX_get1_chain(ctx.get());
    for (int i = 0; chain && i < sk_X509_num(chain); ++i) result.chain.push_back(toDer(sk_X509_value(chain, i)));
    sk_X509_pop_free(chain, X509_free);
  } else {
    result.failure = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
  }
  return result;
}

std::optional<std::vector<uint8_t>> ServerTrust::publicKeyOfCertificate(const CertificateData& der) {
  X509Ptr x = parse(der);
  if (!x) return std::nullopt;
  X509_PUBKEY* key = X509_get_X509_PUBKEY(x.get());
  int n = key ? i2d_X509_PUBKEY(key, nullptr) : 0;
  if (n <= 0) return std::nullopt;
  std::vector<uint8_t> out(static_cast<size_t>(n));
  unsigned char* p = out.data();
  i2d_X509_PUBKEY(key, &p);
  return out;
}

}  // namespace platform
