#include "networking/http_request_operation_manager.h"

#include <cstdio>

std::shared_ptr<MCHTTPRequestOperationManager> MCHTTPRequestOperationManager::initWithBaseURL(std::optional<std::string> url) {
  auto m = std::make_shared<MCHTTPRequestOperationManager>();
  if (url) {
    std::string u = *url;
    size_t scheme = u.find("://");
    size_t pathStart = scheme == std::string::npos ? std::string::npos : u.find('/', scheme + 3);
    bool hasPath = pathStart != std::string::npos && pathStart + 1 < u.size();
    if (hasPath && u.back() != '/') u += "/";
    m->baseURL = u;
  }
  return m;
}

MCHTTPRequestOperationManager::MCHTTPRequestOperationManager() : reachabilityManager(MCNetworkReachabilityManager::sharedManager()) {}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::HTTPRequestOperationWithRequest(
    platform::URLRequest request, SuccessBlock success, FailureBlock failure) {
  auto op = std::make_shared<MCHTTPRequestOperation>(std::move(request), responseSerializer);
  op->setShouldUseCredentialStorage(shouldUseCredentialStorage);
  op->setCredential(credential);
  op->setSecurityPolicy(securityPolicy);
  op->setMaximumResponseDataLength(maximumResponseDataLength);
  op->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
  op->setCompletionQueue(completionQueue);
  op->setCompletionGroup(completionGroup);
  return op;
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::enqueue(std::optional<platform::URLRequest> request,
                                                                               const std::optional<platform::Error>& error,
                                                                               SuccessBlock success, FailureBlock failure) {
  if (error || !request) {
    if (failure) {
      auto queue = completionQueue ? completionQueue : platform::dispatch::mainQueue();
      platform::Error e = error ? *error : platform::Error::make(MCURLRequestSerializationErrorDomain, platform::URLErrorBadURL, "bad request");
      platform::dispatch::async(queue, [failure, e] { failure(nullptr, e); });
    }
    return nullptr;
  }
  auto op = HTTPRequestOperationWithRequest(std::move(*request), std::move(success), std::move(failure));
  operationQueue->addOperation(op);
  return op;
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::HTTPRequestOperationWithHTTPMethod(
    const std::string& method, const std::string& URLString, const nlohmann::json& parameters, SuccessBlock success,
    FailureBlock failure) {
  std::optional<platform::Error> error;
  std::string url = baseURL ? platform::resolveURL(URLString, *baseURL) : URLString;
  auto request = requestSerializer->requestWithMethod(method, url, parameters, &error);
  return enqueue(std::move(request), error, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::GET(const std::string& URLString,
                                                                           const nlohmann::json& parameters,
                                                                           SuccessBlock success, FailureBlock failure) {
  return HTTPRequestOperationWithHTTPMethod("GET", URLString, parameters, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::HEAD(const std::string& URLString,
                                                                            const nlohmann::json& parameters,
                                                                            HeadSuccessBlock success, FailureBlock failure) {
  SuccessBlock wrapped;
  if (success) wrapped = [success](const Operation& op, const MCResponseObject&) { success(op); };
  return HTTPRequestOperationWithHTTPMethod("HEAD", URLString, parameters, std::move(wrapped), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::POST(const std::string& URLString,
                                                                            const nlohmann::json& parameters,
                                                                            SuccessBlock success, FailureBlock failure) {
  return HTTPRequestOperationWithHTTPMethod("POST", URLString, parameters, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::POST(const std::string& URLString,
                                                                            const nlohmann::json& parameters,
                                                                            const MCMultipartFormDataBlock& constructingBodyWithBlock,
                                                                            SuccessBlock success, FailureBlock failure) {
  std::optional<platform::Error> error;
  std::string url = baseURL ? platform::resolveURL(URLString, *baseURL) : URLString;
  auto request = requestSerializer->multipartFormRequestWithMethod("POST", url, parameters, constructingBodyWithBlock, &error);
  return enqueue(std::move(request), error, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::PUT(const std::string& URLString,
                                                                           const nlohmann::json& parameters,
                                                                           SuccessBlock success, FailureBlock failure) {
  return HTTPRequestOperationWithHTTPMethod("PUT", URLString, parameters, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::PATCH(const std::string& URLString,
                                                                             const nlohmann::json& parameters,
                                                                             SuccessBlock success, FailureBlock failure) {
  return HTTPRequestOperationWithHTTPMethod("PATCH", URLString, parameters, std::move(success), std::move(failure));
}

MCHTTPRequestOperationManager::Operation MCHTTPRequestOperationManager::DELETE(const std::string& URLString,
                                                                              const nlohmann::json& parameters,
                                                                              SuccessBlock success, FailureBlock failure) {
  return HTTPRequestOperationWithHTTPMethod("DELETE", URLString, parameters, std::move(success), std::move(failure));
}

std::string MCHTTPRequestOperationManager::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  char queue[32];
  std::snprintf(queue, sizeof queue, "%p", static_cast<const void*>(operationQueue.get()));
  return std::string("<MCHTTPRequestOperationManager: ") + address + ", baseURL: " + baseURL.value_or("(null)") +
         ", operationQueue: <MCOperationQueue: " + queue + ">>";
}

void MCHTTPRequestOperationManager::encodeWithCoder(platform::KeyedArchiver& coder) const {
  if (baseURL) coder.encodeString(*baseURL, "baseURL");
  if (requestSerializer) {
    platform::KeyedArchiver sub(requestSerializer->archiveClassName());
    requestSerializer->encodeWithCoder(sub);
    coder.adopt("requestSerializer", std::move(sub));
  }
  if (responseSerializer) MCHTTPResponseSerializer::encodeSerializer(coder, *responseSerializer, "responseSerializer");
}

std::shared_ptr<MCHTTPRequestOperationManager> MCHTTPRequestOperationManager::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto m = initWithBaseURL(coder.containsValueForKey("baseURL") ? std::optional<std::string>(coder.decodeStringForKey("baseURL"))
                                                                 : std::nullopt);
  if (auto sub = coder.objectForKey("requestSerializer"))
    if (auto s = MCHTTPRequestSerializer::initWithCoder(*sub)) m->requestSerializer = s;
  if (auto s = MCHTTPResponseSerializer::decodeSerializer(coder, "responseSerializer")) m->responseSerializer = s;
  return m;
}

std::shared_ptr<MCHTTPRequestOperationManager> MCHTTPRequestOperationManager::copy() const {
  auto m = initWithBaseURL(baseURL);
  if (requestSerializer) m->requestSerializer = requestSerializer->copy();
  if (responseSerializer) m->responseSerializer = responseSerializer->copy();
  return m;
}
