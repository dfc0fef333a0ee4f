// TLS trust policy: accepts or refuses a server's trust for a host, with no pinning,
// certificate pinning or public-key pinning. Configure it before requests use it; evaluation
// then runs where the connections are driven (the network thread, or the main thread while it
// waits: the class runs no code of the host's) and may run for several connections at once.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/server_trust.h"

enum MCSSLPinningMode : unsigned long { MCSSLPinningModeNone = 0, MCSSLPinningModePublicKey = 1, MCSSLPinningModeCertificate = 2 };

class MCSecurityPolicy {
 public:
  // Every ".cer" file in the kit's resource directory (MARVISTO_RESOURCES, else the working
  // directory), in name order; read once per process.
  static const std::vector<platform::CertificateData>& defaultPinnedCertificates();
  static std::shared_ptr<MCSecurityPolicy> defaultPolicy();
  static std::shared_ptr<MCSecurityPolicy> policyWithPinningMode(unsigned long pinningMode);

  bool allowInvalidCertificates = false;
  bool validatesDomainName = true;
  unsigned long SSLPinningMode = MCSSLPinningModeNone;

  // Stores the list without duplicates (first kept) and derives the pinned public keys.
  void setPinnedCertificates(const std::vector<platform::CertificateData>& certificates);
  const std::vector<platform::CertificateData>& pinnedCertificates() const { return pinnedCertificates_; }
  const std::vector<std::vector<uint8_t>>& pinnedPublicKeys() const { return pinnedPublicKeys_; }

  bool evaluateServerTrust(const platform::ServerTrust& serverTrust, const std::optional<std::string>& domain) const;
  bool evaluateServerTrust(const platform::ServerTrust& serverTrust) const { return evaluateServerTrust(serverTrust, std::nullopt); }

 private:
  std::vector<platform::CertificateData> pinnedCertificates_;
  std::vector<std::vector<uint8_t>> pinnedPublicKeys_;
};
