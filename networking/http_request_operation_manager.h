// The client's entry point: turns a method, a URL string and parameters into a queued HTTP
// request operation and reports through success and failure blocks, which arrive on
// `completionQueue` (the main queue when none). Verb methods may be called from any thread;
// configure the manager's fields before sending requests.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "networking/http_request_operation.h"
#include "networking/operation_queue.h"
#include "networking/reachability_manager.h"
#include "networking/request_serialization.h"
#include "networking/response_serialization.h"
#include "networking/security_policy.h"

class MCHTTPRequestOperationManager {
 public:
  using SuccessBlock = MCHTTPRequestOperation::SuccessBlock;
  using FailureBlock = std::function<void(const std::shared_ptr<MCHTTPRequestOperation>& operation, const platform::Error& error)>;
  using HeadSuccessBlock = std::function<void(const std::shared_ptr<MCHTTPRequestOperation>& operation)>;
  using Operation = std::shared_ptr<MCHTTPRequestOperation>;

  static std::shared_ptr<MCHTTPRequestOperationManager> manager() { return initWithBaseURL(std::nullopt); }
  // A base URL with a path gets a trailing "/" so relative strings resolve below it.
  static std::shared_ptr<MCHTTPRequestOperationManager> initWithBaseURL(std::optional<std::string> url);
  MCHTTPRequestOperationManager();
  virtual ~MCHTTPRequestOperationManager() = default;

  std::optional<std::string> baseURL;
  std::shared_ptr<MCHTTPRequestSerializer> requestSerializer = MCHTTPRequestSerializer::serializer();
  std::shared_ptr<MCHTTPResponseSerializer> responseSerializer = MCJSONResponseSerializer::serializer();
  std::shared_ptr<MCOperationQueue> operationQueue = MCOperationQueue::create();
  bool shouldUseCredentialStorage = true;
  std::optional<platform::URLCredential> credential;
  std::shared_ptr<MCSecurityPolicy> securityPolicy = MCSecurityPolicy::defaultPolicy();
  std::shared_ptr<MCNetworkReachabilityManager> reachabilityManager;
  platform::QueuePtr completionQueue;
  std::shared_ptr<platform::Group> completionGroup;
  // The most bytes one reply may bring into memory: a longer reply fails as it arrives, with
  // URLErrorDataLengthExceedsMaximum, and is never parsed. Callers that know what their
  // service answers set a bound near that.
  uint64_t maximumResponseDataLength = MCURLConnectionOperation::kDefaultMaximumResponseDataLength;

  Operation HTTPRequestOperationWithRequest(platform::URLRequest request, SuccessBlock success, FailureBlock failure);
  Operation GET(const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);
  Operation HEAD(const std::string& URLString, const nlohmann::json& parameters, HeadSuccessBlock success, FailureBlock failure);
  Operation POST(const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);
  Operation POST(const std::string& URLString, const nlohmann::json& parameters, const MCMultipartFormDataBlock& constructingBodyWithBlock,
                 SuccessBlock success, FailureBlock failure);
  Operation PUT(const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);
  Operation PATCH(const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);
  Operation DELETE(const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);

  std::string description() const;

  // Archiving keeps "baseURL", "requestSerializer" and "responseSerializer"; decoding
  // rebuilds with initWithBaseURL and restores both serializers. A copy has the same base
  // URL and copies of both serializers; other fields start from their defaults.
  static const char* className() { return "MCHTTPRequestOperationManager"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCHTTPRequestOperationManager> initWithCoder(const platform::KeyedUnarchiver& coder);
  std::shared_ptr<MCHTTPRequestOperationManager> copy() const;

 private:
  Operation HTTPRequestOperationWithHTTPMethod(const std::string& method, const std::string& URLString,
                                               const nlohmann::json& parameters, SuccessBlock success, FailureBlock failure);
  Operation enqueue(std::optional<platform::URLRequest> request, const std::optional<platform::Error>& error,
                    SuccessBlock success, FailureBlock failure);
};
