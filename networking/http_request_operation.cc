#include "networking/http_request_operation.h"

platform::QueuePtr http_request_operation_processing_queue() {
  static const auto queue = platform::dispatch::concurrentQueue("com.marvisto.networking.http-request.processing");
  return queue;
}

std::shared_ptr<platform::Group> http_request_operation_completion_group() {
  static const auto group = platform::Group::create();
  return group;
}

std::shared_ptr<MCHTTPRequestOperation> MCHTTPRequestOperation::initWithRequest(platform::URLRequest request) {
  return std::make_shared<MCHTTPRequestOperation>(std::move(request));
}

MCHTTPRequestOperation::MCHTTPRequestOperation(platform::URLRequest request)
    : MCURLConnectionOperation(std::move(request)), responseSerializer_(MCHTTPResponseSerializer::serializer()) {}

std::shared_ptr<MCHTTPResponseSerializer> MCHTTPRequestOperation::responseSerializer() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return responseSerializer_;
}

void MCHTTPRequestOperation::setResponseSerializer(std::shared_ptr<MCHTTPResponseSerializer> serializer) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  responseSerializer_ = std::move(serializer);
  responseObject_.reset();
  responseSerializationError_.reset();
}

MCResponseObject MCHTTPRequestOperation::responseObject() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!responseObject_.has_value() && isFinished() && !error() && responseSerializer_) {
    auto response = this->response();
    Data data = responseData().value_or(Data());
    std::optional<platform::Error> serializationError;
    responseObject_ = responseSerializer_->responseObjectForResponse(response ? &*response : nullptr, data, &serializationError);
    if (serializationError) responseSerializationError_ = serializationError;
  }
  return responseObject_;
}

std::optional<platform::Error> MCHTTPRequestOperation::responseSerializationError() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return responseSerializationError_;
}

std::optional<platform::Error> MCHTTPRequestOperation::error() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (responseSerializationError_) return responseSerializationError_;
  return MCURLConnectionOperation::error();
}

void MCHTTPRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) {
  // The block holds the operation until it has run; clearing it afterwards breaks the cycle.
  auto self = std::static_pointer_cast<MCHTTPRequestOperation>(shared_from_this());
  setCompletionBlock([self, success, failure] {
    auto group = self->completionGroup();
    if (group) group->enter();
    platform::dispatch::async(http_request_operation_processing_queue(), [self, success, failure, group] {
      auto callbackGroup = group ? group : http_request_operation_completion_group();
      auto queue = self->completionQueue();
      if (!queue) queue = platform::dispatch::mainQueue();
      if (auto error = self->error()) {
        if (failure) callbackGroup->async(queue, [self, failure, e = *error] { failure(self, e); });
      } else {
        MCResponseObject object = self->responseObject();
        if (auto error = self->error()) {
          if (failure) callbackGroup->async(queue, [self, failure, e = *error] { failure(self, e); });
        } else if (success) {
          callbackGroup->async(queue, [self, success, object] { success(self, object); });
        }
      }
      if (group) group->leave();
    });
  });
}

void MCHTTPRequestOperation::prepareResumableRequest() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
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
