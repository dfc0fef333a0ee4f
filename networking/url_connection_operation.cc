#include "networking/url_connection_operation.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>

#include <future>
#include <mutex>
#include <typeinfo>

#include "networking/coding.h"
#include "platform/mutex.h"
#include "platform/notification_center.h"

namespace {

const char* stateKey(int64_t state) {
  switch (state) {
    case MCOperationPausedState: return "isPaused";
    case MCOperationReadyState: return "isReady";
    case MCOperationExecutingState: return "isExecuting";
    case MCOperationFinishedState: return "isFinished";
    default: return "state";
  }
}

bool transitionAllowed(int64_t from, int64_t to, bool cancelled) {
  switch (from) {
    case MCOperationReadyState:
      return to == MCOperationPausedState || to == MCOperationExecutingState || (to == MCOperationFinishedState && cancelled);
    case MCOperationExecutingState: return to == MCOperationPausedState || to == MCOperationFinishedState;
    case MCOperationFinishedState: return false;
    case MCOperationPausedState: return to == MCOperationReadyState;
    default:
      return to == MCOperationPausedState || to == MCOperationReadyState || to == MCOperationExecutingState ||
             to == MCOperationFinishedState;
  }
}

// Start and finish notifications go to the main queue in order; a burst of them shares one
// main-queue block instead of waking the main thread once each.
class NotificationPoster {
 public:
  static NotificationPoster& shared() {
    static auto* poster = new NotificationPoster;  // kept to the end: pool threads may post late
    return *poster;
  }
  // `name` is one of the kit's constant names: kept as it is until it is posted.
  void post(const char* name, std::shared_ptr<const void> object) {
    {
      platform::MutexLock lock(mutex_);
      pending_.emplace_back(name, std::move(object));
      if (scheduled_) return;
      scheduled_ = true;
    }
    platform::dispatch::async(platform::dispatch::mainQueue(), [this] { drain(); });
  }

 private:
  void drain() {
    std::vector<std::pair<const char*, std::shared_ptr<const void>>> batch;
    {
      platform::MutexLock lock(mutex_);
      batch.swap(pending_);
      scheduled_ = false;
    }
    for (auto& [name, object] : batch) platform::NotificationCenter::defaultCenter()->postNotificationName(name, object);
  }
  platform::Mutex mutex_;
  std::vector<std::pair<const char*, std::shared_ptr<const void>>> pending_ GUARDED_BY(mutex_);
  bool scheduled_ GUARDED_BY(mutex_) = false;
};

platform::Error errorFromStream(const std::optional<platform::StreamError>& e, const char* fallback) {
  return platform::Error::make(platform::POSIXErrorDomain, e ? e->code : EIO, e ? e->message : fallback);
}

}  // namespace

platform::NetworkThread& networkRequestThread() {
  static std::once_flag named;
  platform::NetworkThread& thread = platform::NetworkThread::shared();
  std::call_once(named, [&thread] { thread.setThreadName("MCNetworking"); });
  return thread;
}

// The process-wide objects are kept to the end: pool threads may still use them after main
// returned, when function-local statics are already destroyed.
std::shared_ptr<platform::Group> url_request_operation_completion_group() {
  static const auto* group = new std::shared_ptr<platform::Group>(platform::Group::create());
  return *group;
}

platform::QueuePtr url_request_operation_completion_queue() {
  static const auto* queue = new platform::QueuePtr(platform::dispatch::concurrentQueue("com.marvisto.networking.operation.queue"));
  return *queue;
}

std::shared_ptr<MCURLConnectionOperation> MCURLConnectionOperation::initWithRequest(platform::URLRequest request) {
  return std::make_shared<MCURLConnectionOperation>(std::move(request));
}

MCURLConnectionOperation::MCURLConnectionOperation(platform::URLRequest request)
    : request_(std::move(request)), securityPolicy_(MCSecurityPolicy::defaultPolicy()) {}

MCURLConnectionOperation::~MCURLConnectionOperation() {
  if (outputStream_) outputStream_->close();
  // A connection still running belongs to the network thread: stop it there.
  if (connection_) networkRequestThread().perform([c = connection_] { c->cancel(); });
}

// ---- state ----

