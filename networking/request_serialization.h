// Request serializers: (method, URL string, parameters) -> a ready URL request, with the
// parameters in the query (GET, HEAD, DELETE) or in a form, JSON or property-list body.
// Parameters are JSON values; a null value means "no parameters". Configure a serializer
// before handing it out; afterwards it may be used from several threads at once.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "networking/networking_exports.h"
#include "platform/error.h"
#include "platform/keyed_archiver.h"
#include "platform/text_encoding.h"
#include "platform/url_request.h"

class MCStreamingMultipartFormData;
using MCMultipartFormDataBlock = std::function<void(MCStreamingMultipartFormData& formData)>;

struct MCQueryStringPair {
  nlohmann::json field;  // null: none
  nlohmann::json value;
  MCQueryStringPair(nlohmann::json f, nlohmann::json v) : field(std::move(f)), value(std::move(v)) {}
  static MCQueryStringPair initWithField(nlohmann::json f, nlohmann::json v) { return {std::move(f), std::move(v)}; }
  std::string URLEncodedStringValue() const;
};

std::string MCPercentEscapedStringFromString(const std::string& string);
std::vector<MCQueryStringPair> MCQueryStringPairsFromDictionary(const nlohmann::json& dictionary);
std::vector<MCQueryStringPair> MCQueryStringPairsFromKeyAndValue(const nlohmann::json& key, const nlohmann::json& value);
// The text a value stands for in a query or a form part (a string as is, numbers in their
// shortest form, booleans as 1 and 0).
std::string MCQueryValueDescription(const nlohmann::json& value);

using MCQueryStringSerializationBlock =
    std::function<std::string(const platform::URLRequest& request, const nlohmann::json& parameters,
                              std::optional<platform::Error>* error)>;

class MCHTTPRequestSerializer {
 public:
  static std::shared_ptr<MCHTTPRequestSerializer> serializer() { return std::make_shared<MCHTTPRequestSerializer>(); }
  MCHTTPRequestSerializer();
  virtual ~MCHTTPRequestSerializer() = default;

  platform::StringEncoding stringEncoding = platform::UTF8StringEncoding;
  std::set<std::string> HTTPMethodsEncodingParametersInURI{"GET", "HEAD", "DELETE"};

  // The six request settings; only those set here are copied into requests.
  void setAllowsCellularAccess(bool v) { allowsCellularAccess_ = v; changed("allowsCellularAccess"); }
  void setCachePolicy(long v) { cachePolicy_ = v; changed("cachePolicy"); }
  void setHTTPShouldHandleCookies(bool v) { HTTPShouldHandleCookies_ = v; changed("HTTPShouldHandleCookies"); }
  void setHTTPShouldUsePipelining(bool v) { HTTPShouldUsePipelining_ = v; changed("HTTPShouldUsePipelining"); }
  void setNetworkServiceType(long v) { networkServiceType_ = v; changed("networkServiceType"); }
  void setTimeoutInterval(double v) { timeoutInterval_ = v; changed("timeoutInterval"); }
  double timeoutInterval() const { return timeoutInterval_; }
  const std::set<std::string>& mutableObservedChangedKeyPaths() const { return changedKeyPaths_; }

