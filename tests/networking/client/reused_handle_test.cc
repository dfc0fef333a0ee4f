// Transfers reuse libcurl handles, and a plain GET keeps the options of the plain GET before
// it: whatever request came first, the next one reaches the server exactly as a first request
// of its kind would.
#include <sstream>

#include "networking/client/client_support.h"
#include "networking/multipart_form_data.h"
#include "networking/support/scripted_server.h"
#include "support/peers.h"

using nlohmann::json;

static ::testing::Environment* const mainThread = ::testing::AddGlobalTestEnvironment(new MainThreadEnvironment);

namespace {

class ReusedHandle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("reuse");
    scripted_ = new peers::ScriptedServer(dir_->path());
  }
  static void TearDownTestSuite() {
    delete scripted_;
    delete dir_;
  }
  // The last request the server recorded for `path`; null when there is none.
  static json recorded(const std::string& path) {
    json found;
    std::stringstream lines(scripted_->recorded());
    for (std::string line; std::getline(lines, line);)
      if (auto r = json::parse(line); r["path"] == path) found = r;
    return found;
  }
  static std::shared_ptr<Outcome> plainGet(const std::string& path) {
    auto o = std::make_shared<Outcome>();
    MCHTTPRequestOperationManager::manager()->GET(scripted_->url(path), nullptr, recordSuccess(o), recordFailure(o));
    EXPECT_TRUE(await(o)) << path;
    return o;
  }
  static inline peers::TempDir* dir_;
  static inline peers::ScriptedServer* scripted_;
};

}  // namespace

TEST_F(ReusedHandle, NothingOfARequestCarriesOverToThePlainGetAfterIt) {
  // The first transfer of the process: a handle nobody used before.
  ASSERT_TRUE(plainGet("/record/baseline")->success);
  const json baseline = recorded("/record/baseline");
  ASSERT_FALSE(baseline.is_null());

  using Send = std::function<void(MCHTTPRequestOperationManager&, const std::string& url, std::shared_ptr<Outcome>)>;
  struct Case {
    const char* name;
    const char* method;  // as the server must see the first request
    bool bodySent;
    Send send;
  } cases[] = {
      {"post", "POST", true, [](auto& m, auto& u, auto o) { m.POST(u, json{{"a", 1}}, recordSuccess(o), recordFailure(o)); }},
      {"put-json", "PUT", true,
       [](auto& m, auto& u, auto o) {
         m.requestSerializer = MCJSONRequestSerializer::serializer();
         m.PUT(u, json{{"b", 2}}, recordSuccess(o), recordFailure(o));
       }},
      {"head", "HEAD", false,
       [](auto& m, auto& u, auto o) {
         m.HEAD(u, nullptr, [o](const auto& op) { o->done = o->success = true; o->operation = op; }, recordFailure(o));
       }},
      {"delete", "DELETE", false, [](auto& m, auto& u, auto o) { m.DELETE(u, nullptr, recordSuccess(o), recordFailure(o)); }},
      {"headers", "GET", false,
       [](auto& m, auto& u, auto o) {
         m.requestSerializer->setValue("yes", "X-Extra");
         m.requestSerializer->setAuthorizationHeaderFieldWithUsername("user", "secret");
         m.requestSerializer->setValue("bytes=5-", "Range");
         m.GET(u, nullptr, recordSuccess(o), recordFailure(o));
       }},
      {"multipart-throttled", "POST", true,
       [](auto& m, auto& u, auto o) {
         m.POST(
             u, json{{"c", 3}},
             [](MCStreamingMultipartFormData& form) {
               form.appendPartWithFormData(Data(3000, 'z'), "blob");
               form.throttleBandwidthWithPacketSize(1000, 0.01);
             },
             recordSuccess(o), recordFailure(o));
       }},
  };
  for (const auto& c : cases) {
    const std::string first = std::string("/record/") + c.name;
    auto manager = MCHTTPRequestOperationManager::manager();
    auto o = std::make_shared<Outcome>();
    c.send(*manager, scripted_->url(first), o);
    ASSERT_TRUE(await(o)) << c.name;
    ASSERT_TRUE(o->success) << c.name;
    json r = recorded(first);
    ASSERT_FALSE(r.is_null()) << c.name;
    EXPECT_EQ(r["method"], c.method) << c.name;
    EXPECT_EQ(r["body"] != "", c.bodySent) << c.name;

    const std::string after = std::string("/record/after-") + c.name;
    ASSERT_TRUE(plainGet(after)->success) << c.name;
    json a = recorded(after);
    ASSERT_FALSE(a.is_null()) << c.name;
    EXPECT_EQ(a["method"], "GET") << c.name;
    EXPECT_EQ(a["body"], "") << c.name;
    EXPECT_EQ(a["headers"], baseline["headers"]) << c.name;
  }
}

