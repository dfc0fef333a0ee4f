// Transfers against nginx and the scripted server: the redirect decision and redirect loops, the in-memory
// reply cap, throttled uploads beside other transfers, an upload awaited by a blocked main
// thread, a paused download archived and finished later, and exit with requests in flight.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>
#include <vector>

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
        "  location = /loop { return 302 /loop; }\n"
        "  location /slow/ { limit_rate 400k; }\n}\n";
    // TLS servers for the exit test, several so that many handshakes run at once.
    std::filesystem::create_directories(dir_->path() / "certs");
    certsOk_ = peers::makeCertificates(dir_->path() / "certs", "localhost");
    if (certsOk_) {
      servers += "server { ssl_certificate " + (dir_->path() / "certs/server.pem").string() + "; ssl_certificate_key " +
                 (dir_->path() / "certs/server.key").string() + ";\n";
      for (int& p : tlsPorts_) servers += "  listen 127.0.0.1:" + std::to_string(p = peers::freePort()) + " ssl;\n";
      servers += "  location /api/ { default_type application/json; return 200 '{\"tls\":true}'; }\n}\n";
    }
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
  static size_t logged(const std::string& text) {
    auto log = nginx_->accessLog();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  static inline peers::TempDir* dir_;
  static inline int port_;
  static inline bool certsOk_ = false;
  static inline int tlsPorts_[5];
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
  // A server that sends the client round in circles: the hops are counted across
  // the whole chain, so it ends.
  auto o = std::make_shared<Outcome>();
  auto op = manager->HTTPRequestOperationWithRequest(*manager->requestSerializer->requestWithMethod("GET", url("/loop"), nullptr),
                                                     recordSuccess(o), recordFailure(o));
  manager->operationQueue->addOperation(op);
  ASSERT_TRUE(await(o));
  ASSERT_FALSE(o->success);
  EXPECT_EQ(o->error->code, platform::URLErrorHTTPTooManyRedirects);
  // The first request and sixteen hops; nginx logs each once it has answered it.
  platform::testing::pumpUntil([] { return logged("GET /loop ") >= 17; }, 5);
  EXPECT_EQ(logged("GET /loop "), 17u);
}

TEST_F(Transfer, BurstsToOneHostWaitTheirTurnAndEveryRequestEnds) {
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->responseSerializer = MCHTTPResponseSerializer::serializer();
  auto allDone = [](const std::vector<std::shared_ptr<Outcome>>& outcomes) {
    return platform::testing::pumpUntil([&] { return std::all_of(outcomes.begin(), outcomes.end(), [](auto& o) { return o->done; }); }, 30);
  };
  // More stalled requests than one host is given transfers at a time: the last ones wait.
  std::vector<std::shared_ptr<Outcome>> stalled;
  std::vector<std::shared_ptr<MCHTTPRequestOperation>> ops;
  for (int i = 0; i < 24; ++i) {
    stalled.push_back(std::make_shared<Outcome>());
    ops.push_back(manager->GET(scripted_->url("/never"), nullptr, recordSuccess(stalled.back()), recordFailure(stalled.back())));
  }
  // Another host (here: another port) is not held up behind them.
  auto other = std::make_shared<Outcome>();
  manager->GET(url("/api/other"), nullptr, recordSuccess(other), recordFailure(other));
  ASSERT_TRUE(await(other));
  EXPECT_TRUE(other->success);
  // A waiting request and then the running ones end when cancelled.
  ops.back()->cancel();
  ASSERT_TRUE(await(stalled.back()));
  for (auto& op : ops) op->cancel();
  ASSERT_TRUE(allDone(stalled));
  for (auto& o : stalled) {
    EXPECT_EQ(o->error->code, platform::URLErrorCancelled);
    EXPECT_TRUE(o->onMain);
  }
  // Every transfer gave its place back, cancelled, finished or redirected: bursts far
  // beyond the places of one host all complete, each with its own reply.
  struct Case { std::string url; std::string body; } cases[] = {
      {scripted_->url("/burst"), R"({"ok": true})"},
      {url("/api/burst"), R"({"ok":true})"},
      {url("/hop"), R"({"ok":true})"},
  };
  for (const auto& c : cases) {
    std::vector<std::shared_ptr<Outcome>> burst;
    for (int i = 0; i < 60; ++i) {
      burst.push_back(std::make_shared<Outcome>());
      manager->GET(c.url, {{"i", i}}, recordSuccess(burst.back()), recordFailure(burst.back()));
    }
    ASSERT_TRUE(allDone(burst)) << c.url;
    for (auto& o : burst) {
      ASSERT_TRUE(o->success) << c.url << " " << o->error->localizedDescription;
      Data body = o->operation->responseData().value_or(Data());
      EXPECT_EQ(std::string(body.begin(), body.end()), c.body) << c.url;
    }
  }
}

