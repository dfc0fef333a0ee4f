// A request posted while the network thread sleeps in its poll over a transfer that has
// nothing to say must wake it at once, not at the poll's own time-out (a second).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/url_connection.h"
#include "support/peers.h"

namespace platform {
namespace {

// A listening loopback socket on a port of the system's choosing.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    sockaddr_in a{};
    fd = peers::boundLoopback(&a);
    if (fd >= 0 && ::listen(fd, 16) == 0) port = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
};

// Reads a request's head; false when the peer went away first.
bool ReadHead(int fd) {
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    head.append(buf, size_t(n));
  }
  return true;
}

// Starts a GET whose end (success or failure) is announced through the returned future.
std::future<bool> Get(const std::string& url) {
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  URLRequest request;
  request.URL = url;
  request.timeoutInterval = 30;
  URLConnectionDelegate d;
  d.didFinishLoading = [done] { done->set_value(true); };
  d.didFailWithError = [done](const URLLoadError&) { done->set_value(false); };
  NetworkThread::shared().perform([request, d] { URLConnection::create(request, d)->start(); });
  return result;
}

TEST(NetworkThreadWake, ARequestPostedDuringAQuietTransferIsServedAtOnce) {
  Listener quiet, answering;
  ASSERT_GT(quiet.port, 0);
  ASSERT_GT(answering.port, 0);
  constexpr int kRequests = 3;

  // The quiet server takes the request and says nothing until the test ends.
  std::promise<void> quietHasRequest, release;
  std::thread quietPeer([&] {
    int c = ::accept(quiet.fd, nullptr, nullptr);
    if (c >= 0 && ReadHead(c)) quietHasRequest.set_value();
    release.get_future().wait();
    if (c >= 0) ::close(c);
  });
  std::thread answeringPeer([&] {
    for (int i = 0; i < kRequests; ++i) {
      int c = ::accept(answering.fd, nullptr, nullptr);
      if (c < 0) return;
      if (ReadHead(c)) {
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        if (::write(c, reply.data(), reply.size()) < 0) {
        }
      }
      ::close(c);
    }
  });

  std::future<bool> quietDone = Get(quiet.url());
  ASSERT_EQ(quietHasRequest.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  for (int i = 0; i < kRequests; ++i) {
    SCOPED_TRACE(i);
    // Long enough for the thread to be asleep in its poll over the quiet transfer, well short
    // of the poll's time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto began = std::chrono::steady_clock::now();
    std::future<bool> done = Get(answering.url());
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(done.get());
    // A generous bound: a missed wake-up holds the request for the rest of the second.
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500));
  }
  release.set_value();
  EXPECT_EQ(quietDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  quietPeer.join();
  answeringPeer.join();
}

}  // namespace
}  // namespace platform
