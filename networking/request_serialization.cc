#include "networking/request_serialization.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "networking/coding.h"
#include "networking/multipart_form_data.h"
#include "networking/property_list.h"
#include "platform/app.h"
#include "platform/dispatch.h"
#include "platform/stream.h"

namespace {

// Languages in order of preference, from the locale environment ("de_DE.UTF-8" -> "de-DE").
std::vector<std::string> preferredLanguages() {
  std::string list;
  for (const char* var : {"LANGUAGE", "LC_ALL", "LANG"})
    if (const char* v = std::getenv(var); v && *v) {
      list = v;
      break;
    }
  std::vector<std::string> out;
  std::stringstream ss(list);
  for (std::string item; std::getline(ss, item, ':');) {
    item = item.substr(0, item.find_first_of(".@"));
    std::replace(item.begin(), item.end(), '_', '-');
    if (!item.empty() && item != "C" && item != "POSIX") out.push_back(item);
  }
  if (out.empty()) out.push_back("en");
  return out;
}

std::string base64(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += abc[(v >> k) & 63];
  }
  if (size_t rest = in.size() - i) {
    uint32_t v = uint8_t(in[i]) << 16 | (rest == 2 ? uint8_t(in[i + 1]) << 8 : 0);
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += rest == 2 ? abc[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

Data encodeOrUTF8(const std::string& text, const platform::StringEncoding& encoding) {
  auto bytes = platform::encodeString(text, encoding);
  return bytes ? *bytes : Data(text.begin(), text.end());
}

}  // namespace

std::string MCQueryValueDescription(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_null()) return "<null>";
  return value.dump();
}

std::string MCPercentEscapedStringFromString(const std::string& string) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : string) {
    // The query's allowed characters less the general and sub-delimiters, so a value can
    // never end a pair or a field early.
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == '?') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string MCQueryStringPair::URLEncodedStringValue() const {
  if (value.is_null()) return MCPercentEscapedStringFromString(MCQueryValueDescription(field));
  return MCPercentEscapedStringFromString(MCQueryValueDescription(field)) + "=" +
         MCPercentEscapedStringFromString(MCQueryValueDescription(value));
}

std::vector<MCQueryStringPair> MCQueryStringPairsFromDictionary(const nlohmann::json& dictionary) {
  return MCQueryStringPairsFromKeyAndValue(nullptr, dictionary);
}

std::vector<MCQueryStringPair> MCQueryStringPairsFromKeyAndValue(const nlohmann::json& key, const nlohmann::json& value) {
  std::vector<MCQueryStringPair> out;
  if (value.is_object()) {
    // Object keys iterate in ascending byte order already.
    for (auto it = value.begin(); it != value.end(); ++it) {
      nlohmann::json nested = key.is_null() ? nlohmann::json(it.key())
                                            : nlohmann::json(MCQueryValueDescription(key) + "[" + it.key() + "]");
      auto sub = MCQueryStringPairsFromKeyAndValue(nested, it.value());
      out.insert(out.end(), sub.begin(), sub.end());
    }
  } else if (value.is_array()) {
    nlohmann::json nested = MCQueryValueDescription(key) + "[]";
    for (const auto& element : value) {
      auto sub = MCQueryStringPairsFromKeyAndValue(nested, element);
      out.insert(out.end(), sub.begin(), sub.end());
    }
  } else {
    out.emplace_back(key, value);
  }
  return out;
}

MCHTTPRequestSerializer::MCHTTPRequestSerializer() {
  std::string languages;
  auto preferred = preferredLanguages();
  for (size_t i = 0; i < preferred.size(); ++i) {
    float q = 1.0f - 0.1f * static_cast<float>(i);
    char buf[32];
    std::snprintf(buf, sizeof buf, ";q=%0.1g", static_cast<double>(q));
    languages += (i ? ", " : "") + preferred[i] + buf;
    if (q <= 0.5f) break;
  }
  setValue(languages, "Accept-Language");
  std::string name = platform::Bundle::bundleName();
  if (name.empty()) name = platform::Bundle::bundleIdentifier();
  char scale[16];
  std::snprintf(scale, sizeof scale, "%0.2f", 1.0);
  std::string agent = name + "/" + MARVISTO_VERSION + " (" + platform::Device::machine() + "; iOS " +
                      platform::Device::systemVersion() + "; Scale/" + scale + ")";
  // Header values must stay within printable ASCII.
  agent.erase(std::remove_if(agent.begin(), agent.end(), [](unsigned char c) { return c < 0x20 || c > 0x7e; }), agent.end());
  if (!agent.empty()) setValue(agent, "User-Agent");
}

void MCHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password) {
  setValue("Basic " + base64(username + ":" + password), "Authorization");
}

void MCHTTPRequestSerializer::setAuthorizationHeaderFieldWithToken(const std::string& token) {
  setValue("Token token=\"" + token + "\"", "Authorization");
}

void MCHTTPRequestSerializer::setQueryStringSerializationWithStyle(unsigned long style) {
  queryStringSerializationStyle_ = style;
  queryStringSerialization_ = nullptr;
}

std::optional<platform::URLRequest> MCHTTPRequestSerializer::requestWithMethod(const std::string& method,
                                                                               const std::string& URLString,
                                                                               const nlohmann::json& parameters,
                                                                               std::optional<platform::Error>* error) const {
  // A method is sent as it is on the request line: anything but a token would inject text.
  if (!platform::isHTTPToken(method)) {
    platform::setError(error, platform::Error::make(MCURLRequestSerializationErrorDomain, platform::URLErrorBadURL,
                                                    "The request method must be a token"));
    return std::nullopt;
  }
  platform::URLRequest request;
  request.URL = platform::resolveURL(URLString, "");
  request.HTTPMethod = method;
  // Mostly none was changed: then no key is looked up (each look-up builds a string).
  for (const char* key : {"allowsCellularAccess", "cachePolicy", "HTTPShouldHandleCookies", "HTTPShouldUsePipelining",
                          "networkServiceType", "timeoutInterval"}) {
    if (changedKeyPaths_.empty()) break;
    if (!changedKeyPaths_.count(key)) continue;
    std::string k = key;
    if (k == "allowsCellularAccess") request.allowsCellularAccess = allowsCellularAccess_;
    else if (k == "cachePolicy") request.cachePolicy = cachePolicy_;
    else if (k == "HTTPShouldHandleCookies") request.HTTPShouldHandleCookies = HTTPShouldHandleCookies_;
    else if (k == "HTTPShouldUsePipelining") request.HTTPShouldUsePipelining = HTTPShouldUsePipelining_;
    else if (k == "networkServiceType") request.networkServiceType = networkServiceType_;
    else request.timeoutInterval = timeoutInterval_;
  }
  return requestBySerializingRequest(request, parameters, error);
}

platform::URLRequest MCHTTPRequestSerializer::requestWithDefaultHeaders(const platform::URLRequest& request) const {
  platform::URLRequest out = request;
  out.allHTTPHeaderFields.reserve(out.allHTTPHeaderFields.size() + headers_.size());
  for (const auto& [field, value] : headers_)
    if (!out.valueForHTTPHeaderField(field)) out.allHTTPHeaderFields.emplace_back(field, value);  // as setValue adds one
  return out;
}

std::optional<platform::URLRequest> MCHTTPRequestSerializer::requestBySerializingRequest(
    const platform::URLRequest& request, const nlohmann::json& parameters, std::optional<platform::Error>* error) const {
  platform::URLRequest out = requestWithDefaultHeaders(request);
  std::optional<std::string> query;
  if (!parameters.is_null()) {
    if (queryStringSerialization_) {
      std::optional<platform::Error> blockError;
      query = queryStringSerialization_(out, parameters, &blockError);
      if (blockError) {
        if (error) platform::setError(error, *blockError);
        return std::nullopt;
      }
    } else if (queryStringSerializationStyle_ == 0) {
      std::string text;
      for (const auto& pair : MCQueryStringPairsFromKeyAndValue(nullptr, parameters))
        text += (text.empty() ? "" : "&") + pair.URLEncodedStringValue();
      query = text;
    }
  }
  if (HTTPMethodsEncodingParametersInURI.count(upper(out.HTTPMethod))) {
    if (query && !out.URL.empty()) out.URL += (platform::URLHasQuery(out.URL) ? "&" : "?") + *query;
  } else {
    out.HTTPBody = encodeOrUTF8(query.value_or(""), stringEncoding);
    out.HTTPBodyStream = nullptr;
    if (!out.valueForHTTPHeaderField("Content-Type")) out.setValue("application/x-www-form-urlencoded", "Content-Type");
  }
  return out;
}

