// A TLS server's trust: the certificate chain it presented, evaluated with X.509 rules
// against the system roots (OpenSSL's default paths, which honour SSL_CERT_FILE) or against
// given anchors. Immutable after construction; safe to evaluate from any thread.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using CertificateData = std::vector<uint8_t>;  // one DER certificate

struct TrustEvaluation {
  bool trusted = false;
  std::vector<CertificateData> chain;  // the verified path, leaf first; empty when not trusted
  std::string failure;                 // verifier's text when not trusted
};

class ServerTrust {
 public:
  explicit ServerTrust(std::vector<CertificateData> presented) : presented_(std::move(presented)) {}

  // The chain as the server sent it, leaf first.
  const std::vector<CertificateData>& presentedCertificates() const { return presented_; }

  // Builds and checks a path from the leaf. With a host the SSL server rules apply and the
  // name (or IP address) must match; without one only the basic X.509 rules. With anchors
  // they are the only trusted certificates (and need not be self-signed).
  TrustEvaluation evaluate(const std::optional<std::string>& host,
                           const std::vector<CertificateData>* anchors = nullptr) const;

  // The DER SubjectPublicKeyInfo of a certificate; none when it does not parse.
  static std::optional<std::vector<uint8_t>> publicKeyOfCertificate(const CertificateData& der);

 private:
  std::vector<CertificateData> presented_;
};

}  // namespace platform
