#include "networking/http_request_operation.h"

#include <algorithm>
#include <deque>
#include <thread>
#include <typeinfo>

#include "networking/coding.h"
#include "platform/mutex.h"

namespace {

// A concurrent queue that keeps at most `width` of its blocks on the shared pool at a time
// and holds the rest in order: a burst of replies is parsed by a few workers, each taking
// the next block as it finishes, instead of growing the pool by one thread per reply.
class BoundedConcurrentQueue final : public platform::Queue {
 public:
  BoundedConcurrentQueue(std::string label, size_t width) : Queue(std::move(label)), width_(width) {}
  bool isSerial() const override { return false; }
  bool isCurrent() const override { return current_ == this; }
  void async(platform::Block block) override {
    {
      platform::MutexLock lock(mutex_);
      pending_.push_back(std::move(block));
      if (workers_ >= width_) return;
      ++workers_;
    }
    platform::dispatch::async(platform::dispatch::globalQueue(), [this] { work(); });
  }

  // Runs `block` at once on the calling thread, as a block of this queue, when one of its
  // places is free and no block waits for one: a reply that is ready where the operation
  // finished is parsed there instead of waking a worker for it. False (and `block` left as
  // it was) otherwise.
  bool runHereIfIdle(platform::Block& block) {
    {
      platform::MutexLock lock(mutex_);
      if (!pending_.empty() || workers_ >= width_) return false;
      ++workers_;
    }
    const Queue* saved = current_;
    current_ = this;
    block();
    block = nullptr;
    current_ = saved;
    {
      platform::MutexLock lock(mutex_);
      // Blocks queued meanwhile found this place taken: a worker takes it over for them.
      if (pending_.empty()) {
        --workers_;
        return true;
      }
    }
    platform::dispatch::async(platform::dispatch::globalQueue(), [this] { work(); });
    return true;
  }

 private:
  void work() {
    const Queue* saved = current_;
    current_ = this;
    for (;;) {
      platform::Block block;
      {
        platform::MutexLock lock(mutex_);
        if (pending_.empty()) {
          --workers_;
          break;
        }
        block = std::move(pending_.front());
        pending_.pop_front();
      }
      block();
    }
    current_ = saved;
  }
  static inline thread_local const Queue* current_ = nullptr;
  const size_t width_;
  platform::Mutex mutex_;
  std::deque<platform::Block> pending_ GUARDED_BY(mutex_);
  size_t workers_ GUARDED_BY(mutex_) = 0;
};

// Kept to the end of the process: pool threads may parse after main returned.
const std::shared_ptr<BoundedConcurrentQueue>& processingQueue() {
  static const auto* queue = new std::shared_ptr<BoundedConcurrentQueue>(std::make_shared<BoundedConcurrentQueue>(
      "com.marvisto.networking.http-request.processing", std::max(2u, std::thread::hardware_concurrency())));
  return *queue;
}

// Replies up to this size are parsed in a few microseconds.
constexpr size_t kParseInPlaceMaxBytes = 16 * 1024;

// Whether parsing with `s` runs only the kit's own code. The main thread parses in place only
// with such a serializer: a host's own must not find itself on the main thread.
bool kitSerializer(const MCHTTPResponseSerializer* s) {
  if (!s) return true;
  const std::type_info& t = typeid(*s);
  if (t == typeid(MCCompoundResponseSerializer)) {
    const auto& inner = static_cast<const MCCompoundResponseSerializer*>(s)->responseSerializers;
    return std::all_of(inner.begin(), inner.end(), [](const auto& i) { return kitSerializer(i.get()); });
  }
  return t == typeid(MCHTTPResponseSerializer) || t == typeid(MCJSONResponseSerializer) ||
         t == typeid(MCXMLParserResponseSerializer) || t == typeid(MCPropertyListResponseSerializer) ||
         t == typeid(MCImageResponseSerializer);
}

}  // namespace

platform::QueuePtr http_request_operation_processing_queue() { return processingQueue(); }

std::shared_ptr<platform::Group> http_request_operation_completion_group() {
  static const auto* group = new std::shared_ptr<platform::Group>(platform::Group::create());
  return *group;
}

std::shared_ptr<MCHTTPRequestOperation> MCHTTPRequestOperation::initWithRequest(platform::URLRequest request) {
  return std::make_shared<MCHTTPRequestOperation>(std::move(request));
}

MCHTTPRequestOperation::MCHTTPRequestOperation(platform::URLRequest request)
    : MCURLConnectionOperation(std::move(request)), responseSerializer_(MCHTTPResponseSerializer::serializer()) {}

MCHTTPRequestOperation::MCHTTPRequestOperation(platform::URLRequest request, std::shared_ptr<MCHTTPResponseSerializer> serializer)
    : MCURLConnectionOperation(std::move(request)), responseSerializer_(std::move(serializer)) {}

std::shared_ptr<MCHTTPResponseSerializer> MCHTTPRequestOperation::responseSerializer() const {
  platform::RecursiveLock lock(lock_);
  return responseSerializer_;
}

void MCHTTPRequestOperation::setResponseSerializer(std::shared_ptr<MCHTTPResponseSerializer> serializer) {
  platform::RecursiveLock lock(lock_);
  responseSerializer_ = std::move(serializer);
  responseObject_.reset();
  responseSerializationError_.reset();
}

MCResponseObject MCHTTPRequestOperation::responseObject() {
  auto object = parsedResponseObject();
  return object ? *object : MCResponseObject();
}