// Credentials answer a challenge only for the request that has them.
TEST_F(ReusedHandle, ACredentialAnswersOnlyItsOwnRequestsChallenge) {
  auto withCredential = MCHTTPRequestOperationManager::manager();
  withCredential->credential = platform::URLCredential{"user", "secret"};
  auto o = std::make_shared<Outcome>();
  withCredential->GET(scripted_->url("/challenge/first"), nullptr, recordSuccess(o), recordFailure(o));
  ASSERT_TRUE(await(o));
  EXPECT_TRUE(o->success);

  auto after = plainGet("/challenge/after");
  ASSERT_TRUE(after->error);
  EXPECT_EQ(after->error->code, platform::URLErrorBadServerResponse);  // the 401 itself
  EXPECT_FALSE(recorded("/challenge/after")["headers"].contains("Authorization"));
}

// A request's time limit is its own: a short one before does not cut the next one short.
TEST_F(ReusedHandle, ATimeLimitEndsOnlyItsOwnRequest) {
  struct Case { double timeout; bool succeeds; } cases[] = {{1, false}, {60, true}};
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->requestSerializer->setTimeoutInterval(c.timeout);
    auto o = std::make_shared<Outcome>();
    manager->GET(scripted_->url("/delay/3000/x"), nullptr, recordSuccess(o), recordFailure(o));
    ASSERT_TRUE(await(o, 30)) << c.timeout;
    EXPECT_EQ(o->success, c.succeeds) << c.timeout;
    if (!c.succeeds) {
      ASSERT_TRUE(o->error);
      EXPECT_EQ(o->error->code, platform::URLErrorTimedOut);
    }
  }
}

// A plain GET after another sends its own headers: the list the handle sent before goes out
// again only when every line of it is what this request's headers make.
TEST_F(ReusedHandle, APlainGetSendsItsOwnHeadersWhateverTheOneBeforeSent) {
  ASSERT_TRUE(plainGet("/record/own-baseline")->success);
  const json baseline = recorded("/record/own-baseline")["headers"];
  ASSERT_TRUE(baseline.is_object());
  using Headers = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    Headers set;   // on the serializer, in this order
    json expected;  // what the server sees besides the baseline's headers
  } cases[] = {
      {"one", {{"X-A", "1"}}, {{"X-A", "1"}}},
      {"same", {{"X-A", "1"}}, {{"X-A", "1"}}},
      {"value-changed", {{"X-A", "2"}}, {{"X-A", "2"}}},
      {"value-longer", {{"X-A", "22"}}, {{"X-A", "22"}}},
      {"added", {{"X-A", "22"}, {"X-B", "x"}}, {{"X-A", "22"}, {"X-B", "x"}}},
      {"first-gone", {{"X-B", "x"}}, {{"X-B", "x"}}},
      {"colon-in-value", {{"X-A", "b: c"}}, {{"X-A", "b: c"}}},
      // The same line as before, split elsewhere: a name that is no token is never sent.
      {"colon-in-name", {{"X-A: b", "c"}}, json::object()},
      {"line-break", {{"X-C", "v\r\nX-D: w"}}, json::object()},
      {"none", {}, json::object()},
  };
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    for (const auto& [field, value] : c.set) manager->requestSerializer->setValue(value, field);
    const std::string path = std::string("/record/own-") + c.name;
    auto o = std::make_shared<Outcome>();
    manager->GET(scripted_->url(path), nullptr, recordSuccess(o), recordFailure(o));
    ASSERT_TRUE(await(o)) << c.name;
    ASSERT_TRUE(o->success) << c.name;
    json seen = recorded(path)["headers"];
    json extra = json::object();
    for (auto it = seen.begin(); it != seen.end(); ++it)
      if (!baseline.contains(it.key())) extra[it.key()] = it.value();
    EXPECT_EQ(extra, c.expected) << c.name;
    for (auto it = baseline.begin(); it != baseline.end(); ++it) EXPECT_EQ(seen[it.key()], it.value()) << c.name << " " << it.key();
  }
}
