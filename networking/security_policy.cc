#include "networking/security_policy.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

const std::vector<platform::CertificateData>& MCSecurityPolicy::defaultPinnedCertificates() {
  // Kept to the end of the process: trust is evaluated on the network thread, which may still
  // run while statics are destroyed.
  static const auto* certificates = new std::vector<platform::CertificateData>([] {
    std::vector<platform::CertificateData> out;
    const char* dir = std::getenv("MARVISTO_RESOURCES");
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir && *dir ? dir : ".", ec))
      if (entry.path().extension() == ".cer") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
  }());
  return *certificates;
}

std::shared_ptr<MCSecurityPolicy> MCSecurityPolicy::defaultPolicy() { return std::make_shared<MCSecurityPolicy>(); }

std::shared_ptr<MCSecurityPolicy> MCSecurityPolicy::policyWithPinningMode(unsigned long pinningMode) {
  auto policy = std::make_shared<MCSecurityPolicy>();
  policy->SSLPinningMode = pinningMode;
  policy->setPinnedCertificates(defaultPinnedCertificates());
  return policy;
}

void MCSecurityPolicy::setPinnedCertificates(const std::vector<platform::CertificateData>& certificates) {
  pinnedCertificates_.clear();
  pinnedPublicKeys_.clear();
  for (const auto& c : certificates) {
    if (std::find(pinnedCertificates_.begin(), pinnedCertificates_.end(), c) != pinnedCertificates_.end()) continue;
    pinnedCertificates_.push_back(c);
    if (auto key = platform::ServerTrust::publicKeyOfCertificate(c)) pinnedPublicKeys_.push_back(*key);
  }
}

bool MCSecurityPolicy::evaluateServerTrust(const platform::ServerTrust& serverTrust,
                                           const std::optional<std::string>& domain) const {
  if (domain && allowInvalidCertificates && validatesDomainName &&
      (SSLPinningMode == MCSSLPinningModeNone || pinnedCertificates_.empty())) {
    std::fprintf(stderr, "In order to validate a domain name for self signed certificates, you MUST use pinning.\n");
    return false;
  }
  std::optional<std::string> host = validatesDomainName ? domain : std::nullopt;
  if (SSLPinningMode == MCSSLPinningModeNone) return allowInvalidCertificates || serverTrust.evaluate(host).trusted;
  if (pinnedCertificates_.empty()) return false;
  if (SSLPinningMode == MCSSLPinningModeCertificate) {
    // The path must lead to a pinned certificate; accepting invalid certificates only means
    // the pinned ones need not chain to a system root.
    platform::TrustEvaluation pinned = serverTrust.evaluate(host, &pinnedCertificates_);
    if (!pinned.trusted) return false;
    if (!allowInvalidCertificates && !serverTrust.evaluate(host).trusted) return false;
    for (const auto& c : pinned.chain)
      if (std::find(pinnedCertificates_.begin(), pinnedCertificates_.end(), c) != pinnedCertificates_.end()) return true;
    return false;
  }
  if (SSLPinningMode == MCSSLPinningModePublicKey) {
    // Keys count only on the path that was verified: a pinned certificate merely appended to
    // a foreign chain proves nothing about the server.
    platform::TrustEvaluation evaluation = serverTrust.evaluate(host);
    if (!evaluation.trusted && allowInvalidCertificates) evaluation = serverTrust.evaluate(host, &pinnedCertificates_);
    if (!evaluation.trusted) return false;
    for (const auto& c : evaluation.chain) {
      auto key = platform::ServerTrust::publicKeyOfCertificate(c);
      if (key && std::find(pinnedPublicKeys_.begin(), pinnedPublicKeys_.end(), *key) != pinnedPublicKeys_.end()) return true;
    }
    return false;
  }
  return false;
}