std::optional<platform::URLRequest> MCHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const nlohmann::json& parameters,
    const MCMultipartFormDataBlock& block, std::optional<platform::Error>* error) const {
  auto request = requestWithMethod(method, URLString, nullptr, error);
  if (!request) return std::nullopt;
  MCStreamingMultipartFormData formData(*request, platform::UTF8StringEncoding);
  if (!parameters.is_null()) {
    for (const auto& pair : MCQueryStringPairsFromKeyAndValue(nullptr, parameters)) {
      Data body;
      if (pair.value.is_binary()) body = pair.value.get_binary();
      else if (!pair.value.is_null()) body = encodeOrUTF8(MCQueryValueDescription(pair.value), stringEncoding);
      formData.appendPartWithFormData(body, MCQueryValueDescription(pair.field), error);
    }
  }
  if (block) block(formData);
  return formData.requestByFinalizingMultipartFormData(error);
}

platform::URLRequest MCHTTPRequestSerializer::requestWithMultipartFormRequest(
    const platform::URLRequest& request, const std::string& fileURL,
    std::function<void(const std::optional<platform::Error>&)> completionHandler) const {
  platform::URLRequest out = request;
  out.HTTPBodyStream = nullptr;
  auto input = request.HTTPBodyStream;
  platform::dispatch::async(platform::dispatch::globalQueue(), [input, fileURL, completionHandler] {
    std::optional<platform::Error> error;
    auto path = platform::filePathFromURL(fileURL);
    if (!input || !path) {
      error = platform::Error::make(MCURLRequestSerializationErrorDomain, platform::URLErrorBadURL, "Expected URL to be a file URL");
    } else {
      platform::FileOutputStream output(*path, false);
      input->open();
      output.open();
      uint8_t buffer[1024];
      for (;;) {
        if (output.streamError()) {
          error = platform::Error::make(platform::POSIXErrorDomain, output.streamError()->code, output.streamError()->message);
          break;
        }
        int64_t n = input->read(buffer, sizeof buffer);
        if (n < 0) {
          auto e = input->streamError().value_or(platform::StreamError{EIO, "read failed"});
          error = platform::Error::make(platform::POSIXErrorDomain, e.code, e.message);
          break;
        }
        if (n == 0) break;
        if (output.write(buffer, static_cast<size_t>(n)) != n) {
          auto e = output.streamError().value_or(platform::StreamError{EIO, "write failed"});
          error = platform::Error::make(platform::POSIXErrorDomain, e.code, e.message);
          break;
        }
      }
      input->close();
      output.close();
    }
    if (completionHandler)
      platform::dispatch::async(platform::dispatch::mainQueue(), [completionHandler, error] { completionHandler(error); });
  });
  return out;
}

std::shared_ptr<MCJSONRequestSerializer> MCJSONRequestSerializer::serializerWithWritingOptions(unsigned long options) {
  auto s = std::make_shared<MCJSONRequestSerializer>();
  s->writingOptions = options;
  return s;
}

