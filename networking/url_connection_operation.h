// An operation that runs one request on the shared network thread, collects the reply into
// an output stream and exposes the response, its bytes and its text; with pause, resume,
// cancel, progress callbacks, start and finish notifications and an aggregate of batches.
// Every public member may be called from any thread (each takes the operation's recursive
// lock). Connection work happens only where connections are driven (networkRequestThread():
// the network thread, or the main thread while it waits). Whatever of the host's runs in it
// (a redirect or authentication-challenge block, an output stream of the host's, a body
// stream) runs on the network thread "MCNetworking" only: the main thread drives no transfer
// while such an operation starts, runs, pauses or is cancelled. Progress callbacks and the
// notifications arrive on the main queue; completion blocks on `completionQueue` (main
// when none).
#pragma once
#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "networking/networking_exports.h"
#include "networking/operation_queue.h"
#include "networking/security_policy.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/keyed_archiver.h"
#include "platform/mutex.h"
#include "platform/stream.h"
#include "platform/text_encoding.h"
#include "platform/url_connection.h"
#include "platform/url_request.h"

enum MCOperationState : int64_t { MCOperationPausedState = -1, MCOperationReadyState = 1, MCOperationExecutingState = 2, MCOperationFinishedState = 3 };

// What drives every connection: the shared network thread (named "MCNetworking"), or the
// main thread while its run loop waits with nothing else to run and no operation that runs
// the host's code is under way (platform::NetworkThread).
platform::NetworkThread& networkRequestThread();

class MCURLConnectionOperation : public MCOperation {
 public:
  using ProgressBlock = std::function<void(uint64_t bytes, int64_t totalBytes, int64_t totalBytesExpected)>;
  using AuthenticationChallengeBlock = std::function<bool(const platform::ServerTrust& trust, const std::string& host)>;
  // Decides a redirect (network thread): the request to send instead of `request`, or none
  // to take the redirect reply as the final one.
  using RedirectResponseBlock = std::function<std::optional<platform::URLRequest>(
      const platform::URLRequest& request, const platform::URLResponse& redirectResponse)>;
  // What an in-memory output stream may collect before the load fails with
  // URLErrorDataLengthExceedsMaximum; an output stream of the caller's is not limited.
  static constexpr uint64_t kDefaultMaximumResponseDataLength = 64ull << 20;

  static std::shared_ptr<MCURLConnectionOperation> initWithRequest(platform::URLRequest request);
  explicit MCURLConnectionOperation(platform::URLRequest request);
  ~MCURLConnectionOperation() override;

  void start() override;
  void cancel() override;
  virtual void pause();
  void resume();
  bool isPaused() const;
  bool isReady() const override;
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isConcurrent() const override { return true; }
  int64_t state() const;
  // Applies the transition rules; false when the move is not allowed.
  bool setState(int64_t state);

  platform::URLRequest request() const;
  std::optional<platform::URLResponse> response() const;
  virtual std::optional<platform::Error> error() const;
  std::optional<Data> responseData() const;
  void setResponseData(std::optional<Data> data);
  std::optional<std::string> responseString();
  platform::StringEncoding responseStringEncoding();
  int64_t totalBytesRead() const;

  void setUploadProgressBlock(ProgressBlock block);
  void setDownloadProgressBlock(ProgressBlock block);
  // Replaces the built-in server-trust handling: true accepts the server.
  void setWillSendRequestForAuthenticationChallengeBlock(AuthenticationChallengeBlock block);
  // Replaces the built-in redirect decision (follow as proposed). The proposed request of a
  // hop to another origin (scheme, host or port) carries no "Authorization" or "Cookie", and
  // a hop from https to plain http never does. Under a pinning policy such a hop is refused
  // (URLErrorSecureConnectionRequired) whatever the block answers.
  void setRedirectResponseBlock(RedirectResponseBlock block);
  // Accepted for hosts written against phone platforms; the stand-in has no background
  // tasks, so the handler is never called.
  void setShouldExecuteAsBackgroundTaskWithExpirationHandler(std::function<void()> handler) { (void)handler; }
  uint64_t maximumResponseDataLength() const;
  void setMaximumResponseDataLength(uint64_t bytes);

  bool shouldUseCredentialStorage() const;
  void setShouldUseCredentialStorage(bool value);
  // Answers challenges from the request's own origin only, never from a redirect's other one.
  std::optional<platform::URLCredential> credential() const;
  void setCredential(std::optional<platform::URLCredential> credential);
  std::shared_ptr<MCSecurityPolicy> securityPolicy() const;
  void setSecurityPolicy(std::shared_ptr<MCSecurityPolicy> policy);
  std::shared_ptr<platform::InputStream> inputStream() const;
  void setInputStream(std::shared_ptr<platform::InputStream> stream);
  // Created on first use as an in-memory stream.
  std::shared_ptr<platform::OutputStream> outputStream();
  void setOutputStream(std::shared_ptr<platform::OutputStream> stream);
  platform::QueuePtr completionQueue() const;
  void setCompletionQueue(platform::QueuePtr queue);
  std::shared_ptr<platform::Group> completionGroup() const;
  void setCompletionGroup(std::shared_ptr<platform::Group> group);
  nlohmann::json userInfo() const;
  void setUserInfo(nlohmann::json info);

  // Runs `block` on the completion queue within the completion group once finished; the
  // block is released afterwards. None clears it.
  void setCompletionBlock(std::function<void()> block) override;