// The loop sleeps in its socket poll between the round trips below; a post must wake it.
// Were wake-ups lost, each round trip would wait for the poll's own one-second time-out.
TEST(NetworkThread, EveryPostWakesTheSleepingLoop) {
  auto& network = networkRequestThread();
  std::atomic<bool> offThread{false};
  auto began = std::chrono::steady_clock::now();
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::promise<void> ran;
        network.perform([&] {
          if (!network.isCurrent()) offThread = true;
          ran.set_value();
        });
        ran.get_future().wait();
      }
    });
  }
  for (auto& p : posters) p.join();
  EXPECT_FALSE(offThread);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
}

// Tasks posted from other threads while the main thread drives (a chain of its own tasks
// keeps it driving) all run, where the transfers are driven, each poster's in its order; a
// task lost between two looks of the driver would leave its poster's count short.
TEST(NetworkThread, TasksPostedWhileTheMainThreadDrivesAllRunInOrder) {
  auto& network = networkRequestThread();
  constexpr int kPosters = 3, kEach = 400, kChain = 1500;
  std::vector<std::vector<int>> seen(kPosters);  // touched only where tasks run, one at a time
  std::atomic<int> chained{0}, offThread{0}, ran{0};
  std::function<void()> link = [&] {
    if (!network.isCurrent()) offThread++;
    if (++chained < kChain) network.perform(link);
  };
  network.perform(link);
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        network.perform([&, t, i] {
          if (!network.isCurrent()) offThread++;
          seen[t].push_back(i);
          ran++;  // after the push: a reader that sees the count sees the entry
        });
    });
  bool done = platform::testing::pumpUntil([&] { return chained >= kChain && ran == kPosters * kEach; }, 20);
  for (auto& p : posters) p.join();
  ASSERT_TRUE(done) << ran << " of " << kPosters * kEach << ", chain " << chained;
  EXPECT_EQ(offThread, 0);
  for (int t = 0; t < kPosters; ++t) {
    std::vector<int> expected(kEach);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen[t], expected) << "poster " << t;
  }
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
  // nginx logs a request after its last byte went out: the line may follow the callback.
  EXPECT_TRUE(platform::testing::pumpUntil([] { return logged("GET /slow/mid.bin 206") > 0; }, 5));
}

constexpr int kChildExitCode = 7;  // not gtest's: the parent knows the body ran to its end