int64_t MCURLConnectionOperation::state() const { return state_.load(); }

bool MCURLConnectionOperation::setState(int64_t state) {
  {
    // Checked and written under one lock, so a cancel and a finish cannot both pass.
    platform::RecursiveLock lock(lock_);
    if (!transitionAllowed(state_, state, isCancelled())) return false;
    state_ = state;
  }
  // Queues, dependants and completion blocks wait only for readiness and the end.
  if (state == MCOperationReadyState || state == MCOperationFinishedState) announceStateChange();
  return true;
}

void MCURLConnectionOperation::announceStateChange() {
  // The network thread runs the step after the callback that finished the operation, with
  // no lock held and without waking another thread.
  if (networkRequestThread().isCurrent()) {
    auto self = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
    networkRequestThread().perform([self] { self->stateDidChangeNow(); });
  } else {
    stateDidChange();
  }
}

bool MCURLConnectionOperation::isPaused() const { return state() == MCOperationPausedState; }
bool MCURLConnectionOperation::isReady() const { return state() == MCOperationReadyState && MCOperation::isReady(); }
bool MCURLConnectionOperation::isExecuting() const { return state() == MCOperationExecutingState; }
bool MCURLConnectionOperation::isFinished() const { return state() == MCOperationFinishedState; }

void MCURLConnectionOperation::postNotification(const char* name) {
  NotificationPoster::shared().post(name, std::static_pointer_cast<const void>(shared_from_this()));
}

void MCURLConnectionOperation::start() {
  platform::RecursiveLock lock(lock_);
  auto self = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
  if (isCancelled()) {
    networkRequestThread().perform([self] { self->cancelConnection(); }, runsHostCode());
  } else if (isReady()) {
    setState(MCOperationExecutingState);
    networkRequestThread().perform([self] { self->operationDidStart(); }, runsHostCode());
    // Posted from here rather than from the network thread: a host that starts operations
    // on the main thread is not woken once more per request for it.
    postNotification(MCNetworkingOperationDidStartNotification);
  }
}

void MCURLConnectionOperation::operationDidStart() {
  {
    platform::RecursiveLock lock(lock_);
    if (!isCancelled() && state_ == MCOperationExecutingState) {
      connection_ = platform::URLConnection::create(request_, connectionDelegate(), credential_);
      outputStream()->open();
      connection_->start();
    }
  }
}

void MCURLConnectionOperation::finish() {
  if (!setState(MCOperationFinishedState)) return;
  {
    // A request whose success or failure block will run on the main queue anyway delivers
    // the notification at the start of that block instead of waking the main thread for it.
    platform::RecursiveLock lock(lock_);
    if (holdsFinishNotification_ && (!completionQueue_ || completionQueue_ == platform::dispatch::mainQueue())) {
      finishNotificationHeld_ = true;
      return;
    }
  }
  postNotification(MCNetworkingOperationDidFinishNotification);
}

void MCURLConnectionOperation::releaseFinishNotification(bool onMainNow) {
  {
    platform::RecursiveLock lock(lock_);
    if (!finishNotificationHeld_) return;
    finishNotificationHeld_ = false;
  }
  if (onMainNow)
    platform::NotificationCenter::defaultCenter()->postNotificationName(MCNetworkingOperationDidFinishNotification,
                                                                        std::static_pointer_cast<const void>(shared_from_this()));
  else
    postNotification(MCNetworkingOperationDidFinishNotification);
}

void MCURLConnectionOperation::cancel() {
  platform::RecursiveLock lock(lock_);
  if (isFinished() || isCancelled()) return;
  MCOperation::cancel();
  if (isExecuting()) {
    auto self = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
    networkRequestThread().perform([self] { self->cancelConnection(); }, runsHostCode());
  }
}

bool MCURLConnectionOperation::runsHostCode() const {
  platform::RecursiveLock lock(lock_);
  // An in-memory output stream of the kit's own runs no code of the host's, whoever made it;
  // the trust policy is plain data the kit's evaluation reads.
  const platform::OutputStream* out = outputStream_.get();
  bool hostOutput = out && typeid(*out) != typeid(platform::MemoryOutputStream);
  return redirectResponse_ || authenticationChallenge_ || request_.HTTPBodyStream || hostOutput;
}

