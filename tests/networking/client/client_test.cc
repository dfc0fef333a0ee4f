// The client against nginx and the scripted server: verbs, bodies, decoding, errors, threads,
// cancel, pause and resume, progress, notifications and the operation's state under races.
#include <algorithm>
#include <cairo.h>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "networking/client/client_support.h"
#include "networking/multipart_form_data.h"
#include "networking/property_list.h"
#include "networking/support/scripted_server.h"
#include "support/peers.h"
#include "platform/image.h"
#include "platform/notification_center.h"

using nlohmann::json;

static ::testing::Environment* const mainThread = ::testing::AddGlobalTestEnvironment(new MainThreadEnvironment);

namespace {

const std::string kBig = peers::seededBytes(3 * 1024 * 1024, 11);
const std::string kMid = kBig.substr(0, 400000);

std::string pngBytes() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 2);
  auto image = platform::Image::imageWithSurface(s, 1);
  cairo_surface_destroy(s);
  auto png = image->pngData();
  return std::string(png.begin(), png.end());
}

std::string base64Decode(const std::string& in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = std::strchr(abc, c);
    if (c == '=' || !p) continue;
    acc = (acc << 6) | static_cast<uint32_t>(p - abc);
    if ((bits += 6) >= 8) out += static_cast<char>((acc >> (bits -= 8)) & 0xff);
  }
  return out;
}

class Client : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("client");
    port_ = peers::freePort();
    std::filesystem::create_directories(dir_->path() / "www/slow");
    peers::writeFile(dir_->path() / "www/data.json", R"({"a":[1,2],"b":"x"})");
    peers::writeFile(dir_->path() / "www/data.xml", "<root><item>t</item></root>");
    Data plist = *MCPropertyListDataWithJSON({{"k", 7}}, 100, nullptr);
    peers::writeFile(dir_->path() / "www/data.plist", std::string(plist.begin(), plist.end()));
    peers::writeFile(dir_->path() / "www/image.png", pngBytes());
    peers::writeFile(dir_->path() / "www/big.bin", kBig);
    peers::writeFile(dir_->path() / "www/slow/big.bin", kBig);
    peers::writeFile(dir_->path() / "www/slow/mid.bin", kMid);
    std::string servers = "server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + (dir_->path() / "www").string() + ";\n"
        "  location /api/ { default_type application/json; return 200 '{\"ok\":true}'; }\n"
        "  location = /status/404 { default_type application/json; return 404 '{\"e\":\"missing\"}'; }\n"
        "  location = /status/500 { default_type application/json; return 500 '{\"e\":\"broken\"}'; }\n"
        "  location = /html { default_type text/html; return 200 '<p>hi</p>'; }\n"
        "  location = /empty-html { default_type text/html; return 200 ''; }\n"
        "  location /slow/ { limit_rate 800k; }\n}\n";
    nginx_ = new peers::Nginx(dir_->path(), servers, port_);
    scripted_ = new peers::ScriptedServer(dir_->path());
    ASSERT_TRUE(nginx_->ok()) << nginx_->errorLog();
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete scripted_;
    delete dir_;
  }
  static std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  static inline peers::TempDir* dir_;
  static inline int port_;
  static inline peers::Nginx* nginx_;
  static inline peers::ScriptedServer* scripted_;
};

}  // namespace

TEST_F(Client, VerbsReachNginxAsSerialized) {
  auto manager = MCHTTPRequestOperationManager::manager();
  json params = {{"q", "a b&c"}, {"list", {1, 2}}};
  struct Case { std::string method; std::string logged; } cases[] = {
      {"GET", "GET /api/v?list%5B%5D=1&list%5B%5D=2&q=a%20b%26c 200"},
      {"HEAD", "HEAD /api/v?list%5B%5D=1&list%5B%5D=2&q=a%20b%26c 200"},
      {"DELETE", "DELETE /api/v?list%5B%5D=1&list%5B%5D=2&q=a%20b%26c 200"},
      {"POST", "POST /api/v 200 - application/x-www-form-urlencoded"},
      {"PUT", "PUT /api/v 200 - application/x-www-form-urlencoded"},
      {"PATCH", "PATCH /api/v 200 - application/x-www-form-urlencoded"},
  };
  for (const auto& c : cases) {
    const size_t logBytes = nginx_->accessLog().size();
    auto o = std::make_shared<Outcome>();
    auto s = recordSuccess(o);
    auto f = recordFailure(o);
    if (c.method == "GET") manager->GET(url("/api/v"), params, s, f);
    if (c.method == "HEAD") manager->HEAD(url("/api/v"), params, [o](const auto& op) { o->done = o->success = true; o->operation = op; o->onMain = platform::RunLoop::isMainThread(); }, f);
    if (c.method == "DELETE") manager->DELETE(url("/api/v"), params, s, f);
    if (c.method == "POST") manager->POST(url("/api/v"), params, s, f);
    if (c.method == "PUT") manager->PUT(url("/api/v"), params, s, f);
    if (c.method == "PATCH") manager->PATCH(url("/api/v"), params, s, f);
    ASSERT_TRUE(await(o)) << c.method;
    EXPECT_TRUE(o->success && o->onMain) << c.method;
    // nginx logs a request once it has answered it: wait for this request's own line.
    platform::testing::pumpUntil([&] { return nginx_->accessLog().find(c.logged, logBytes) != std::string::npos; });
    EXPECT_NE(nginx_->accessLog().find(c.logged, logBytes), std::string::npos) << c.method << "\n" << nginx_->accessLog();
    if (c.method == "GET") {
      EXPECT_EQ(std::any_cast<json>(o->object), json({{"ok", true}}));
    }
  }
}

