// Transfers against nginx and the scripted server: the redirect decision, the in-memory
// reply cap, throttled uploads beside other transfers, an upload awaited by a blocked main
// thread, a paused download archived and finished later, and exit with requests in flight.
#include <chrono>
#include <cstdlib>
#include <future>

#include "networking/client/client_support.h"
#include "networking/multipart_form_data.h"
#include "networking/support/scripted_server.h"
#include "support/peers.h"

namespace {

const std::string kMid = peers::seededBytes(400000, 23);

class Transfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("transfer");
    port_ = peers::freePort();
    std::filesystem::create_directories(dir_->path() / "www/slow");
    peers::writeFile(dir_->path() / "www/slow/mid.bin", kMid);
    peers::writeFile(dir_->path() / "www/mid.bin", kMid);
    std::string servers = "server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + (dir_->path() / "www").string() + ";\n"
        "  location /api/ { default_type application/json; return 200 '{\"ok\":true}'; }\n"
        "  location = /hop { return 302 /api/followed; }\n"
        "  location /slow/ { limit_rate 400k; }\n}\n";
    nginx_ = new peers::Nginx(dir_->path(), servers, port_);
    scripted_ = new peers::ScriptedServer(dir_->path());
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete scripted_;
    delete dir_;
  }
  static std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  static size_t logged(const std::string& text) {
    auto log = nginx_->accessLog();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  static inline peers::TempDir* dir_;
  static inline int port_;
  static inline peers::Nginx* nginx_;
  static inline peers::ScriptedServer* scripted_;
};

}  // namespace

TEST_F(Transfer, RedirectBlockDecidesEachHopOnTheNetworkThread) {
  using Block = MCURLConnectionOperation::RedirectResponseBlock;
  bool onNetworkThread = true;
  auto rewrite = [&](const std::string& path) -> Block {
    return [&, path](const platform::URLRequest& r, const platform::URLResponse& redirect) -> std::optional<platform::URLRequest> {
      onNetworkThread &= networkRequestThread().isCurrent();
      EXPECT_EQ(redirect.statusCode, 302);
      if (path.empty()) return std::nullopt;
      auto next = r;
      next.URL = url(path);
      return next;
    };
  };
  struct Case { const char* name; Block block; bool success; const char* reached; } cases[] = {
      {"no block: followed as proposed", nullptr, true, "GET /api/followed "},
      {"block keeps the redirect reply", rewrite(""), false, nullptr},
      {"block sends another request", rewrite("/api/rewritten"), true, "GET /api/rewritten "},
  };
  auto manager = MCHTTPRequestOperationManager::manager();
  for (const auto& c : cases) {
    size_t before = c.reached ? logged(c.reached) : 0, followedBefore = logged("/api/followed");
    auto o = std::make_shared<Outcome>();
    auto op = manager->HTTPRequestOperationWithRequest(*manager->requestSerializer->requestWithMethod("GET", url("/hop"), nullptr),
                                                       recordSuccess(o), recordFailure(o));
    op->setRedirectResponseBlock(c.block);
    manager->operationQueue->addOperation(op);
    ASSERT_TRUE(await(o)) << c.name;
    EXPECT_EQ(o->success, c.success) << c.name;
    if (c.reached) {
      EXPECT_TRUE(platform::testing::pumpUntil([&] { return logged(c.reached) > before; }, 5)) << c.name;
    } else {
      EXPECT_EQ(o->error->code, platform::URLErrorBadServerResponse) << c.name;  // the 302 is the answer
      EXPECT_EQ(op->response()->statusCode, 302) << c.name;
      EXPECT_EQ(logged("/api/followed"), followedBefore) << c.name;
    }
  }
  EXPECT_TRUE(onNetworkThread);
}

