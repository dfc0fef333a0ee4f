// A connection operation that validates and decodes its reply with a response serializer
// and reports through a success and a failure block. The blocks arrive on the completion
// queue (main when none); parsing runs on the shared processing queue first. Safe from any
// thread: the cached response object and the serializer are guarded by the operation's lock.
#pragma once
#include <functional>
#include <memory>

#include "networking/response_serialization.h"
#include "networking/url_connection_operation.h"

class MCHTTPRequestOperation : public MCURLConnectionOperation {
 public:
  using SuccessBlock = std::function<void(const std::shared_ptr<MCHTTPRequestOperation>& operation, const MCResponseObject& responseObject)>;
  using FailureBlock = std::function<void(const std::shared_ptr<MCHTTPRequestOperation>& operation, const platform::Error& error)>;

  static std::shared_ptr<MCHTTPRequestOperation> initWithRequest(platform::URLRequest request);
  explicit MCHTTPRequestOperation(platform::URLRequest request);
  // With the serializer it will use (the manager's), instead of a new one replaced at once.
  MCHTTPRequestOperation(platform::URLRequest request, std::shared_ptr<MCHTTPResponseSerializer> serializer);

  std::shared_ptr<MCHTTPResponseSerializer> responseSerializer() const;
  // Clears the cached response object and serialization error.
  void setResponseSerializer(std::shared_ptr<MCHTTPResponseSerializer> serializer);
  // Parsed once, when first read after the operation finished without error.
  MCResponseObject responseObject();
  std::optional<platform::Error> responseSerializationError() const;
  std::optional<platform::Error> error() const override;

  void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure);

  // Archiving adds "responseSerializer"; a copy also has a copy of the response serializer.
  static const char* className() { return "MCHTTPRequestOperation"; }
  const char* archiveClassName() const override { return className(); }
  void encodeWithCoder(platform::KeyedArchiver& coder) override;
  static std::shared_ptr<MCHTTPRequestOperation> initWithCoder(const platform::KeyedUnarchiver& coder);
  std::shared_ptr<MCHTTPRequestOperation> copy() const;

 protected:
  std::shared_ptr<MCURLConnectionOperation> makeCopy() const override;
  // Asks for the rest of the body: "Range" from the bytes already kept, "If-Range" with the
  // reply's entity tag.
  void prepareResumableRequest() override REQUIRES(lock_);

 private:
  // The cached object, shared with the success block instead of copied for it.
  std::shared_ptr<const MCResponseObject> parsedResponseObject();
  std::shared_ptr<MCHTTPResponseSerializer> responseSerializer_ GUARDED_BY(lock_);
  std::shared_ptr<const MCResponseObject> responseObject_ GUARDED_BY(lock_);
  std::optional<platform::Error> responseSerializationError_ GUARDED_BY(lock_);
};

// The process-wide concurrent queue where replies are parsed, and the group of callbacks.
platform::QueuePtr http_request_operation_processing_queue();
std::shared_ptr<platform::Group> http_request_operation_completion_group();