void MCURLConnectionOperation::cancelConnection() {
  platform::RecursiveLock lock(lock_);
  platform::UserInfo info;
  if (!request_.URL.empty()) info[MCURLErrorFailingURLErrorKey] = request_.URL;
  platform::Error error = platform::Error::make(platform::URLErrorDomain, platform::URLErrorCancelled, "cancelled", info);
  if (isFinished()) return;
  if (connection_) {
    connection_->cancel();
    connectionDidFail(error);
  } else {
    error_ = error;
    finish();
  }
}

void MCURLConnectionOperation::pause() {
  platform::RecursiveLock lock(lock_);
  if (isPaused() || isFinished() || isCancelled()) return;
  if (isExecuting()) {
    auto self = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
    networkRequestThread().perform([self] { self->operationDidPause(); }, runsHostCode());
    postNotification(MCNetworkingOperationDidFinishNotification);
  }
  setState(MCOperationPausedState);
}

void MCURLConnectionOperation::operationDidPause() {
  platform::RecursiveLock lock(lock_);
  if (connection_) {
    connection_->cancel();
    connection_.reset();
  }
  // Here, after the connection stopped writing, the count of bytes received is final.
  prepareResumableRequest();
}

void MCURLConnectionOperation::resume() {
  platform::RecursiveLock lock(lock_);
  if (!isPaused()) return;
  setState(MCOperationReadyState);
  start();
}

// ---- connection callbacks (network thread) ----

platform::URLConnectionDelegate MCURLConnectionOperation::connectionDelegate() {
  // The running connection holds its operation, as a loading system holds its delegate: an
  // operation nobody else keeps still finishes and reports. The operation drops the
  // connection when it finishes, fails or pauses, which ends the cycle.
  // One reference for all callbacks: each capturing its own cost an allocation apiece.
  MCURLConnectionOperation* const self = this;
  platform::URLConnectionDelegate d;
  d.owner = shared_from_this();
  d.runsHostCode = runsHostCode();
  d.evaluateServerTrust = [self](const platform::ServerTrust& trust, const std::string& host) {
    AuthenticationChallengeBlock block;
    std::shared_ptr<MCSecurityPolicy> policy;
    {
      platform::RecursiveLock lock(self->lock_);
      block = self->authenticationChallenge_;
      policy = self->securityPolicy_;
    }
    if (block) return block(trust, host);
    return policy ? policy->evaluateServerTrust(trust, host) : trust.evaluate(host).trusted;
  };
  d.willSendRequest = [self](const platform::URLRequest& proposed, const platform::URLResponse& redirect,
                             std::optional<platform::URLLoadError>* refusal) -> std::optional<platform::URLRequest> {
    RedirectResponseBlock block;
    std::shared_ptr<MCSecurityPolicy> policy;
    {
      platform::RecursiveLock lock(self->lock_);
      block = self->redirectResponse_;
      policy = self->securityPolicy_;
    }
    std::optional<platform::URLRequest> next = block ? block(proposed, redirect) : std::optional<platform::URLRequest>(proposed);
    auto isHTTPS = [](const std::string& url) { return url.size() >= 6 && strncasecmp(url.c_str(), "https:", 6) == 0; };
    // A pinned connection must not go on in the clear: the pin would protect nothing.
    if (next && policy && policy->SSLPinningMode != MCSSLPinningModeNone && isHTTPS(redirect.URL) && !isHTTPS(next->URL)) {
      *refusal = platform::URLLoadError{platform::URLErrorDomain, platform::URLErrorSecureConnectionRequired,
                                        "a redirect from https to plain http is refused under pinning", redirect.URL};
      return std::nullopt;
    }
    return next;
  };
  d.didReceiveResponse = [self](platform::URLResponse response) {
    platform::RecursiveLock lock(self->lock_);
    const bool whole = response.statusCode == 200;
    self->response_ = std::move(response);
    // A server that ignores Range sends the whole body again: it replaces what we have.
    if (whole && self->request_.valueForHTTPHeaderField("Range")) {
      if (!self->outputStream()->truncate()) {
        self->connection_->cancel();
        self->connectionDidFail(errorFromStream(self->outputStream()->streamError(), "output stream cannot restart"));
        return;
      }
      self->totalBytesRead_ = 0;
      self->pendingBytesRead_ = 0;
    }
  };
  d.didReceiveData = [self](const uint8_t* bytes, size_t length) {
    return self->connectionDidReceiveData(bytes, length);
  };
  d.didSendBodyData = [self](int64_t written, int64_t total, int64_t expected) {
    auto strong = std::static_pointer_cast<MCURLConnectionOperation>(self->shared_from_this());
    platform::dispatch::async(platform::dispatch::mainQueue(), [self = std::move(strong), written, total, expected] {
      ProgressBlock block;
      {
        platform::RecursiveLock lock(self->lock_);
        block = self->uploadProgress_;
      }
      if (block) block(static_cast<uint64_t>(written), total, expected);
    });
  };
  d.didFinishLoading = [self] {
    platform::RecursiveLock lock(self->lock_);
    if (self->isFinished()) return;
    auto out = self->outputStream();
    if (auto* memory = dynamic_cast<platform::MemoryOutputStream*>(out.get())) {
      self->responseData_ = memory->data();
      self->outputStream_.reset();
    }
    out->close();
    self->connection_.reset();
    self->finish();
  };
  d.didFailWithError = [self](const platform::URLLoadError& e) {
    platform::UserInfo info;
    if (!e.failingURL.empty()) info[MCURLErrorFailingURLErrorKey] = e.failingURL;
    platform::RecursiveLock lock(self->lock_);
    self->connectionDidFail(platform::Error::make(e.domain, e.code, e.description, info));
  };
  return d;
}