TEST_F(Transfer, InMemoryRepliesAreCappedWithAClearError) {
  struct Case { uint64_t cap; bool success; } cases[] = {{kMid.size() - 1, false}, {kMid.size(), true}};
  for (const auto& c : cases) {
    auto op = MCHTTPRequestOperation::initWithRequest(*MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", url("/mid.bin"), nullptr));
    op->setMaximumResponseDataLength(c.cap);
    auto o = std::make_shared<Outcome>();
    op->setCompletionBlockWithSuccess(recordSuccess(o), recordFailure(o));
    MCOperationQueue::create()->addOperation(op);
    ASSERT_TRUE(await(o)) << c.cap;
    EXPECT_EQ(o->success, c.success) << c.cap;
    if (!c.success) {
      EXPECT_EQ(o->error->domain, platform::URLErrorDomain);
      EXPECT_EQ(o->error->code, platform::URLErrorDataLengthExceedsMaximum);
    } else {
      EXPECT_EQ(op->responseData()->size(), kMid.size());
    }
  }
}

TEST_F(Transfer, ThrottledUploadLeavesTheNetworkThreadToOthers) {
  auto manager = MCHTTPRequestOperationManager::manager();
  auto upload = std::make_shared<Outcome>();
  const double delay = 3;
  auto post = manager->POST(scripted_->url("/record/throttled"), nullptr, [&](MCStreamingMultipartFormData& form) {
    for (const char* name : {"a", "b", "c"}) form.appendPartWithFormData(Data(1000, 'x'), name);
    form.throttleBandwidthWithPacketSize(MCUploadStream3GSuggestedPacketSize, delay);
  }, recordSuccess(upload), recordFailure(upload));
  // The upload's first piece is on its way (or its pause has begun) when the GET is made.
  platform::testing::pumpUntil([] { return false; }, 0.2);
  auto get = std::make_shared<Outcome>();
  auto began = std::chrono::steady_clock::now();
  manager->GET(url("/api/beside"), nullptr, recordSuccess(get), recordFailure(get));
  ASSERT_TRUE(await(get));
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  EXPECT_TRUE(get->success);
  // Not a speed figure: a sleeping network thread would hold the GET for a whole pause.
  EXPECT_LT(took.count(), delay / 2);
  EXPECT_FALSE(upload->done);
  post->cancel();
  ASSERT_TRUE(await(upload));
  EXPECT_EQ(upload->error->code, platform::URLErrorCancelled);
}

TEST_F(Transfer, UploadOfAFileCompletesWhileTheMainThreadBlocksOnIt) {
  auto file = dir_->path() / "upload.bin";
  peers::writeFile(file, kMid);
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->completionQueue = platform::dispatch::serialQueue("upload-callbacks");
  auto done = std::make_shared<std::promise<bool>>();
  auto outcome = done->get_future();
  manager->POST(scripted_->url("/record/blocked-main"), nullptr, [&](MCStreamingMultipartFormData& form) {
    form.appendPartWithFileURL("file://" + file.string(), "file", nullptr);
  }, [done](const auto&, const auto&) { done->set_value(true); }, [done](const auto&, const auto&) { done->set_value(false); });
  // The main thread does not run its loop here: opening and closing the file part must not
  // need it.
  ASSERT_EQ(outcome.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(outcome.get());
  EXPECT_NE(scripted_->recorded().find("/record/blocked-main"), std::string::npos);
}

TEST_F(Transfer, PausedDownloadArchivedAndFinishedLater) {
  auto path = dir_->path() / "resumed.bin";
  auto op = MCHTTPRequestOperation::initWithRequest(*MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", url("/slow/mid.bin"), nullptr));
  op->setOutputStream(std::make_shared<platform::FileOutputStream>(path.string(), false));
  MCOperationQueue::create()->addOperation(op);
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return op->totalBytesRead() > 50000; }, 20));
  auto archive = platform::KeyedArchiver::archivedDataWithRootObject(op);
  EXPECT_TRUE(op->isPaused());
  op.reset();

  auto resumed = platform::KeyedUnarchiver::unarchiveObjectWithData<MCHTTPRequestOperation>(archive);
  ASSERT_TRUE(resumed);
  EXPECT_TRUE(resumed->isReady());
  auto range = resumed->request().valueForHTTPHeaderField("Range");
  ASSERT_TRUE(range);
  EXPECT_EQ(*range, "bytes=" + std::to_string(std::filesystem::file_size(path)) + "-");
  resumed->setOutputStream(std::make_shared<platform::FileOutputStream>(path.string(), true));
  auto o = std::make_shared<Outcome>();
  resumed->setCompletionBlockWithSuccess(recordSuccess(o), recordFailure(o));
  MCOperationQueue::create()->addOperation(resumed);
  ASSERT_TRUE(await(o, 30));
  EXPECT_TRUE(o->success);
  EXPECT_TRUE(peers::readFile(path) == kMid);
  EXPECT_GT(logged("GET /slow/mid.bin 206"), 0u);
}

constexpr int kChildExitCode = 7;  // not gtest's: the parent knows the body ran to its end

// Run as a child process by the test below: requests in flight and work queued on every
// thread when the process exits. No fixture: the child starts no peers of its own, it uses
// the parent's nginx.
TEST(TransferExit, Child) {
  const char* target = std::getenv("MARVISTO_EXIT_CHILD_URL");
  if (!target) GTEST_SKIP() << "runs only as the child of Transfer.ExitWithRequestsInFlightEndsCleanly";
  auto manager = MCHTTPRequestOperationManager::manager();
  int done = 0;
  for (int i = 0; i < 400; ++i)
    manager->GET(target, nullptr, [&](const auto&, const auto&) { ++done; }, [&](const auto&, const auto&) { ++done; });
  platform::testing::pumpUntil([&] { return done >= 100; }, 20);
  std::exit(done >= 100 ? kChildExitCode : 3);
}

TEST_F(Transfer, ExitWithRequestsInFlightEndsCleanly) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  for (int run = 0; run < 12; ++run) {
    int status = peers::run("MARVISTO_EXIT_CHILD_URL=" + url("/api/exit") + " " + self + " --gtest_filter=TransferExit.Child");
    EXPECT_EQ(status, kChildExitCode) << "run " << run;
  }
}
