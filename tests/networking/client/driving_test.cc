// Who drives the transfers: the main thread while its run loop waits with nothing else to
// run, the network thread while the main thread is away or while code of the host's takes
// part in a transfer. Callbacks keep their queues and order either way, the host's code sees
// only the network thread, and a transfer never waits for a main thread that is blocked.
#include <pthread.h>

#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "networking/client/client_support.h"
#include "networking/multipart_form_data.h"
#include "networking/support/scripted_server.h"
#include "support/peers.h"

namespace {

const std::string kBody = peers::seededBytes(120000, 31);

// Where host code ran: how often, how often on the network thread (by its name), how often
// on the main thread.
struct Seen {
  std::atomic<int> calls{0}, onNetwork{0}, onMain{0};
  void here() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    ++calls;
    onNetwork += std::strcmp(name, "MCNetworking") == 0 ? 1 : 0;
    onMain += platform::RunLoop::isMainThread() ? 1 : 0;
  }
};

// A host's own sink: notes where it is opened, asked for room and written to.
class SeenOutputStream final : public platform::OutputStream {
 public:
  explicit SeenOutputStream(Seen& seen) : seen_(seen) {}
  void open() override { seen_.here(); memory_.open(); }
  void close() override { memory_.close(); }
  int64_t write(const uint8_t* b, size_t n) override { seen_.here(); return memory_.write(b, n); }
  bool hasSpaceAvailable() const override { seen_.here(); return memory_.hasSpaceAvailable(); }
  platform::StreamStatus streamStatus() const override { return memory_.streamStatus(); }
  std::optional<platform::StreamError> streamError() const override { return std::nullopt; }
  bool truncate() override { return memory_.truncate(); }

 private:
  Seen& seen_;
  platform::MemoryOutputStream memory_;
};

// A host's own body part: notes where it is read (its opening and closing belong to the main
// thread, as the multipart body's phase changes do).
class SeenInputStream final : public platform::InputStream {
 public:
  SeenInputStream(Seen& seen, std::vector<uint8_t> bytes) : seen_(seen), data_(std::move(bytes)) {}
  void open() override { data_.open(); }
  void close() override { data_.close(); }
  int64_t read(uint8_t* b, size_t n) override { seen_.here(); return data_.read(b, n); }
  bool hasBytesAvailable() const override { return data_.hasBytesAvailable(); }
  platform::StreamStatus streamStatus() const override { return data_.streamStatus(); }
  std::optional<platform::StreamError> streamError() const override { return std::nullopt; }

 private:
  Seen& seen_;
  platform::DataInputStream data_;
};

class Driving : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new peers::TempDir("driving");
    port_ = peers::freePort();
    tlsPort_ = peers::freePort();
    const auto& d = dir_->path();
    std::filesystem::create_directories(d / "www/slow");
    peers::writeFile(d / "www/slow/body.bin", kBody);
    ASSERT_EQ(peers::run("cd " + d.string() + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                         "-keyout tls.key -out tls.pem -days 2 -subj /CN=localhost 2>/dev/null"), 0);
    std::string api = "  location /api/ { default_type application/json; return 200 '{\"ok\":true}'; }\n";
    std::string servers = "server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + (d / "www").string() + ";\n" + api +
        "  location = /hop { return 302 /api/hopped; }\n"
        "  location /slow/ { limit_rate 200k; }\n}\n"
        "server { listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl; ssl_certificate " + (d / "tls.pem").string() +
        "; ssl_certificate_key " + (d / "tls.key").string() + ";\n" + api + "}\n";
    nginx_ = new peers::Nginx(d, servers, port_);
    scripted_ = new peers::ScriptedServer(d);
    ASSERT_TRUE(nginx_->ok()) << nginx_->errorLog();
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete scripted_;
    delete dir_;
  }
  static std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  static inline peers::TempDir* dir_;
  static inline int port_, tlsPort_;
  static inline peers::Nginx* nginx_;
  static inline peers::ScriptedServer* scripted_;
};

}  // namespace

// One request after another, the main thread pumping its loop in between: the redirect block
// (host code) runs on the network thread, and each success block on its completion queue, in
// the order of the requests.
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
        hopsElsewhere += networkRequestThread().isCurrent() && !networkRequestThread().drivesWhileWaiting() ? 0 : 1;
        drivenOnMain += platform::RunLoop::isMainThread() ? 1 : 0;
        return std::optional<platform::URLRequest>(next);
      });
      manager->operationQueue->addOperation(op);
      ASSERT_TRUE(platform::testing::pumpUntil([&] { return done.load() == i + 1; }, 20)) << c.name << " " << i;
    }
    EXPECT_EQ(misplaced.load(), 0) << c.name;
    EXPECT_EQ(outOfOrder.load(), 0) << c.name;
    EXPECT_EQ(hopsElsewhere.load(), 0) << c.name;
    EXPECT_EQ(drivenOnMain.load(), 0) << c.name;
  }
}