  platform::HeaderList HTTPRequestHeaders() const { return headers_; }
  void setValue(std::optional<std::string> value, const std::string& field) { platform::setHeaderValue(headers_, field, std::move(value)); }
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const { return platform::headerValue(headers_, field); }
  void setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password);
  void setAuthorizationHeaderFieldWithToken(const std::string& token);
  void clearAuthorizationHeader() { setValue(std::nullopt, "Authorization"); }

  unsigned long queryStringSerializationStyle() const { return queryStringSerializationStyle_; }
  void setQueryStringSerializationWithStyle(unsigned long style);
  void setQueryStringSerializationWithBlock(MCQueryStringSerializationBlock block) { queryStringSerialization_ = std::move(block); }

  std::optional<platform::URLRequest> requestWithMethod(const std::string& method, const std::string& URLString,
                                                        const nlohmann::json& parameters,
                                                        std::optional<platform::Error>* error = nullptr) const;
  virtual std::optional<platform::URLRequest> requestBySerializingRequest(const platform::URLRequest& request,
                                                                          const nlohmann::json& parameters,
                                                                          std::optional<platform::Error>* error) const;
  // Archiving keeps the default headers ("mutableHTTPRequestHeaders") and the query style
  // ("queryStringSerializationStyle"), plus each subclass's options; decoding starts from a
  // fresh serializer of the archived class. A copy also keeps the query callback.
  static const char* className() { return "MCHTTPRequestSerializer"; }
  virtual const char* archiveClassName() const { return className(); }
  virtual void encodeWithCoder(platform::KeyedArchiver& coder) const;
  // A serializer of whichever request-serializer class the coder holds; none for others.
  static std::shared_ptr<MCHTTPRequestSerializer> initWithCoder(const platform::KeyedUnarchiver& coder);
  virtual std::shared_ptr<MCHTTPRequestSerializer> copy() const;

  std::optional<platform::URLRequest> multipartFormRequestWithMethod(const std::string& method, const std::string& URLString,
                                                                     const nlohmann::json& parameters,
                                                                     const MCMultipartFormDataBlock& block,
                                                                     std::optional<platform::Error>* error = nullptr) const;
  // Returns the request without its body stream at once; copies the stream into the file on
  // a global queue and calls the handler (error or none) on the main queue.
  platform::URLRequest requestWithMultipartFormRequest(
      const platform::URLRequest& request, const std::string& fileURL,
      std::function<void(const std::optional<platform::Error>&)> completionHandler) const;

 protected:
  // Default headers and the query text of the form serializer (steps shared by subclasses).
  platform::URLRequest requestWithDefaultHeaders(const platform::URLRequest& request) const;
  void decodeBase(const platform::KeyedUnarchiver& coder);
  void copyBaseInto(MCHTTPRequestSerializer& other) const;

 private:
  void changed(const std::string& keyPath) { changedKeyPaths_.insert(keyPath); }
  bool allowsCellularAccess_ = true;
  long cachePolicy_ = 0;
  bool HTTPShouldHandleCookies_ = false;
  bool HTTPShouldUsePipelining_ = false;
  long networkServiceType_ = 0;
  double timeoutInterval_ = 60;
  std::set<std::string> changedKeyPaths_;
  platform::HeaderList headers_;
  unsigned long queryStringSerializationStyle_ = 0;
  MCQueryStringSerializationBlock queryStringSerialization_;
};

class MCJSONRequestSerializer : public MCHTTPRequestSerializer {
 public:
  static std::shared_ptr<MCJSONRequestSerializer> serializer() { return serializerWithWritingOptions(0); }
  static std::shared_ptr<MCJSONRequestSerializer> serializerWithWritingOptions(unsigned long options);
  unsigned long writingOptions = 0;  // bit 0: pretty printed
  static const char* className() { return "MCJSONRequestSerializer"; }
  const char* archiveClassName() const override { return className(); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<MCJSONRequestSerializer> initWithCoder(const platform::KeyedUnarchiver& coder);
  std::shared_ptr<MCHTTPRequestSerializer> copy() const override;
  std::optional<platform::URLRequest> requestBySerializingRequest(const platform::URLRequest& request,
                                                                  const nlohmann::json& parameters,
                                                                  std::optional<platform::Error>* error) const override;
};

class MCPropertyListRequestSerializer : public MCHTTPRequestSerializer {
 public:
  static std::shared_ptr<MCPropertyListRequestSerializer> serializer() { return serializerWithFormat(100, 0); }
  static std::shared_ptr<MCPropertyListRequestSerializer> serializerWithFormat(unsigned long format, unsigned long writeOptions);
  unsigned long format = 100;  // 100 XML, 200 binary
  unsigned long writeOptions = 0;
  static const char* className() { return "MCPropertyListRequestSerializer"; }
  const char* archiveClassName() const override { return className(); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<MCPropertyListRequestSerializer> initWithCoder(const platform::KeyedUnarchiver& coder);
  std::shared_ptr<MCHTTPRequestSerializer> copy() const override;
  std::optional<platform::URLRequest> requestBySerializingRequest(const platform::URLRequest& request,
                                                                  const nlohmann::json& parameters,
                                                                  std::optional<platform::Error>* error) const override;
};
