// The caller's credentials (its Authorization, Proxy-Authorization and Cookie headers, its URL
// credential) across redirects: nginx peers on 127.0.0.1 in plain text and over TLS log what
// each hop brought.
#include <cstdlib>
#include <sstream>

#include "networking/client/client_support.h"
#include "support/peers.h"

namespace {

class RedirectCredentials : public ::testing::Test {
 protected:
  enum Peer { Origin, OtherPort, Tls };

  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("hops");
    const auto& d = dir_->path();
    std::filesystem::create_directories(d / "certs");
    std::filesystem::create_directories(d / "www");
    ASSERT_TRUE(peers::makeCertificates(d / "certs", "localhost"));
    peers::writeFile(d / "www/final", "{\"ok\":true}");
    peers::writeFile(d / "www/guarded", "{\"ok\":true}");
    peers::writeFile(d / "users", "user:{PLAIN}secret\n");
    for (int& p : ports_) p = peers::freePort();
    // "/to/SCHEME/HOST/PORT/PATH" redirects there, query included; "/guarded" challenges.
    std::string servers = "log_format hops '$scheme://$http_host$request_uri $status \"$http_authorization\" \"$http_cookie\" \"$http_proxy_authorization\"';\n";
    for (int peer : {Origin, OtherPort, Tls}) {
      servers += "server { listen 127.0.0.1:" + std::to_string(ports_[peer]) + (peer == Tls ? " ssl" : "") + ";\n";
      if (peer == Tls)
        servers += "  ssl_certificate " + (d / "certs/server.pem").string() + "; ssl_certificate_key " +
                   (d / "certs/server.key").string() + ";\n";
      servers += "  root " + (d / "www").string() + "; default_type application/json;\n  access_log " +
                 (d / "hops.log").string() + " hops;\n"
                 "  location ~ ^/to/(https?)/([^/]+)/([0-9]+)(/.*)$ { return 302 $1://$2:$3$4$is_args$args; }\n"
                 "  location = /guarded { auth_basic \"t\"; auth_basic_user_file " + (d / "users").string() + "; }\n}\n";
    }
    nginx_ = new peers::Nginx(d, servers, ports_[Tls]);
    ASSERT_TRUE(nginx_->ok()) << nginx_->errorLog();
    setenv("SSL_CERT_FILE", (d / "certs/ca.pem").c_str(), 1);  // the test CA stands in for the system's roots
  }
  static void TearDownTestSuite() {
    delete nginx_;
    unsetenv("SSL_CERT_FILE");
    delete dir_;
  }
  static std::string origin(Peer peer, const std::string& host = "127.0.0.1") {
    return std::string(peer == Tls ? "https" : "http") + "://" + host + ":" + std::to_string(ports_[peer]);
  }
  // The log lines of requests that reached `target` (an origin and a path with its query).
  static std::vector<std::string> received(const std::string& target) {
    std::vector<std::string> lines;
    std::stringstream log(peers::readFile(dir_->path() / "hops.log"));
    for (std::string line; std::getline(log, line);)
      if (line.compare(0, target.size() + 1, target + " ") == 0) lines.push_back(line.substr(target.size() + 1));
    return lines;
  }

  static inline peers::TempDir* dir_;
  static inline int ports_[3];
  static inline peers::Nginx* nginx_;
};

}  // namespace

TEST_F(RedirectCredentials, EachHopCarriesThemOnlyWithinTheirOrigin) {
  using Block = MCURLConnectionOperation::RedirectResponseBlock;
  // A redirect block that puts the headers back on whatever hop it is asked about.
  const Block putBack = [](const platform::URLRequest& r, const platform::URLResponse&) -> std::optional<platform::URLRequest> {
    auto next = r;
    next.setValue("Token token=\"secret-token\"", "Authorization");
    next.setValue("session=secret-cookie", "Cookie");
    next.setValue("Basic cHJveHk6c2VjcmV0", "Proxy-Authorization");
    return next;
  };
  struct Case {
    const char* name;
    std::string from, to;  // origins
    Block block;
    bool carried;  // the headers; the credential answers a challenge only where it started
  } cases[] = {
      {"same origin", origin(Origin), origin(Origin), nullptr, true},
      {"same origin over TLS", origin(Tls), origin(Tls), nullptr, true},
      {"other port", origin(Origin), origin(OtherPort), nullptr, false},
      {"other host name, same address and port", origin(Origin), origin(Origin, "localhost"), nullptr, false},
      {"other scheme: http to https", origin(Origin), origin(Tls), nullptr, false},
      {"https to http", origin(Tls), origin(Origin), nullptr, false},
      {"https to http, a redirect block puts the headers back", origin(Tls), origin(Origin), putBack, false},
      {"other port, a redirect block puts the headers back", origin(Origin), origin(OtherPort), putBack, true},
  };
  int row = 0;
  for (const auto& c : cases) {
    ++row;
    for (bool credential : {false, true}) {
      const std::string target = std::string(credential ? "/guarded" : "/final") + "?row=" + std::to_string(row);
      std::string hop = c.to;
      hop.replace(hop.find("://"), 3, "/").replace(hop.rfind(':'), 1, "/");  // "http://h:p" -> "http/h/p"
      auto manager = MCHTTPRequestOperationManager::manager();
      if (credential) {
        manager->credential = platform::URLCredential{"user", "secret"};
      } else {
        manager->requestSerializer->setAuthorizationHeaderFieldWithToken("secret-token");
        manager->requestSerializer->setValue("session=secret-cookie", "Cookie");
        manager->requestSerializer->setValue("Basic cHJveHk6c2VjcmV0", "Proxy-Authorization");
      }
      auto o = std::make_shared<Outcome>();
      auto request = manager->requestSerializer->requestWithMethod("GET", c.from + "/to/" + hop + target, nullptr);
      auto op = manager->HTTPRequestOperationWithRequest(*request, recordSuccess(o), recordFailure(o));
      if (c.block && !credential) op->setRedirectResponseBlock(c.block);
      manager->operationQueue->addOperation(op);
      ASSERT_TRUE(await(o)) << c.name;
      const bool answered = c.from == c.to;
      EXPECT_EQ(o->success, !credential || answered) << c.name << ", credential " << credential;
      // nginx logs a request once it has answered it, so a line may come after the client's
      // callback: wait for every line the row expects (the challenge, then the answer to it).
      const size_t expectedLines = credential && answered ? 2 : 1;
      platform::testing::pumpUntil([&] { return received(c.to + target).size() >= expectedLines; }, 10);
      const auto lines = received(c.to + target);
      if (credential) {
        // Challenged first; answered with the credential only within its origin.
        const std::vector<std::string> expected =
            answered ? std::vector<std::string>{"401 \"-\" \"-\" \"-\"", "200 \"Basic dXNlcjpzZWNyZXQ=\" \"-\" \"-\""}
                      : std::vector<std::string>{"401 \"-\" \"-\" \"-\""};
        EXPECT_EQ(lines, expected) << c.name << ", credential";
      } else {
        const std::string expected =
            c.carried ? "200 \"Token token=\\x22secret-token\\x22\" \"session=secret-cookie\" \"Basic cHJveHk6c2VjcmV0\""
                      : "200 \"-\" \"-\" \"-\"";
        EXPECT_EQ(lines, std::vector<std::string>{expected}) << c.name;
      }
    }
  }
}
