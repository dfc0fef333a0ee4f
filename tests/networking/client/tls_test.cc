// Trust evaluation and pinning against nginx TLS servers with certificates made by openssl:
// the pinned certificate, another one from the same CA, a self-signed one, a foreign leaf
// with the pinned certificate appended, and a new certificate over the pinned key.
#include <cstdlib>

#include "networking/client/client_support.h"
#include "networking/support/peers.h"

namespace {

platform::CertificateData der(const std::filesystem::path& pem) {
  auto out = pem;
  out.replace_extension(".der");
  peers::run("openssl x509 -in " + pem.string() + " -outform DER -out " + out.string());
  std::string d = peers::readFile(out);
  return platform::CertificateData(d.begin(), d.end());
}

class TLS : public ::testing::Test {
 protected:
  enum Server { Pinned, Other, SelfSigned, Foreign, SameKey, Count };

  static void SetUpTestSuite() {
    dir_ = new std::filesystem::path(peers::tempDir("tls"));
    const auto& d = *dir_;
    auto sh = [&](const std::string& c) { ASSERT_EQ(peers::run("cd " + d.string() + " && " + c), 0) << c; };
    std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    peers::writeFile(d / "ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    sh("openssl req -x509 " + ec + " -keyout ca.key -out ca.pem -days 2 -subj /CN=MarvistoTestCA "
       "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
    auto leaf = [&](const std::string& name, const std::string& key) {
      sh("openssl req -new " + (key.empty() ? ec + " -keyout " + name + ".key" : "-key " + key) + " -out " + name +
         ".csr -subj /CN=localhost");
      sh("openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf -out " + name + ".pem");
    };
    leaf("pinned", "");
    leaf("other", "");
    leaf("foreign", "");
    leaf("samekey", "pinned.key");
    sh("openssl req -x509 " + ec + " -keyout self.key -out self.pem -days 2 -subj /CN=localhost "
       "-addext subjectAltName=IP:127.0.0.1,DNS:localhost");
    peers::writeFile(d / "foreign-chain.pem", peers::readFile(d / "foreign.pem") + peers::readFile(d / "pinned.pem"));
    const char* certs[Count][2] = {{"pinned.pem", "pinned.key"}, {"other.pem", "other.key"}, {"self.pem", "self.key"},
                                   {"foreign-chain.pem", "foreign.key"}, {"samekey.pem", "pinned.key"}};
    std::string servers;
    for (int i = 0; i < Count; ++i) {
      ports_[i] = peers::freePort();
      servers += "server { listen 127.0.0.1:" + std::to_string(ports_[i]) + " ssl; ssl_certificate " + (d / certs[i][0]).string() +
                 "; ssl_certificate_key " + (d / certs[i][1]).string() + "; access_log " + (d / ("access" + std::to_string(i) + ".log")).string() +
                 " t; location / { default_type application/json; return 200 '{\"tls\":true}'; } }\n";
    }
    nginx_ = new peers::Nginx(d, servers, ports_[Count - 1]);
    // The test CA stands in for the system's roots.
    setenv("SSL_CERT_FILE", (d / "ca.pem").c_str(), 1);
    pinned_ = der(d / "pinned.pem");
    ca_ = der(d / "ca.pem");
  }
  static void TearDownTestSuite() {
    delete nginx_;
    unsetenv("SSL_CERT_FILE");
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }
  static std::string url(int server) { return "https://127.0.0.1:" + std::to_string(ports_[server]) + "/x"; }
  static size_t hits(int server) {
    auto log = peers::readFile(*dir_ / ("access" + std::to_string(server) + ".log"));
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }

  static inline std::filesystem::path* dir_;
  static inline int ports_[Count];
  static inline peers::Nginx* nginx_;
  static inline platform::CertificateData pinned_, ca_;
};

}  // namespace

TEST_F(TLS, EveryPolicyGivesItsOutcomeAndRefusedServersSeeNoRequest) {
  struct Case { const char* name; unsigned long mode; bool allowInvalid; bool pinCA; bool accepted[Count]; } cases[] = {
      // Pinned, Other, SelfSigned, Foreign(+pinned appended), SameKey
      {"default", 0, false, false, {true, true, false, true, true}},
      {"public key", 1, false, false, {true, false, false, false, true}},
      {"public key, invalid allowed", 1, true, false, {true, false, false, false, true}},
      {"certificate", 2, false, false, {true, false, false, false, false}},
      {"certificate, invalid allowed", 2, true, false, {true, false, false, false, false}},
      {"certificate, CA pinned", 2, false, true, {true, true, false, true, true}},
      {"default, invalid allowed", 0, true, false, {false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    auto policy = MCSecurityPolicy::defaultPolicy();
    policy->SSLPinningMode = c.mode;
    policy->allowInvalidCertificates = c.allowInvalid;
    policy->setPinnedCertificates({c.pinCA ? ca_ : pinned_});
    for (int server = 0; server < Count; ++server) {
      size_t before = hits(server);
      auto manager = MCHTTPRequestOperationManager::manager();
      manager->securityPolicy = policy;
      auto o = std::make_shared<Outcome>();
      manager->GET(url(server), nullptr, recordSuccess(o), recordFailure(o));
      ASSERT_TRUE(await(o));
      EXPECT_EQ(o->success, c.accepted[server]) << c.name << " server " << server;
      EXPECT_TRUE(o->onMain);
      if (!c.accepted[server]) {
        EXPECT_EQ(o->error->code, platform::URLErrorServerCertificateUntrusted) << c.name << " server " << server;
        EXPECT_EQ(hits(server), before) << c.name << " server " << server;
      } else {
        EXPECT_TRUE(platform::testing::pumpUntil([&] { return hits(server) > before; }, 5));
      }
    }
  }
}

TEST_F(TLS, PolicyEvaluatesHostNamesAndPinnedKeys) {
  platform::ServerTrust trust({pinned_});
  auto policy = MCSecurityPolicy::defaultPolicy();
  EXPECT_TRUE(policy->evaluateServerTrust(trust, "localhost"));
  EXPECT_FALSE(policy->evaluateServerTrust(trust, "example.org"));
  policy->validatesDomainName = false;
  EXPECT_TRUE(policy->evaluateServerTrust(trust, "example.org"));
  auto pinning = MCSecurityPolicy::policyWithPinningMode(MCSSLPinningModePublicKey);
  EXPECT_FALSE(pinning->evaluateServerTrust(trust, "localhost"));  // no certificates shipped
  pinning->setPinnedCertificates({pinned_, pinned_, ca_});
  EXPECT_EQ(pinning->pinnedCertificates().size(), 2u);
  EXPECT_EQ(pinning->pinnedPublicKeys().size(), 2u);
  EXPECT_TRUE(pinning->evaluateServerTrust(trust, "localhost"));
}