std::shared_ptr<const MCResponseObject> MCHTTPRequestOperation::parsedResponseObject() {
  platform::RecursiveLock lock(lock_);
  if ((!responseObject_ || !responseObject_->has_value()) && isFinished() && !error() && responseSerializer_) {
    // Read in place under the lock, which the parse holds anyway: a reply is not copied for it.
    const auto& response = responseHoldingLock();
    static const Data kNoData;
    const auto& data = responseDataHoldingLock();
    std::optional<platform::Error> serializationError;
    responseObject_ = std::make_shared<const MCResponseObject>(responseSerializer_->responseObjectForResponse(
        response ? &*response : nullptr, data ? *data : kNoData, &serializationError));
    if (serializationError) responseSerializationError_ = serializationError;
  }
  return responseObject_;
}

std::optional<platform::Error> MCHTTPRequestOperation::responseSerializationError() const {
  platform::RecursiveLock lock(lock_);
  return responseSerializationError_;
}

std::optional<platform::Error> MCHTTPRequestOperation::error() const {
  platform::RecursiveLock lock(lock_);
  if (responseSerializationError_) return responseSerializationError_;
  return MCURLConnectionOperation::error();
}

void MCHTTPRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) {
  // Runs where the operation finished (the network thread) and goes straight on to the
  // processing queue (in place when that is cheaper, below): the reply is parsed off the main
  // queue and only the success or failure block comes back to the completion queue. The block holds the operation weakly, so an
  // operation never queued is freed; whoever runs the block holds it meanwhile.
  std::weak_ptr<MCHTTPRequestOperation> weak = std::static_pointer_cast<MCHTTPRequestOperation>(shared_from_this());
  {
    platform::RecursiveLock lock(lock_);
    holdsFinishNotification_ = success || failure;
  }
  MCOperation::setCompletionBlock([weak, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    auto group = self->completionGroup();
    if (group) group->enter();
    platform::Block process = [self, success, failure, group] {
      auto callbackGroup = group ? group : http_request_operation_completion_group();
      auto queue = self->completionQueue();
      if (!queue) queue = platform::dispatch::mainQueue();
      bool onMain = queue == platform::dispatch::mainQueue();
      bool dispatched = false;
      // Each callback goes into the queue's block as it is, not through a wrapper of its own.
      auto deliver = [&](auto callback) {
        dispatched = true;
        callbackGroup->async(queue, [self, callback = std::move(callback), onMain] {
          self->releaseFinishNotification(onMain);
          callback();
        });
      };
      // The parsed object and the error move along the chain: a JSON reply copied at every
      // hand-off cost more than its parse.
      if (auto error = self->error()) {
        if (failure) deliver([self, failure, e = std::move(*error)] { failure(self, e); });
      } else {
        auto object = self->parsedResponseObject();
        if (auto error = self->error()) {
          if (failure) deliver([self, failure, e = std::move(*error)] { failure(self, e); });
        } else if (success) {
          deliver([self, success, object = std::move(object)] {
            static const MCResponseObject kNone;
            success(self, object ? *object : kNone);
          });
        }
      }
      if (!dispatched) self->releaseFinishNotification(false);
      if (group) group->leave();
      // Released once run, with whatever the blocks held.
      self->clearCompletionBlock();
    };
    // A small reply is parsed right where it finished when a hand-off to a worker would cost
    // more than the parse: on a network thread with nothing else to do (a caller sending one
    // request after another), or on a thread that drives the transfers while it waits (the
    // main thread with nothing else to run) when the serializer is the kit's own. Otherwise
    // the driver goes back to its transfers.
    auto& network = networkRequestThread();
    bool small = self->responseDataLength() <= kParseInPlaceMaxBytes;
    bool here = network.isIdle() || (network.drivesWhileWaiting() && kitSerializer(self->responseSerializer().get()));
    if (small && here && processingQueue()->runHereIfIdle(process)) return;
    processingQueue()->async(std::move(process));
  });
}

void MCHTTPRequestOperation::prepareResumableRequest() {
  auto out = outputStream();
  uint64_t received = 0;
  if (auto offset = out->fileCurrentOffset()) received = *offset;
  else if (auto* memory = dynamic_cast<platform::MemoryOutputStream*>(out.get())) received = memory->data().size();
  platform::URLRequest resumed = request();
  resumed.setValue("bytes=" + std::to_string(received) + "-", "Range");
  if (auto r = response())
    if (auto etag = platform::headerValue(r->allHeaderFields, "ETag")) resumed.setValue(*etag, "If-Range");
  setRequest(resumed);
}

void MCHTTPRequestOperation::encodeWithCoder(platform::KeyedArchiver& coder) {
  MCURLConnectionOperation::encodeWithCoder(coder);
  if (auto s = responseSerializer()) MCHTTPResponseSerializer::encodeSerializer(coder, *s, "responseSerializer");
}

std::shared_ptr<MCHTTPRequestOperation> MCHTTPRequestOperation::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto request = mccoding::decodeRequest(coder, "request");
  if (!request) return nullptr;
  auto op = initWithRequest(*request);
  op->decodeFields(coder);
  if (auto s = MCHTTPResponseSerializer::decodeSerializer(coder, "responseSerializer")) op->setResponseSerializer(s);
  return op;
}

std::shared_ptr<MCURLConnectionOperation> MCHTTPRequestOperation::makeCopy() const {
  auto op = initWithRequest(request());
  if (auto s = responseSerializer()) op->setResponseSerializer(s->copy());
  return op;
}

std::shared_ptr<MCHTTPRequestOperation> MCHTTPRequestOperation::copy() const {
  return std::static_pointer_cast<MCHTTPRequestOperation>(MCURLConnectionOperation::copy());
}