// Code of the host's that takes part in a transfer (a redirect block, a challenge block, an
// output stream, a body stream) runs on the network thread, also while the main thread waits
// in its loop and drives a plain transfer under way beside it. Such a transfer that fails or
// is cancelled lets the main thread drive again: a connection of the kit's own (no host code)
// made last is driven by the waiting main thread.
TEST_F(Driving, HostCodeSeesOnlyTheNetworkThread) {
  enum class Kind { Redirect, Challenge, Output, Body, RedirectFails, OutputCancelled, Kit };
  struct Case { const char* name; Kind kind; } cases[] = {
      {"redirect block", Kind::Redirect},
      {"authentication-challenge block", Kind::Challenge},
      {"output stream of the host's", Kind::Output},
      {"multipart body with a stream of the host's", Kind::Body},
      {"redirect block, then the connection fails", Kind::RedirectFails},
      {"output stream of the host's, cancelled", Kind::OutputCancelled},
      {"the kit's own connection", Kind::Kit},
  };
  for (bool beside : {false, true}) {
    for (const auto& c : cases) {
      std::string name = std::string(c.name) + (beside ? ", a plain GET beside it" : "");
      auto manager = MCHTTPRequestOperationManager::manager();
      manager->responseSerializer = MCHTTPResponseSerializer::serializer();
      // Started first and pumped until the main thread reads it: it drives it when the other
      // request is made.
      std::shared_ptr<Outcome> plain;
      std::shared_ptr<MCHTTPRequestOperation> plainOp;
      if (beside) {
        plain = std::make_shared<Outcome>();
        plainOp = manager->GET(url("/slow/body.bin"), nullptr, recordSuccess(plain), recordFailure(plain));
        ASSERT_TRUE(platform::testing::pumpUntil([&] { return plainOp->totalBytesRead() > 0; }, 20)) << name;
      }
      Seen seen;
      const int rounds = c.kind == Kind::Kit ? 10 : 3;
      for (int i = 0; i < rounds; ++i) {
        if (c.kind == Kind::Kit) {
          std::atomic<bool> ended{false};
          platform::URLConnectionDelegate d;
          d.didReceiveResponse = [&](const platform::URLResponse&) { seen.here(); };
          d.didFinishLoading = [&] { ended = true; };
          d.didFailWithError = [&](const platform::URLLoadError&) { ended = true; };
          platform::URLRequest kit;
          kit.URL = url("/api/kit");
          auto connection = platform::URLConnection::create(kit, d);
          networkRequestThread().perform([connection] { connection->start(); });
          ASSERT_TRUE(platform::testing::pumpUntil([&] { return ended.load(); }, 20)) << name;
          continue;
        }
        std::string target = url("/hop");
        if (c.kind == Kind::Challenge) target = "https://127.0.0.1:" + std::to_string(tlsPort_) + "/api/tls";
        if (c.kind == Kind::OutputCancelled) target = url("/slow/body.bin");
        auto request = *manager->requestSerializer->requestWithMethod("GET", target, nullptr);
        if (c.kind == Kind::Body) {
          Data part(5000, 'p');
          request = *manager->requestSerializer->multipartFormRequestWithMethod("POST", scripted_->url("/record/seen"), nullptr,
              [&](MCStreamingMultipartFormData& form) {
                form.appendPartWithInputStream(std::make_shared<SeenInputStream>(seen, part), "part", "p.bin", part.size(),
                                               "application/octet-stream");
              });
        }
        auto o = std::make_shared<Outcome>();
        auto op = manager->HTTPRequestOperationWithRequest(request, recordSuccess(o), recordFailure(o));
        if (c.kind == Kind::Redirect || c.kind == Kind::RedirectFails) {
          bool fails = c.kind == Kind::RedirectFails;
          op->setRedirectResponseBlock([&seen, fails](const platform::URLRequest& next, const platform::URLResponse&) {
            seen.here();
            auto to = next;
            if (fails) to.URL = "http://127.0.0.1:1/closed";
            return std::optional<platform::URLRequest>(to);
          });
        }
        if (c.kind == Kind::Challenge)
          op->setWillSendRequestForAuthenticationChallengeBlock([&seen](const platform::ServerTrust&, const std::string&) {
            seen.here();
            return true;
          });
        if (c.kind == Kind::Output || c.kind == Kind::OutputCancelled) op->setOutputStream(std::make_shared<SeenOutputStream>(seen));
        manager->operationQueue->addOperation(op);
        if (c.kind == Kind::OutputCancelled) {
          ASSERT_TRUE(platform::testing::pumpUntil([&] { return seen.calls.load() > 2; }, 20)) << name;
          op->cancel();
        }
        ASSERT_TRUE(await(o)) << name;
        bool fails = c.kind == Kind::RedirectFails || c.kind == Kind::OutputCancelled;
        EXPECT_EQ(o->success, !fails) << name << " " << (o->error ? o->error->localizedDescription : "");
      }
      EXPECT_GT(seen.calls.load(), 0) << name;
      if (c.kind == Kind::Kit) {
        // The main thread drives again once no host code is under way.
        EXPECT_GT(seen.onMain.load(), 0) << name;
      } else {
        EXPECT_EQ(seen.onNetwork.load(), seen.calls.load()) << name;
        EXPECT_EQ(seen.onMain.load(), 0) << name;
      }
      if (beside) {
        ASSERT_TRUE(await(plain)) << name;
        EXPECT_TRUE(plain->success) << name;
        EXPECT_EQ(plainOp->responseData().value_or(Data()).size(), kBody.size()) << name;
      }
    }
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