  static std::vector<std::shared_ptr<MCOperation>> batchOfRequestOperations(
      const std::vector<std::shared_ptr<MCURLConnectionOperation>>& operations,
      std::function<void(size_t numberOfFinishedOperations, size_t totalNumberOfOperations)> progressBlock,
      std::function<void(const std::vector<std::shared_ptr<MCURLConnectionOperation>>&)> completionBlock);

  std::string description() const;

  // Archiving first pauses the operation (and waits until the network thread has stopped
  // it), then keeps "request", "state" (executing or paused stored as ready), "response",
  // "error", "responseData" and "totalBytesRead". A decoded operation is ready. A copy has
  // the same request, the callbacks, completion queue and group, and is ready.
  static const char* className() { return "MCURLConnectionOperation"; }
  virtual const char* archiveClassName() const { return className(); }
  virtual void encodeWithCoder(platform::KeyedArchiver& coder);
  static std::shared_ptr<MCURLConnectionOperation> initWithCoder(const platform::KeyedUnarchiver& coder);
  std::shared_ptr<MCURLConnectionOperation> copy() const;

 protected:
  // Applies what an archive holds to a new operation; copies the callbacks to another one.
  void decodeFields(const platform::KeyedUnarchiver& coder);
  void copyFieldsInto(MCURLConnectionOperation& other) const;
  virtual std::shared_ptr<MCURLConnectionOperation> makeCopy() const;
  friend class MCHTTPRequestOperation;
  // Network thread, under the lock, after the connection was cancelled for a pause.
  virtual void prepareResumableRequest() REQUIRES(lock_) {}
  void setRequest(platform::URLRequest request);
  size_t responseDataLength() const;  // without copying the bytes
  // The response and its bytes without a copy; the caller holds `lock_` while it uses them.
  const std::optional<platform::URLResponse>& responseHoldingLock() const REQUIRES(lock_) {
    return response_;
  }
  const std::optional<Data>& responseDataHoldingLock() const REQUIRES(lock_) { return responseData_; }
  // Posts a finish notification that finish() held for the main-queue callback: at once on
  // the calling (main) thread, or as usual when no such callback runs.
  void releaseFinishNotification(bool onMainNow);
  // Recursive: accessors that take it are called by code that already holds it. Lock order:
  // lock_, then the MCOperation base's lock (the completion block is set under lock_), the
  // operation queue's lock (told of a state change), the notification poster's and the
  // network thread's own lock (a step handed to it).
  mutable platform::RecursiveMutex lock_;
  // An HTTP completion that ends on the main queue is installed.
  bool holdsFinishNotification_ GUARDED_BY(lock_) = false;
  bool finishNotificationHeld_ GUARDED_BY(lock_) = false;

 private:
  void operationDidStart();
  void operationDidPause();
  void cancelConnection();
  void finish();
  // After a move to ready or finished: the queue, dependants and completion hear of it once
  // no lock is held (on the network thread right after the current step, else on the pool).
  void announceStateChange();
  void clearCompletionBlock();
  void postNotification(const char* name);
  platform::URLConnectionDelegate connectionDelegate();
  // Whether its connection runs code of the host's: a redirect or challenge block, an output
  // stream other than the kit's in-memory one, a body stream. Then the connection and every
  // step of it stay on the network thread.
  bool runsHostCode() const;
  void connectionDidFail(const platform::Error& error);
  bool connectionDidReceiveData(const uint8_t* bytes, size_t length);

  // Written under lock_ (a transition is checked and made at once), read without it: the
  // state is asked for several times per request, from any thread.
  std::atomic<int64_t> state_{MCOperationReadyState};
  std::shared_ptr<platform::URLConnection> connection_ GUARDED_BY(lock_);
  platform::URLRequest request_ GUARDED_BY(lock_);
  std::optional<platform::URLResponse> response_ GUARDED_BY(lock_);
  std::optional<platform::Error> error_ GUARDED_BY(lock_);
  std::optional<Data> responseData_ GUARDED_BY(lock_);
  std::optional<std::string> responseString_ GUARDED_BY(lock_);
  std::optional<platform::StringEncoding> responseStringEncoding_ GUARDED_BY(lock_);
  int64_t totalBytesRead_ GUARDED_BY(lock_) = 0;
  int64_t pendingBytesRead_ GUARDED_BY(lock_) = 0;  // received, not yet reported on the main queue
  bool progressPosted_ GUARDED_BY(lock_) = false;
  ProgressBlock uploadProgress_ GUARDED_BY(lock_);
  ProgressBlock downloadProgress_ GUARDED_BY(lock_);
  AuthenticationChallengeBlock authenticationChallenge_ GUARDED_BY(lock_);
  RedirectResponseBlock redirectResponse_ GUARDED_BY(lock_);
  uint64_t maximumResponseDataLength_ GUARDED_BY(lock_) = kDefaultMaximumResponseDataLength;
  bool shouldUseCredentialStorage_ GUARDED_BY(lock_) = true;
  std::optional<platform::URLCredential> credential_ GUARDED_BY(lock_);
  std::shared_ptr<MCSecurityPolicy> securityPolicy_ GUARDED_BY(lock_);
  std::shared_ptr<platform::OutputStream> outputStream_ GUARDED_BY(lock_);
  platform::QueuePtr completionQueue_ GUARDED_BY(lock_);
  std::shared_ptr<platform::Group> completionGroup_ GUARDED_BY(lock_);
  nlohmann::json userInfo_ GUARDED_BY(lock_);
};

// Process-wide: the group and the concurrent queue the completion machinery uses.
std::shared_ptr<platform::Group> url_request_operation_completion_group();
platform::QueuePtr url_request_operation_completion_queue();