TEST_F(Client, BodiesArriveByteForByte) {
  json params = {{"text", "Grüße & more"}, {"n", 3}, {"nested", {{"a", {1, 2}}}}};
  struct Case { std::string method; std::shared_ptr<MCHTTPRequestSerializer> serializer; } cases[] = {
      {"POST", MCHTTPRequestSerializer::serializer()},
      {"PUT", MCJSONRequestSerializer::serializer()},
      {"PATCH", MCPropertyListRequestSerializer::serializer()},
  };
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->requestSerializer = c.serializer;
    auto o = std::make_shared<Outcome>();
    std::string path = "/record/" + c.method;
    if (c.method == "POST") manager->POST(scripted_->url(path), params, recordSuccess(o), recordFailure(o));
    if (c.method == "PUT") manager->PUT(scripted_->url(path), params, recordSuccess(o), recordFailure(o));
    if (c.method == "PATCH") manager->PATCH(scripted_->url(path), params, recordSuccess(o), recordFailure(o));
    ASSERT_TRUE(await(o));
    ASSERT_TRUE(o->success) << o->error->localizedDescription;
    auto expected = c.serializer->requestWithMethod(c.method, scripted_->url(path), params);
    bool found = false;
    std::stringstream lines(scripted_->recorded());
    for (std::string line; std::getline(lines, line);) {
      auto r = json::parse(line);
      if (r["path"] != path) continue;
      found = true;
      EXPECT_EQ(r["method"], c.method);
      std::string raw(expected->HTTPBody.begin(), expected->HTTPBody.end());
      EXPECT_EQ(base64Decode(r["body"]), raw) << c.method;
      EXPECT_EQ(r["headers"]["Content-Type"], *expected->valueForHTTPHeaderField("Content-Type"));
    }
    EXPECT_TRUE(found) << c.method;
  }
}

TEST_F(Client, RepliesValidatedAndDecoded) {
  struct Case { std::string url; std::shared_ptr<MCHTTPResponseSerializer> serializer; int64_t code; bool object; } cases[] = {
      {url("/data.json"), MCJSONResponseSerializer::serializer(), 0, true},
      {url("/status/404"), MCJSONResponseSerializer::serializer(), -1011, true},
      {url("/status/500"), MCJSONResponseSerializer::serializer(), -1011, true},
      {url("/html"), MCJSONResponseSerializer::serializer(), -1016, false},
      {url("/empty-html"), MCJSONResponseSerializer::serializer(), 0, false},
      {url("/data.xml"), MCXMLParserResponseSerializer::serializer(), 0, true},
      {url("/data.plist"), MCPropertyListResponseSerializer::serializer(), 0, true},
      {url("/image.png"), MCImageResponseSerializer::serializer(), 0, true},
      {url("/data.json"), MCImageResponseSerializer::serializer(), -1016, false},
      {scripted_->url("/charset/iso-8859-15"), MCJSONResponseSerializer::serializer(), 0, true},
      {scripted_->url("/charset/utf-16"), MCJSONResponseSerializer::serializer(), 0, true},
      {"http://127.0.0.1:" + std::to_string(peers::freePort()) + "/", MCJSONResponseSerializer::serializer(), -1004, false},
  };
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->responseSerializer = c.serializer;
    auto o = std::make_shared<Outcome>();
    manager->GET(c.url, nullptr, recordSuccess(o), recordFailure(o));
    ASSERT_TRUE(await(o)) << c.url;
    EXPECT_TRUE(o->onMain);
    EXPECT_EQ(o->error ? o->error->code : 0, c.code) << c.url;
    EXPECT_EQ(o->operation->responseObject().has_value(), c.object) << c.url;
    if (c.url.find("charset") != std::string::npos) {
      EXPECT_EQ(std::any_cast<json>(o->object)["text"], "Grüße €") << c.url;
    }
    if (c.url.find("png") != std::string::npos) {
      EXPECT_EQ(std::any_cast<std::shared_ptr<platform::Image>>(o->object)->pixelWidth(), 3);
    }
  }
  auto o = std::make_shared<Outcome>();
  MCHTTPRequestOperationManager::manager()->GET("relative/only", nullptr, recordSuccess(o), recordFailure(o));
  ASSERT_TRUE(await(o));
  EXPECT_FALSE(o->success);
}

