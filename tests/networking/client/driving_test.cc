// Who drives the transfers: the main thread while its run loop waits with nothing else to
// run, the network thread while the main thread is away. Callbacks keep their queues and
// order either way, and a transfer never waits for a main thread that is blocked.
#include <future>
#include <thread>
#include <vector>

#include "networking/client/client_support.h"
#include "support/peers.h"

namespace {

const std::string kBody = peers::seededBytes(120000, 31);

class Driving : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("driving");
    port_ = peers::freePort();
    std::filesystem::create_directories(dir_->path() / "www/slow");
    peers::writeFile(dir_->path() / "www/slow/body.bin", kBody);
    std::string servers = "server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + (dir_->path() / "www").string() + ";\n"
        "  location /api/ { default_type application/json; return 200 '{\"ok\":true}'; }\n"
        "  location = /hop { return 302 /api/hopped; }\n"
        "  location /slow/ { limit_rate 200k; }\n}\n";
    nginx_ = new peers::Nginx(dir_->path(), servers, port_);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete dir_;
  }
  static std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  static inline peers::TempDir* dir_;
  static inline int port_;
  static inline peers::Nginx* nginx_;
};

}  // namespace

// One request after another, the main thread pumping its loop in between, so that it mostly
// drives them itself: a connection callback (the redirect decision) runs where the transfers
// are driven, and each success block on its completion queue, in the order of the requests.
TEST_F(Driving, CallbacksSeeTheirQueueAndKeepTheirOrder) {
  struct Case { const char* name; bool mainQueue; } cases[] = {{"main queue", true}, {"serial queue", false}};
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    auto serial = platform::dispatch::serialQueue("driving-callbacks");
    if (!c.mainQueue) manager->completionQueue = serial;
    const int requests = 20;
    std::atomic<int> done{0}, misplaced{0}, outOfOrder{0}, drivenOnMain{0}, hopsElsewhere{0};
    for (int i = 0; i < requests; ++i) {
      auto onItsQueue = [&, i](const auto&, const auto&) {
        bool current = c.mainQueue ? platform::RunLoop::isMainThread() && platform::dispatch::mainQueue()->isCurrent()
                                   : serial->isCurrent() && !platform::RunLoop::isMainThread();
        misplaced += current ? 0 : 1;
        outOfOrder += done.load() == i ? 0 : 1;
        ++done;
      };
      auto request = manager->requestSerializer->requestWithMethod("GET", url("/hop"), {{"i", i}});
      auto op = manager->HTTPRequestOperationWithRequest(*request, onItsQueue, onItsQueue);
      op->setRedirectResponseBlock([&](const platform::URLRequest& next, const platform::URLResponse&) {
        hopsElsewhere += networkRequestThread().isCurrent() ? 0 : 1;
        drivenOnMain += platform::RunLoop::isMainThread() ? 1 : 0;
        return std::optional<platform::URLRequest>(next);
      });
      manager->operationQueue->addOperation(op);
      ASSERT_TRUE(platform::testing::pumpUntil([&] { return done.load() == i + 1; }, 20)) << c.name << " " << i;
    }
    EXPECT_EQ(misplaced.load(), 0) << c.name;
    EXPECT_EQ(outOfOrder.load(), 0) << c.name;
    EXPECT_EQ(hopsElsewhere.load(), 0) << c.name;
    // The main thread waited for each reply with nothing else to do: it drove some itself.
    EXPECT_GT(drivenOnMain.load(), 0) << c.name;
  }
}

// The main thread blocks without running its loop while a transfer is under way: the
// request was started right before (by the test or by a block of the main queue), or the
// main thread was driving it and left to run a block that waits for the reply. The network
// thread carries it to its end; the reply arrives on a serial completion queue.
TEST_F(Driving, TransferEndsWhileTheMainThreadIsBlocked) {
  enum class Start { ThenBlock, InBlock, DrivenThenBlock };
  struct Case { const char* name; Start start; const char* path; } cases[] = {
      {"started, then blocked", Start::ThenBlock, "/api/blocked"},
      {"started by a main-queue block that waits", Start::InBlock, "/api/in-block"},
      {"driven by main, then a long block waits", Start::DrivenThenBlock, "/slow/body.bin"},
  };
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::manager();
    manager->responseSerializer = MCHTTPResponseSerializer::serializer();
    manager->completionQueue = platform::dispatch::serialQueue("driving-blocked");
    auto reply = std::make_shared<std::promise<size_t>>();
    auto replied = reply->get_future();
    auto get = [&] {
      return manager->GET(url(c.path), nullptr, [reply](const auto&, const MCResponseObject& o) {
        auto* data = std::any_cast<Data>(&o);
        reply->set_value(data ? data->size() : 0);
      }, [reply](const auto&, const auto&) { reply->set_value(0); });
    };
    bool waited = false;
    auto waitForReply = [&] { waited = replied.wait_for(std::chrono::seconds(20)) == std::future_status::ready; };
    if (c.start == Start::ThenBlock) {
      get();
      waitForReply();
    } else if (c.start == Start::InBlock) {
      platform::dispatch::async(platform::dispatch::mainQueue(), [&] {
        get();
        waitForReply();
      });
      platform::testing::pumpUntil([&] { return waited; }, 25);
    } else {
      auto op = get();
      // Pumping, the main thread drives the slow reply; once part of it arrived, it leaves
      // its wait for a block that holds it until the whole reply is in.
      ASSERT_TRUE(platform::testing::pumpUntil([&] { return op->totalBytesRead() > 0; }, 20)) << c.name;
      platform::dispatch::async(platform::dispatch::mainQueue(), waitForReply);
      platform::testing::pumpUntil([&] { return waited; }, 25);
    }
    ASSERT_TRUE(waited) << c.name;
    size_t expected = c.start == Start::DrivenThenBlock ? kBody.size() : std::string(R"({"ok":true})").size();
    EXPECT_EQ(replied.get(), expected) << c.name;
  }
}