// Run as a child process by the test below: requests in flight and work queued on every
// thread when the process exits, either once a quarter of the replies came (the main thread
// pumping its run loop) or after a few milliseconds of sleep (handshakes still running on the
// network thread). The requests go round the space-separated URLs. No fixture:
// the child starts no peers of its own, it uses the parent's nginx. Disabled, so that a run
// of the suite lists it as not run rather than as skipped; the parent asks for it by name.
TEST(TransferExit, DISABLED_Child) {
  const char* targets = std::getenv("MARVISTO_EXIT_CHILD_URLS");
  const char* delay = std::getenv("MARVISTO_EXIT_CHILD_DELAY_MS");
  const char* requests = std::getenv("MARVISTO_EXIT_CHILD_REQUESTS");
  if (!targets || !requests) GTEST_SKIP() << "runs only as the child of Transfer.ExitWithRequestsInFlightEndsCleanly";
  std::vector<std::string> urls;
  std::istringstream words(targets);
  for (std::string u; words >> u;) urls.push_back(u);
  auto manager = MCHTTPRequestOperationManager::manager();
  const int n = std::atoi(requests);
  int done = 0;
  for (int i = 0; i < n; ++i)
    manager->GET(urls[i % urls.size()], nullptr, [&](const auto&, const auto&) { ++done; }, [&](const auto&, const auto&) { ++done; });
  // Tells the parent when exit began.
  auto exitNow = [](int code) {
    if (const char* clock = std::getenv("MARVISTO_EXIT_CHILD_CLOCK"))
      peers::writeFile(clock, std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::exit(code);
  };
  if (delay) {
    // The main thread does not wait in its run loop: the network thread drives.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    exitNow(kChildExitCode);
  }
  platform::testing::pumpUntil([&] { return done >= n / 4; }, 20);
  exitNow(done >= n / 4 ? kChildExitCode : 3);
}

namespace {


}  // namespace

TEST_F(Transfer, ExitWithRequestsInFlightEndsCleanly) {
  ASSERT_TRUE(certsOk_);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string tlsUrls;
  for (int p : tlsPorts_) tlsUrls += "https://127.0.0.1:" + std::to_string(p) + "/api/exit ";
  // Over TLS, 30 requests: six at a time on each of the five servers, all in their handshakes.
  struct Case { const char* name; std::string urls; int requests; bool timed; } cases[] = {
      {"http, after 100 replies", url("/api/exit"), 400, false},
      {"http, after a few ms", url("/api/exit"), 400, true},
      {"https, after a few ms", tlsUrls, 30, true},
  };
  const char* soak = std::getenv("MARVISTO_EXIT_RUNS");  // a soak run asks for more
  const int runs = soak && std::atoi(soak) > 0 ? std::atoi(soak) : 10;
  // A hang bound, not a speed target: exit abandons what is in flight and waits for no
  // handshake, where it took seconds when it waited for each to be set up.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const auto bound = std::chrono::seconds(20);
#else
  const auto bound = std::chrono::seconds(2);
#endif
  const std::string clock = dir_->file("exit-called");
  peers::CpuLoad load(std::thread::hardware_concurrency() / 2);
  for (const auto& c : cases) {
    int abnormal = 0;
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int run = 0; run < runs; ++run) {
      std::filesystem::remove(clock);
      const std::string delay = c.timed ? " MARVISTO_EXIT_CHILD_DELAY_MS=" + std::to_string(5 + run * 7 % 46) : "";
      int status = peers::run("SSL_CERT_FILE=" + (dir_->path() / "certs/ca.pem").string() + delay + " MARVISTO_EXIT_CHILD_CLOCK=" + clock +
                              " MARVISTO_EXIT_CHILD_URLS='" + c.urls + "' MARVISTO_EXIT_CHILD_REQUESTS=" + std::to_string(c.requests) + " " +
                              self + " --gtest_also_run_disabled_tests --gtest_filter=TransferExit.DISABLED_Child");
      const auto ended = std::chrono::steady_clock::now();
      abnormal += status != kChildExitCode;
      EXPECT_EQ(status, kChildExitCode) << c.name << ", run " << run;
      if (const std::string called = peers::readFile(clock); !called.empty())
        slowest = std::max(slowest, ended - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(std::stoll(called))));
    }
    EXPECT_LT(slowest, bound) << c.name;
    std::printf("[ exit     ] %s: %d of %d runs ended abnormally, the slowest exit took %.3f s\n", c.name, abnormal, runs,
                std::chrono::duration<double>(slowest).count());
  }
}

namespace {

// Records where each reply was parsed: on the processing queue, on the main thread, and
// how many blocks of the processing queue ran at that moment.
struct ParseLog {
  std::mutex mutex;
  int parses = 0, onProcessingQueue = 0, onMain = 0, busyMax = 0;
  std::atomic<int> busy{0};  // processing-queue blocks running now, this parse included
};

class RecordingSerializer : public MCHTTPResponseSerializer {
 public:
  explicit RecordingSerializer(std::shared_ptr<ParseLog> log) : log_(std::move(log)) {}
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override {
    int busy = ++log_->busy;
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      ++log_->parses;
      log_->onProcessingQueue += http_request_operation_processing_queue()->isCurrent() ? 1 : 0;
      log_->onMain += platform::RunLoop::isMainThread() ? 1 : 0;
      log_->busyMax = std::max(log_->busyMax, busy);
    }
    auto object = MCHTTPResponseSerializer::responseObjectForResponse(response, data, error);
    --log_->busy;
    return object;
  }

