// URL loading over libcurl's multi interface, driven by one process-wide network thread or,
// while it waits, by the main thread (NetworkThread). NetworkThread::shared().perform() may be
// called from any thread; URLConnection's start() and cancel() only where the connections are
// driven (NetworkThread::isCurrent()), where every delegate callback also arrives. Code of the
// host application (a connection marked `runsHostCode`, a task posted with `runsHostCode`)
// runs on the network thread only.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/server_trust.h"
#include "platform/url_request.h"

namespace platform {

// A load that failed: one of the URLErrorCode values, a text, and the URL it was for.
struct URLLoadError {
  std::string domain = URLErrorDomain;  // POSIXErrorDomain for a body stream's own error
  long code = URLErrorUnknown;
  std::string description;
  std::string failingURL;
};

struct URLCredential {
  std::string user;
  std::string password;
};

// Every slot is optional. Returning false from didReceiveData stops the load silently (the
// delegate has taken over); no callback follows a stop or a cancel.
struct URLConnectionDelegate {
  // Some callback runs code of the host application (its block, stream or policy), which
  // sees the thread it runs on: the connection is then driven by the network thread only,
  // from start() to its last callback. A request with a body stream is treated alike.
  bool runsHostCode = false;
  // What the callbacks need alive, kept as long as they are (one reference for all of them).
  std::shared_ptr<const void> owner;
  // Server-trust challenge; none = the default evaluation with the host name checked.
  std::function<bool(const ServerTrust& trust, const std::string& host)> evaluateServerTrust;
  // A redirect reply arrived: `proposed` is the request that follows it (same headers, the
  // new URL; a 303, or a 301/302 after a POST, turns into a bodiless GET; "Authorization",
  // "Proxy-Authorization" and "Cookie" are dropped when the origin, i.e. scheme, host or
  // port, changes). Return it, changed or not, to follow; none to take the redirect reply as
  // the final one; or set `refusal` to fail the load with that error. None = follow. A hop
  // from https to http never carries those three headers, whatever is returned. Every hop
  // meets the trust evaluation with its own host name.
  std::function<std::optional<URLRequest>(const URLRequest& proposed, const URLResponse& redirect,
                                          std::optional<URLLoadError>* refusal)>
      willSendRequest;
  // The response is handed over: the connection keeps no copy of it.
  std::function<void(URLResponse)> didReceiveResponse;
  std::function<bool(const uint8_t* bytes, size_t length)> didReceiveData;
  std::function<void(int64_t bytesWritten, int64_t totalWritten, int64_t totalExpected)> didSendBodyData;
  std::function<void()> didFinishLoading;
  std::function<void(const URLLoadError&)> didFailWithError;
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
 public:
  // `credential` answers challenges from the origin of `request` only, never a redirect's
  // other origin.
  static std::shared_ptr<URLConnection> create(URLRequest request, URLConnectionDelegate delegate,
                                               std::optional<URLCredential> credential = std::nullopt);
  ~URLConnection();
  void start();
  void cancel();
  // The request it was made with (network thread only once started: a redirect sets it).
  const URLRequest& originalRequest() const { return original_ ? *original_ : request_; }
  // The request of the current hop (network thread only).
  const URLRequest& currentRequest() const { return request_; }

  struct Transfer;  // libcurl state, network thread only

 private:
  URLConnection(URLRequest request, URLConnectionDelegate delegate, std::optional<URLCredential> credential);
  bool configure();  // a transfer for request_; false when none could be made
  std::optional<URLRequest> original_;  // none until a redirect replaced request_
  URLRequest request_;
  URLConnectionDelegate delegate_;
  std::optional<URLCredential> credential_;
  std::unique_ptr<Transfer> transfer_;
  bool runsHostCode_;
  bool countedAsHostCode_ = false;  // counted in NetworkThread::Impl::hostCode (driver)
  friend struct NetworkThreadAccess;
};

// What drives every connection: one process-wide network thread, or the main thread while
// its run loop waits with nothing ready (it then waits in the transfers' poll instead, so a
// request it starts and a reply that ends need no other thread). The main thread drives only
// while no connection that runs host code is in flight or waits for its turn and no task that
// may run host code is queued; it hands the transfers to the network thread as soon as one
// is. Created on first use; stopped at exit before static objects go, after which perform()
// drops its task.
class NetworkThread {
 public:
  static NetworkThread& shared();
  // Runs the task where the connections are driven, without waiting, in order of submission.
  // `runsHostCode`: the task may run code of the host application; it runs on the network
  // thread, and the main thread drives nothing from its posting until it has run.
  void perform(std::function<void()> task, bool runsHostCode = false);
  // Whether the calling thread drives the connections now: tasks, connection callbacks.
  bool isCurrent() const;
  // While driving: no transfer runs or waits for its turn, so work done here in place holds
  // nothing up. False on any other thread.
  bool isIdle() const;
  // While driving: the caller is a thread that would otherwise sleep (the main thread waiting
  // in its loop), for which a hand-off of small work costs more than doing it in place.
  bool drivesWhileWaiting() const;
  void setThreadName(const char* name);  // of the network thread

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  NetworkThread();
  ~NetworkThread();
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