// The reply's type, charset and length are read from its head whatever the case its field
// names are written in.
TEST_F(Client, ReplyHeadFieldsAreFoundWhateverTheirCase) {
  for (const std::string style : {"lower", "upper", "mixed"}) {
    auto o = std::make_shared<Outcome>();
    MCHTTPRequestOperationManager::manager()->GET(scripted_->url("/fieldcase/" + style), nullptr, recordSuccess(o),
                                                  recordFailure(o));
    ASSERT_TRUE(await(o)) << style;
    ASSERT_TRUE(o->success) << style;
    EXPECT_EQ(std::any_cast<json>(o->object)["case"], style);
    auto response = o->operation->response();
    ASSERT_TRUE(response) << style;
    EXPECT_EQ(response->MIMEType, "application/json") << style;
    EXPECT_EQ(response->textEncodingName, "iso-8859-1") << style;
    const std::string body = "{\"case\": \"" + style + "\"}";  // as the server writes it
    EXPECT_EQ(response->expectedContentLength, static_cast<int64_t>(body.size())) << style;
  }
}

TEST_F(Client, CancelEndsSlowAndEndlessReplies) {
  for (const std::string& u : {url("/slow/big.bin"), scripted_->url("/never")}) {
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->responseSerializer = MCHTTPResponseSerializer::serializer();
    auto o = std::make_shared<Outcome>();
    auto op = manager->GET(u, nullptr, recordSuccess(o), recordFailure(o));
    std::atomic<int64_t> got{0};
    op->setDownloadProgressBlock([&](uint64_t, int64_t total, int64_t) { got = total; });
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return got > 0; }));
    op->cancel();
    ASSERT_TRUE(await(o)) << u;
    EXPECT_EQ(o->error->code, platform::URLErrorCancelled);
    EXPECT_TRUE(o->onMain);
  }
}

TEST_F(Client, PauseAndResumeCompleteTheBody) {
  struct Case { std::string url; bool toFile; std::string body; } cases[] = {
      {url("/slow/mid.bin"), false, kMid},
      {url("/slow/mid.bin"), true, kMid},
      // Range ignored: the resumed reply starts the output again instead of appending.
      {scripted_->url("/norange"), false, ""},
  };
  for (const auto& c : cases) {
    auto request = MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", c.url, nullptr);
    auto op = MCHTTPRequestOperation::initWithRequest(*request);
    auto file = dir_->path() / "download.bin";
    if (c.toFile) op->setOutputStream(std::make_shared<platform::FileOutputStream>(file.string(), false));
    auto o = std::make_shared<Outcome>();
    op->setCompletionBlockWithSuccess(recordSuccess(o), recordFailure(o));
    std::atomic<int64_t> progressSum{0};
    op->setDownloadProgressBlock([&](uint64_t bytes, int64_t, int64_t) { progressSum += static_cast<int64_t>(bytes); });
    auto queue = MCOperationQueue::create();
    queue->addOperation(op);
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return progressSum > 0 || o->done; }));
    op->pause();
    EXPECT_TRUE(op->isPaused());
    platform::testing::pumpUntil([&] { return op->request().valueForHTTPHeaderField("Range").has_value(); });
    op->resume();
    ASSERT_TRUE(await(o, 60)) << c.url;
    ASSERT_TRUE(o->success) << c.url << " " << o->error->localizedDescription;
    Data data = op->responseData().value_or(Data());
    std::string got = c.toFile ? peers::readFile(file) : std::string(data.begin(), data.end());
    if (c.body.empty()) {
      EXPECT_EQ(got.size(), 300000u);
    }
    else EXPECT_TRUE(got == c.body) << c.url << " size " << got.size();
    EXPECT_EQ(op->totalBytesRead(), static_cast<int64_t>(got.size()));
  }
  // nginx logs a request after its last byte went out: the line may follow the callback.
  EXPECT_TRUE(platform::testing::pumpUntil(
      [] { return std::regex_search(nginx_->accessLog(), std::regex("GET /slow/mid.bin 206 bytes=[1-9][0-9]*-")); }, 5));
}