 private:
  std::shared_ptr<ParseLog> log_;
};

}  // namespace

// Small replies may be parsed where they finished instead of on a worker (also on the main
// thread when it drove the transfer while its loop had nothing else to run); large ones never
// on the main thread. Wherever a thread carries it, the parse is a block of the
// processing queue, and the callbacks reach the main queue in the order the requests were made.
TEST_F(Transfer, RepliesAreParsedOnTheProcessingQueueAndCallbacksKeepTheirOrder) {
  struct Case { const char* name; const char* path; int requests; bool oneAtATime, mayParseOnMain; } cases[] = {
      {"small, one after another", "/api/seq", 30, true, true},
      {"small, all at once", "/api/burst", 60, false, true},
      {"large, one after another", "/mid.bin", 3, true, false},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<ParseLog>();
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->responseSerializer = std::make_shared<RecordingSerializer>(log);
    std::vector<int> order;
    int offMain = 0;
    for (int i = 0; i < c.requests; ++i) {
      auto record = [&order, &offMain, i](const auto&, const auto&) {
        order.push_back(i);
        offMain += platform::RunLoop::isMainThread() ? 0 : 1;
      };
      manager->GET(url(c.path), nullptr, record, record);
      if (c.oneAtATime) {
        ASSERT_TRUE(platform::testing::pumpUntil([&] { return int(order.size()) == i + 1; }, 20)) << c.name;
      }
    }
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return int(order.size()) == c.requests; }, 20)) << c.name;
    std::lock_guard<std::mutex> lock(log->mutex);
    EXPECT_EQ(log->parses, c.requests) << c.name;
    EXPECT_EQ(log->onProcessingQueue, c.requests) << c.name;
    if (!c.mayParseOnMain) {
      EXPECT_EQ(log->onMain, 0) << c.name;
    }
    EXPECT_EQ(offMain, 0) << c.name;
    if (c.oneAtATime) {
      std::vector<int> expected(c.requests);
      for (int i = 0; i < c.requests; ++i) expected[i] = i;
      EXPECT_EQ(order, expected) << c.name;
    }
  }
}

// The processing queue keeps its width when a reply is parsed in place: with every place
// taken, a finished reply waits for one instead of being parsed beside them.
TEST_F(Transfer, ParsingInPlaceKeepsTheProcessingQueueBounded) {
  const int width = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  auto log = std::make_shared<ParseLog>();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // The places are given back however the test ends: later tests parse on this queue too.
  struct GiveBack {
    std::promise<void>& release;
    bool given = false;
    void operator()() {
      if (!given) release.set_value();
      given = true;
    }
    ~GiveBack() { (*this)(); }
  } giveBack{release};
  for (int i = 0; i < width; ++i)
    http_request_operation_processing_queue()->async([log, released] {
      ++log->busy;
      released.wait();
      --log->busy;
    });
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return log->busy == width; }, 10));
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->responseSerializer = std::make_shared<RecordingSerializer>(log);
  auto o = std::make_shared<Outcome>();
  auto op = manager->GET(url("/api/bounded"), nullptr, recordSuccess(o), recordFailure(o));
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return op->isFinished(); }, 10));
  // Everything the network thread had to do for the reply has been done once this runs.
  std::promise<void> drained;
  networkRequestThread().perform([&] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_FALSE(o->done);
  giveBack();
  ASSERT_TRUE(await(o));
  EXPECT_TRUE(o->success);
  std::lock_guard<std::mutex> lock(log->mutex);
  EXPECT_EQ(log->parses, 1);
  EXPECT_LE(log->busyMax, width);
}
