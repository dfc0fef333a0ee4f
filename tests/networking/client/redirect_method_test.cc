// The method and body of a request across a redirect: nginx on 127.0.0.1 answers with each
// kind of redirect, the scripted server records what the next hop brought.
#include <sstream>

#include "networking/client/client_support.h"
#include "networking/support/scripted_server.h"
#include "support/peers.h"

namespace {

using nlohmann::json;

std::string base64(const std::vector<uint8_t>& d) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < d.size(); i += 3) {
    uint32_t v = d[i] << 16 | (i + 1 < d.size() ? d[i + 1] << 8 : 0) | (i + 2 < d.size() ? d[i + 2] : 0);
    out += {k[v >> 18 & 63], k[v >> 12 & 63], i + 1 < d.size() ? k[v >> 6 & 63] : '=', i + 2 < d.size() ? k[v & 63] : '='};
  }
  return out;
}

TEST(RedirectMethod, TheNextHopKeepsOrDropsMethodAndBodyByTheKindOfRedirect) {
  peers::TempDir dir("redirect-method");
  peers::ScriptedServer recorder(dir.path());
  const int port = peers::freePort();
  // "/CODE/..." answers CODE to the same path under the recorder's "/record".
  std::string servers = "server { listen 127.0.0.1:" + std::to_string(port) + ";\n";
  for (const char* code : {"301", "302", "303", "307", "308"})
    servers += "  location /" + std::string(code) + "/ { return " + code + " " + recorder.url("/record") + "$request_uri; }\n";
  peers::Nginx nginx(dir.path(), servers + "}\n", port);
  ASSERT_TRUE(nginx.ok()) << nginx.errorLog();
  const json params = {{"kept", "a body & more"}};
  struct Case { const char* method; int code; const char* then; } cases[] = {
      {"POST", 307, "POST"}, {"POST", 308, "POST"}, {"PUT", 301, "PUT"}, {"PUT", 302, "PUT"}, {"PUT", 307, "PUT"},
      // A POST's 301 or 302 and any 303 go on as a bodiless GET.
      {"POST", 301, "GET"}, {"POST", 302, "GET"}, {"POST", 303, "GET"}, {"PUT", 303, "GET"},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.method) + " " + std::to_string(c.code);
    const std::string path = "/" + std::to_string(c.code) + "/" + c.method;
    const std::string first = "http://127.0.0.1:" + std::to_string(port) + path;
    auto manager = MCHTTPRequestOperationManager::manager();
    auto o = std::make_shared<Outcome>();
    if (std::string(c.method) == "POST") manager->POST(first, params, recordSuccess(o), recordFailure(o));
    else manager->PUT(first, params, recordSuccess(o), recordFailure(o));
    ASSERT_TRUE(await(o)) << name;
    EXPECT_TRUE(o->success) << name;
    // Recorded before the reply went out.
    const auto sent = manager->requestSerializer->requestWithMethod(c.method, first, params);
    const bool kept = std::string(c.then) != "GET";
    int hops = 0;
    std::stringstream lines(recorder.recorded());
    for (std::string line; std::getline(lines, line);) {
      auto r = json::parse(line);
      if (r["path"] != "/record" + path) continue;
      ++hops;
      EXPECT_EQ(r["method"], c.then) << name;
      EXPECT_EQ(r["body"], kept ? base64(sent->HTTPBody) : "") << name;
      EXPECT_EQ(r["headers"].contains("Content-Type"), kept) << name;
    }
    EXPECT_EQ(hops, 1) << name;
  }
}

}  // namespace