bool MCURLConnectionOperation::connectionDidReceiveData(const uint8_t* bytes, size_t length) {
  std::shared_ptr<platform::OutputStream> out;
  {
    platform::RecursiveLock lock(lock_);
    if (isFinished()) return false;
    out = outputStream();
  }
  if (auto* memory = dynamic_cast<platform::MemoryOutputStream*>(out.get())) {
    uint64_t cap = maximumResponseDataLength();
    if (memory->data().size() + length > cap) {
      platform::RecursiveLock lock(lock_);
      platform::UserInfo info;
      if (!request_.URL.empty()) info[MCURLErrorFailingURLErrorKey] = request_.URL;
      connectionDidFail(platform::Error::make(platform::URLErrorDomain, platform::URLErrorDataLengthExceedsMaximum,
                                              "the reply is longer than the " + std::to_string(cap) +
                                                  " bytes an in-memory response may hold",
                                              info));
      return false;
    }
  }
  // A write that fails ends the operation with the stream's error; success would be a lie.
  bool written = out->hasSpaceAvailable();
  for (size_t done = 0; written && done < length;) {
    int64_t n = out->write(bytes + done, length - done);
    if (n <= 0) written = false;
    else done += static_cast<size_t>(n);
  }
  if (!written) {
    platform::RecursiveLock lock(lock_);
    connectionDidFail(errorFromStream(out->streamError(), "output stream is not open for writing"));
    return false;
  }
  // Chunks that arrive while a progress report is still queued join it: one main-queue
  // block per burst instead of one per chunk, and the reported bytes still add up.
  bool post = false;
  {
    platform::RecursiveLock lock(lock_);
    if (!downloadProgress_ && !progressPosted_) {
      // Nobody watches: the count needs no trip to the main queue.
      totalBytesRead_ += static_cast<int64_t>(length);
      return true;
    }
    pendingBytesRead_ += static_cast<int64_t>(length);
    post = !progressPosted_;
    progressPosted_ = true;
  }
  if (!post) return true;
  auto self = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
  platform::dispatch::async(platform::dispatch::mainQueue(), [self] {
    ProgressBlock block;
    int64_t bytes = 0, total = 0, expected = -1;
    {
      platform::RecursiveLock lock(self->lock_);
      bytes = self->pendingBytesRead_;
      self->pendingBytesRead_ = 0;
      self->progressPosted_ = false;
      self->totalBytesRead_ += bytes;
      total = self->totalBytesRead_;
      if (self->response_) expected = self->response_->expectedContentLength;
      block = self->downloadProgress_;
    }
    if (block && bytes > 0) block(static_cast<uint64_t>(bytes), total, expected);
  });
  return true;
}