std::optional<platform::URLRequest> MCJSONRequestSerializer::requestBySerializingRequest(
    const platform::URLRequest& request, const nlohmann::json& parameters, std::optional<platform::Error>* error) const {
  if (HTTPMethodsEncodingParametersInURI.count(upper(request.HTTPMethod)))
    return MCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
  platform::URLRequest out = requestWithDefaultHeaders(request);
  if (!parameters.is_null()) {
    if (!out.valueForHTTPHeaderField("Content-Type")) out.setValue("application/json", "Content-Type");
    try {
      std::string text = parameters.dump((writingOptions & 1) ? 2 : -1);
      out.HTTPBody.assign(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
      // Invalid UTF-8 in a text, or bytes: JSON cannot carry them.
      platform::setError(error, platform::Error::make("com.marvisto.platform.json", 3851, e.what()));
    }
  }
  return out;
}

std::shared_ptr<MCPropertyListRequestSerializer> MCPropertyListRequestSerializer::serializerWithFormat(unsigned long format,
                                                                                                       unsigned long writeOptions) {
  auto s = std::make_shared<MCPropertyListRequestSerializer>();
  s->format = format;
  s->writeOptions = writeOptions;
  return s;
}

std::optional<platform::URLRequest> MCPropertyListRequestSerializer::requestBySerializingRequest(
    const platform::URLRequest& request, const nlohmann::json& parameters, std::optional<platform::Error>* error) const {
  if (HTTPMethodsEncodingParametersInURI.count(upper(request.HTTPMethod)))
    return MCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
  platform::URLRequest out = requestWithDefaultHeaders(request);
  if (!parameters.is_null()) {
    if (!out.valueForHTTPHeaderField("Content-Type")) out.setValue("application/x-plist", "Content-Type");
    std::string reason;
    if (auto data = MCPropertyListDataWithJSON(parameters, format, &reason)) out.HTTPBody = *data;
    else platform::setError(error, platform::Error::make("com.marvisto.platform.plist", 3851, reason));
  }
  return out;
}

// ---- archiving and copying ----

void MCHTTPRequestSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  mccoding::encodeHeaders(coder, headers_, "mutableHTTPRequestHeaders");
  coder.encodeInt(static_cast<int64_t>(queryStringSerializationStyle_), "queryStringSerializationStyle");
}

void MCHTTPRequestSerializer::decodeBase(const platform::KeyedUnarchiver& coder) {
  if (auto headers = mccoding::decodeHeaders(coder, "mutableHTTPRequestHeaders")) {
    // Only headers that can go on the wire: an archive is outside input like any other.
    headers_.clear();
    for (auto& [field, value] : *headers)
      if (platform::isHTTPToken(field) && platform::isHTTPFieldValue(value)) headers_.emplace_back(field, value);
  }
  queryStringSerializationStyle_ = static_cast<unsigned long>(coder.decodeIntForKey("queryStringSerializationStyle"));
}

std::shared_ptr<MCHTTPRequestSerializer> MCHTTPRequestSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  std::string name = coder.className();
  if (name == MCJSONRequestSerializer::className()) return MCJSONRequestSerializer::initWithCoder(coder);
  if (name == MCPropertyListRequestSerializer::className()) return MCPropertyListRequestSerializer::initWithCoder(coder);
  if (name != className()) return nullptr;
  auto s = serializer();
  s->decodeBase(coder);
  return s;
}

void MCHTTPRequestSerializer::copyBaseInto(MCHTTPRequestSerializer& other) const {
  other.headers_ = headers_;
  other.queryStringSerializationStyle_ = queryStringSerializationStyle_;
  other.queryStringSerialization_ = queryStringSerialization_;
}

std::shared_ptr<MCHTTPRequestSerializer> MCHTTPRequestSerializer::copy() const {
  auto s = serializer();
  copyBaseInto(*s);
  return s;
}

void MCJSONRequestSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeInt(static_cast<int64_t>(writingOptions), "writingOptions");
}

std::shared_ptr<MCJSONRequestSerializer> MCJSONRequestSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto s = serializer();
  s->decodeBase(coder);
  s->writingOptions = static_cast<unsigned long>(coder.decodeIntForKey("writingOptions"));
  return s;
}

std::shared_ptr<MCHTTPRequestSerializer> MCJSONRequestSerializer::copy() const {
  auto s = serializerWithWritingOptions(writingOptions);
  copyBaseInto(*s);
  return s;
}

void MCPropertyListRequestSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeInt(static_cast<int64_t>(format), "format");
  coder.encodeInt(static_cast<int64_t>(writeOptions), "writeOptions");
}

std::shared_ptr<MCPropertyListRequestSerializer> MCPropertyListRequestSerializer::initWithCoder(
    const platform::KeyedUnarchiver& coder) {
  auto s = serializer();
  s->decodeBase(coder);
  s->format = static_cast<unsigned long>(coder.decodeIntForKey("format"));
  s->writeOptions = static_cast<unsigned long>(coder.decodeIntForKey("writeOptions"));
  return s;
}

std::shared_ptr<MCHTTPRequestSerializer> MCPropertyListRequestSerializer::copy() const {
  auto s = serializerWithFormat(format, writeOptions);
  copyBaseInto(*s);
  return s;
}
