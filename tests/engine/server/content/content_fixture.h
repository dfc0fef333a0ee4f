// Shared set-up of the transfer tests: certificates made once per program,
// the test CA installed as the trust list, short time-outs, job polling and
// our content server run as a child process.
#pragma once

#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/peers.h"
#include "server/content/content_helper.h"
#include "server/content/content_helper_ssl.h"

namespace content_test {

// Certificates and the trust list, shared by every test of the program.
struct Pki {
  peers::TempDir dir;
  std::string caPem;
  bool ok = false;
  static Pki& get() {
    static Pki pki;
    return pki;
  }

 private:
  Pki() {
    ok = peers::makeCertificates(dir.path(), kMarvistoServiceName);
    caPem = peers::readFile(dir.file("ca.pem"));
  }
};

class ContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::get().ok) << "openssl could not make the test certificates";
    savedCa_ = MARVISTO_CA_LIST;
    MARVISTO_CA_LIST = Pki::get().caPem.c_str();
    SetTransferTimeouts(1500, 3000);
    if (const char* log = std::getenv("MARVISTO_CONTENT_LOG")) {  // for debugging a failure
      _Logger.setLogFile(log);
      _Logger.setDebugLevel(3);
    }
  }
  void TearDown() override {
    MARVISTO_CA_LIST = savedCa_;
    SetTransferTimeouts(31000, 10000);
  }
  std::string certs() const { return Pki::get().dir.path().string(); }

 private:
  const char* savedCa_ = nullptr;
};

// Path of a helper next to these tests, e.g. "bad_server.py".
inline std::string TestFile(const std::string& name) { return std::string(MARVISTO_CONTENT_TEST_DIR) + "/" + name; }

// Polls until the job's state is final; returns it (or 1000 after timeoutMs).
inline int WaitJob(int id, int timeoutMs = 20000) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    const int s = CheckLocationLoader(id);
    if (s >= 100 || s < 0) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 1000;
}

inline std::string Sha256(const std::string& data) {
  unsigned char d[32];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

// Our content server command with its request log.
struct Server {
  peers::TempDir dir;
  std::unique_ptr<peers::Child> child;
  int port = -1, tlsPort = -1;
  explicit Server(const std::string& certDir, const std::vector<std::string>& extra = {},
                  const std::string& venueDir = "") {
    std::vector<std::string> argv = {MARVISTO_CONTENT_SERVER, "--port", "0", "--tls-port", "0",
                                     "--cert", certDir + "/server.pem", "--key", certDir + "/server.key",
                                     "--log", dir.file("requests.log")};
    if (!venueDir.empty()) argv.insert(argv.end(), {"--venue-dir", venueDir});
    argv.insert(argv.end(), extra.begin(), extra.end());
    child = std::make_unique<peers::Child>(argv, true);
    std::sscanf(child->readLine().c_str(), "port %d tls-port %d", &port, &tlsPort);
  }
  std::string url(bool tls, const std::string& path) const {
    return (tls ? "https://127.0.0.1:" + std::to_string(tlsPort) : "http://127.0.0.1:" + std::to_string(port)) +
           path;
  }
  // The records once there are at least `atLeast` (what there is after timeoutMs): a request
  // the server holds unanswered is recorded once read, which its client does not see.
  std::vector<nlohmann::json> records(size_t atLeast, int timeoutMs = 10000) const {
    for (int waited = 0; waited < timeoutMs && records().size() < atLeast; waited += 5)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return records();
  }
  std::vector<nlohmann::json> records() const {
    std::vector<nlohmann::json> out;
    std::string text = peers::readFile(dir.file("requests.log"));
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
      out.push_back(nlohmann::json::parse(text.substr(pos, nl - pos)));
      pos = nl + 1;
    }
    return out;
  }
};

}  // namespace content_test