void MCURLConnectionOperation::connectionDidFail(const platform::Error& error) {
  platform::RecursiveLock lock(lock_);
  if (isFinished()) return;
  error_ = error;
  if (outputStream_) {
    if (auto* memory = dynamic_cast<platform::MemoryOutputStream*>(outputStream_.get()); memory && !memory->data().empty()) {
      responseData_ = memory->data();
      outputStream_->close();
      outputStream_.reset();
    } else {
      outputStream_->close();
    }
  }
  connection_.reset();
  finish();
}

// ---- accessors ----

platform::URLRequest MCURLConnectionOperation::request() const {
  platform::RecursiveLock lock(lock_);
  return request_;
}

void MCURLConnectionOperation::setRequest(platform::URLRequest request) {
  platform::RecursiveLock lock(lock_);
  request_ = std::move(request);
}

std::optional<platform::URLResponse> MCURLConnectionOperation::response() const {
  platform::RecursiveLock lock(lock_);
  return response_;
}

std::optional<platform::Error> MCURLConnectionOperation::error() const {
  platform::RecursiveLock lock(lock_);
  return error_;
}

std::optional<Data> MCURLConnectionOperation::responseData() const {
  platform::RecursiveLock lock(lock_);
  return responseData_;
}

size_t MCURLConnectionOperation::responseDataLength() const {
  platform::RecursiveLock lock(lock_);
  return responseData_ ? responseData_->size() : 0;
}

void MCURLConnectionOperation::setResponseData(std::optional<Data> data) {
  platform::RecursiveLock lock(lock_);
  responseData_ = std::move(data);
}

platform::StringEncoding MCURLConnectionOperation::responseStringEncoding() {
  platform::RecursiveLock lock(lock_);
  if (!responseStringEncoding_ && response_) {
    auto e = platform::encodingForIANACharsetName(response_->textEncodingName);
    responseStringEncoding_ = e ? *e : platform::UTF8StringEncoding;
  }
  return responseStringEncoding_.value_or(platform::StringEncoding());
}

std::optional<std::string> MCURLConnectionOperation::responseString() {
  platform::RecursiveLock lock(lock_);
  if (!responseString_ && response_ && responseData_) responseString_ = platform::decodeString(*responseData_, responseStringEncoding());
  return responseString_;
}

int64_t MCURLConnectionOperation::totalBytesRead() const {
  platform::RecursiveLock lock(lock_);
  return totalBytesRead_;
}

void MCURLConnectionOperation::setUploadProgressBlock(ProgressBlock block) {
  platform::RecursiveLock lock(lock_);
  uploadProgress_ = std::move(block);
}

void MCURLConnectionOperation::setDownloadProgressBlock(ProgressBlock block) {
  platform::RecursiveLock lock(lock_);
  downloadProgress_ = std::move(block);
}

void MCURLConnectionOperation::setWillSendRequestForAuthenticationChallengeBlock(AuthenticationChallengeBlock block) {
  platform::RecursiveLock lock(lock_);
  authenticationChallenge_ = std::move(block);
}

void MCURLConnectionOperation::setRedirectResponseBlock(RedirectResponseBlock block) {
  platform::RecursiveLock lock(lock_);
  redirectResponse_ = std::move(block);
}

uint64_t MCURLConnectionOperation::maximumResponseDataLength() const {
  platform::RecursiveLock lock(lock_);
  return maximumResponseDataLength_;
}

void MCURLConnectionOperation::setMaximumResponseDataLength(uint64_t bytes) {
  platform::RecursiveLock lock(lock_);
  maximumResponseDataLength_ = bytes;
}

bool MCURLConnectionOperation::shouldUseCredentialStorage() const {
  platform::RecursiveLock lock(lock_);
  return shouldUseCredentialStorage_;
}

void MCURLConnectionOperation::setShouldUseCredentialStorage(bool value) {
  platform::RecursiveLock lock(lock_);
  shouldUseCredentialStorage_ = value;
}

std::optional<platform::URLCredential> MCURLConnectionOperation::credential() const {
  platform::RecursiveLock lock(lock_);
  return credential_;
}