TEST_F(Client, FailedWritesFailTheOperation) {
  auto request = MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", url("/big.bin"), nullptr);
  auto op = MCHTTPRequestOperation::initWithRequest(*request);
  op->setOutputStream(std::make_shared<platform::FileOutputStream>("/dev/full", false));
  auto o = std::make_shared<Outcome>();
  op->setCompletionBlockWithSuccess(recordSuccess(o), recordFailure(o));
  MCOperationQueue::create()->addOperation(op);
  ASSERT_TRUE(await(o));
  ASSERT_FALSE(o->success);
  EXPECT_EQ(o->error->domain, platform::POSIXErrorDomain);
  EXPECT_EQ(o->error->code, ENOSPC);
}

TEST_F(Client, ProgressAddsUpAndNotificationsArriveOnMain) {
  auto center = platform::NotificationCenter::defaultCenter();
  int starts = 0, finishes = 0;
  bool notifiedOnMain = true;
  auto t1 = center->addObserverForName(MCNetworkingOperationDidStartNotification, nullptr, nullptr, [&](const auto&) { ++starts; notifiedOnMain &= platform::RunLoop::isMainThread(); });
  auto t2 = center->addObserverForName(MCNetworkingOperationDidFinishNotification, nullptr, nullptr, [&](const auto&) { ++finishes; notifiedOnMain &= platform::RunLoop::isMainThread(); });
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->responseSerializer = MCHTTPResponseSerializer::serializer();
  auto o = std::make_shared<Outcome>();
  int64_t down = 0, up = 0, upExpected = 0;
  // The progress block is set before the operation starts, so no chunk arrives unwatched.
  auto op = manager->HTTPRequestOperationWithRequest(*manager->requestSerializer->requestWithMethod("GET", url("/big.bin"), nullptr),
                                                     recordSuccess(o), recordFailure(o));
  op->setDownloadProgressBlock([&](uint64_t bytes, int64_t, int64_t) { down += static_cast<int64_t>(bytes); });
  manager->operationQueue->addOperation(op);
  ASSERT_TRUE(await(o));
  EXPECT_EQ(down, static_cast<int64_t>(kBig.size()));
  auto upload = std::make_shared<Outcome>();
  auto post = manager->POST(scripted_->url("/record/upload"), {{"a", "b"}}, [&](MCStreamingMultipartFormData& form) {
    form.appendPartWithFileData(Data(kBig.begin(), kBig.begin() + 500000), "file", "f.bin", "application/octet-stream");
  }, recordSuccess(upload), recordFailure(upload));
  post->setUploadProgressBlock([&](uint64_t bytes, int64_t, int64_t expected) { up += static_cast<int64_t>(bytes); upExpected = expected; });
  ASSERT_TRUE(await(upload));
  ASSERT_TRUE(upload->success);
  platform::testing::pumpUntil([&] { return up == upExpected; }, 2);
  EXPECT_EQ(up, std::stoll(*post->request().valueForHTTPHeaderField("Content-Length")));
  platform::testing::pumpUntil([&] { return finishes == 2; }, 2);
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(finishes, 2);
  EXPECT_TRUE(notifiedOnMain);
  center->removeObserver(t1);
  center->removeObserver(t2);
}

TEST_F(Client, CancelAndFinishRaceEndsEachOperationOnce) {
  auto center = platform::NotificationCenter::defaultCenter();
  std::map<const void*, int> finishCount;
  auto token = center->addObserverForName(MCNetworkingOperationDidFinishNotification, nullptr, nullptr,
                                          [&](const platform::Notification& n) { ++finishCount[n.object.get()]; });
  auto manager = MCHTTPRequestOperationManager::manager();
  std::atomic<int> callbacks{0};
  std::vector<std::shared_ptr<MCHTTPRequestOperation>> ops;
  for (int i = 0; i < 40; ++i)
    ops.push_back(manager->GET(url("/api/race"), nullptr, [&](const auto&, const auto&) { ++callbacks; }, [&](const auto&, const auto&) { ++callbacks; }));
  std::thread canceller([&] {
    for (auto& op : ops) op->cancel();
  });
  canceller.join();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return callbacks == 40; }));
  platform::testing::pumpUntil([&] { return finishCount.size() == 40; }, 5);
  platform::testing::settle();
  EXPECT_EQ(callbacks, 40);
  for (auto& op : ops) {
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(finishCount[op.get()], 1);
  }
  center->removeObserver(token);
}

TEST_F(Client, CompletionGroupHoldsUntilCallbacksRan) {
  auto manager = MCHTTPRequestOperationManager::manager();
  auto group = platform::Group::create();
  manager->completionGroup = group;
  auto o = std::make_shared<Outcome>();
  bool groupBusyInCallback = false;
  manager->GET(url("/api/g"), nullptr, [&, o](const auto&, const auto&) {
    groupBusyInCallback = !group->wait(0);
    o->done = true;
  }, recordFailure(o));
  ASSERT_TRUE(await(o));
  EXPECT_TRUE(groupBusyInCallback);
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return group->wait(0); }));
}