void MCURLConnectionOperation::setCredential(std::optional<platform::URLCredential> credential) {
  platform::RecursiveLock lock(lock_);
  credential_ = std::move(credential);
}

std::shared_ptr<MCSecurityPolicy> MCURLConnectionOperation::securityPolicy() const {
  platform::RecursiveLock lock(lock_);
  return securityPolicy_;
}

void MCURLConnectionOperation::setSecurityPolicy(std::shared_ptr<MCSecurityPolicy> policy) {
  platform::RecursiveLock lock(lock_);
  securityPolicy_ = std::move(policy);
}

std::shared_ptr<platform::InputStream> MCURLConnectionOperation::inputStream() const {
  platform::RecursiveLock lock(lock_);
  return request_.HTTPBodyStream;
}

void MCURLConnectionOperation::setInputStream(std::shared_ptr<platform::InputStream> stream) {
  platform::RecursiveLock lock(lock_);
  request_.HTTPBodyStream = std::move(stream);
}

std::shared_ptr<platform::OutputStream> MCURLConnectionOperation::outputStream() {
  platform::RecursiveLock lock(lock_);
  if (!outputStream_) outputStream_ = std::make_shared<platform::MemoryOutputStream>();
  return outputStream_;
}

void MCURLConnectionOperation::setOutputStream(std::shared_ptr<platform::OutputStream> stream) {
  platform::RecursiveLock lock(lock_);
  if (stream == outputStream_) return;
  if (outputStream_) outputStream_->close();
  outputStream_ = std::move(stream);
}

platform::QueuePtr MCURLConnectionOperation::completionQueue() const {
  platform::RecursiveLock lock(lock_);
  return completionQueue_;
}

void MCURLConnectionOperation::setCompletionQueue(platform::QueuePtr queue) {
  platform::RecursiveLock lock(lock_);
  completionQueue_ = std::move(queue);
}

std::shared_ptr<platform::Group> MCURLConnectionOperation::completionGroup() const {
  platform::RecursiveLock lock(lock_);
  return completionGroup_;
}

void MCURLConnectionOperation::setCompletionGroup(std::shared_ptr<platform::Group> group) {
  platform::RecursiveLock lock(lock_);
  completionGroup_ = std::move(group);
}

nlohmann::json MCURLConnectionOperation::userInfo() const {
  platform::RecursiveLock lock(lock_);
  return userInfo_;
}

void MCURLConnectionOperation::setUserInfo(nlohmann::json info) {
  platform::RecursiveLock lock(lock_);
  userInfo_ = std::move(info);
}

// ---- completion ----

void MCURLConnectionOperation::setCompletionBlock(std::function<void()> block) {
  platform::RecursiveLock lock(lock_);
  holdsFinishNotification_ = false;
  if (!block) {
    MCOperation::setCompletionBlock(nullptr);
    return;
  }
  std::weak_ptr<MCURLConnectionOperation> weak = std::static_pointer_cast<MCURLConnectionOperation>(shared_from_this());
  MCOperation::setCompletionBlock([weak, block] {
    auto self = weak.lock();
    if (!self) return;
    auto group = self->completionGroup();
    if (!group) group = url_request_operation_completion_group();
    auto queue = self->completionQueue();
    if (!queue) queue = platform::dispatch::mainQueue();
    // The block runs with the operation alive; releasing it right after (rather than on a
    // further queue) frees what it held without another thread hop.
    group->async(queue, [self, block] {
      block();
      self->clearCompletionBlock();
    });
  });
}

void MCURLConnectionOperation::clearCompletionBlock() { MCOperation::setCompletionBlock(nullptr); }

std::vector<std::shared_ptr<MCOperation>> MCURLConnectionOperation::batchOfRequestOperations(
    const std::vector<std::shared_ptr<MCURLConnectionOperation>>& operations,
    std::function<void(size_t, size_t)> progressBlock,
    std::function<void(const std::vector<std::shared_ptr<MCURLConnectionOperation>>&)> completionBlock) {
  if (operations.empty()) {
    return {MCBlockOperation::blockOperationWithBlock([completionBlock] {
      platform::dispatch::async(platform::dispatch::mainQueue(), [completionBlock] {
        if (completionBlock) completionBlock({});
      });
    })};
  }
  auto group = platform::Group::create();
  auto batch = MCBlockOperation::blockOperationWithBlock([group, operations, completionBlock] {
    group->notify(platform::dispatch::mainQueue(), [operations, completionBlock] {
      if (completionBlock) completionBlock(operations);
    });
  });
  std::vector<std::shared_ptr<MCOperation>> out;
  for (const auto& op : operations) {
    op->setCompletionGroup(group);
    auto original = op->MCOperation::completionBlock();
    std::weak_ptr<MCURLConnectionOperation> weak = op;
    op->setCompletionBlock([original, operations, progressBlock, group] {
      if (original) original();
      size_t finished = 0;
      for (const auto& o : operations) finished += o->isFinished() ? 1 : 0;
      if (progressBlock) progressBlock(finished, operations.size());
      group->leave();
    });
    group->enter();
    batch->addDependency(op);
    out.push_back(op);
  }
  out.push_back(batch);
  return out;
}

std::string MCURLConnectionOperation::description() const {
  platform::RecursiveLock lock(lock_);
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<MCURLConnectionOperation: ") + address + ", state: " + stateKey(state_) +
         ", cancelled: " + (isCancelled() ? "YES" : "NO") + " request: <" + request_.HTTPMethod + " " + request_.URL +
         ">, response: " + (response_ ? "<" + std::to_string(response_->statusCode) + " " + response_->URL + ">" : "(null)") +
         ">";
}

// ---- archiving and copying ----

void MCURLConnectionOperation::encodeWithCoder(platform::KeyedArchiver& coder) {
  pause();
  // The network thread stops the connection and prepares the resumable request: wait for
  // that step, so the archive holds the request that continues where the reply stopped.
  if (!networkRequestThread().isCurrent()) {
    auto done = std::make_shared<std::promise<void>>();
    auto reached = done->get_future();
    networkRequestThread().perform([done] { done->set_value(); });
    reached.wait_for(std::chrono::seconds(5));
  }
  platform::RecursiveLock lock(lock_);
  mccoding::encodeRequest(coder, request_, "request");
  int64_t state = state_.load();
  if (state == MCOperationExecutingState || state == MCOperationPausedState) state = MCOperationReadyState;
  coder.encodeInt(state, "state");
  if (response_) mccoding::encodeResponse(coder, *response_, "response");
  if (error_) mccoding::encodeError(coder, *error_, "error");
  if (responseData_) coder.encodeData(*responseData_, "responseData");
  coder.encodeInt(totalBytesRead_, "totalBytesRead");
}

void MCURLConnectionOperation::decodeFields(const platform::KeyedUnarchiver& coder) {
  platform::RecursiveLock lock(lock_);
  // Through the transition rules: whatever was stored, a new operation only becomes ready.
  setState(coder.decodeIntForKey("state"));
  response_ = mccoding::decodeResponse(coder, "response");
  error_ = mccoding::decodeError(coder, "error");
  if (coder.containsValueForKey("responseData")) responseData_ = coder.decodeDataForKey("responseData");
  totalBytesRead_ = coder.decodeIntForKey("totalBytesRead");
}

std::shared_ptr<MCURLConnectionOperation> MCURLConnectionOperation::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto request = mccoding::decodeRequest(coder, "request");
  if (!request) return nullptr;
  auto op = initWithRequest(*request);
  op->decodeFields(coder);
  return op;
}

void MCURLConnectionOperation::copyFieldsInto(MCURLConnectionOperation& other) const {
  platform::RecursiveLock lock(lock_);
  platform::RecursiveLock otherLock(other.lock_);  // `other` is new: no one else holds it
  other.uploadProgress_ = uploadProgress_;
  other.downloadProgress_ = downloadProgress_;
  other.authenticationChallenge_ = authenticationChallenge_;
  other.redirectResponse_ = redirectResponse_;
  other.completionQueue_ = completionQueue_;
  other.completionGroup_ = completionGroup_;
}

std::shared_ptr<MCURLConnectionOperation> MCURLConnectionOperation::makeCopy() const { return initWithRequest(request()); }

std::shared_ptr<MCURLConnectionOperation> MCURLConnectionOperation::copy() const {
  auto op = makeCopy();
  copyFieldsInto(*op);
  return op;
}
