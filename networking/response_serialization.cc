#include "networking/response_serialization.h"

#include <strings.h>

#include "networking/coding.h"
#include "networking/property_list.h"
#include "platform/mutex.h"

namespace {

const char* kJSONErrorDomain = "com.marvisto.platform.json";
const char* kPropertyListErrorDomain = "com.marvisto.platform.plist";
const char* kNotReadable = "The data couldn't be read because it isn't in the correct format.";

std::string statusText(long code) {
  switch (code) {
    case 300: return "multiple choices";
    case 301: return "moved permanently";
    case 302: return "found";
    case 304: return "not modified";
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 409: return "conflict";
    case 410: return "no longer exists";
    case 416: return "requested range not satisfiable";
    case 429: return "too many requests";
    case 500: return "internal server error";
    case 501: return "unimplemented";
    case 502: return "bad gateway";
    case 503: return "service unavailable";
    case 504: return "gateway timed out";
    default:
      if (code < 200) return "informational";
      if (code < 300) return "success";
      if (code < 400) return "redirected";
      if (code < 500) return "client error";
      return "server error";
  }
}

// Replies nested deeper than this are refused: copying and cleaning a parsed value recurse
// once per level, and a 400 KB reply of nested arrays would overflow the stack.
constexpr size_t kMaxJSONDepth = 512;

bool nestedTooDeep(const std::string& text) {
  size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJSONDepth) return true;
    } else if ((c == ']' || c == '}') && depth) {
      --depth;
    }
  }
  return false;
}

platform::UserInfo failureInfo(const platform::URLResponse& response, const Data& data) {
  return {{MCURLErrorFailingURLErrorKey, response.URL},
          {MCNetworkingOperationFailingURLResponseErrorKey, response},
          {MCNetworkingOperationFailingURLResponseDataErrorKey, data}};
}

// Step one of every parsing serializer: validate, and tell whether parsing goes on.
bool validForParsing(const MCHTTPResponseSerializer& s, const platform::URLResponse* response, const Data& data,
                     std::optional<platform::Error>* error) {
  if (s.validateResponse(response, data, error)) return true;
  return error && !(*error && MCErrorOrUnderlyingErrorHasCodeInDomain(**error, platform::URLErrorCannotDecodeContentData,
                                                                       MCURLResponseSerializationErrorDomain));
}

void mergeError(std::optional<platform::Error>* error, const std::optional<platform::Error>& serializationError) {
  if (!error) return;
  if (auto merged = MCErrorWithUnderlyingError(serializationError, *error)) *error = merged;
}

platform::StringEncoding encodingFor(const platform::URLResponse* response, const platform::StringEncoding& fallback) {
  if (response && !response->textEncodingName.empty()) {
    // The common name needs no look-up in the converter's tables.
    const std::string& name = response->textEncodingName;
    if (strcasecmp(name.c_str(), "utf-8") == 0 || strcasecmp(name.c_str(), "utf8") == 0) return platform::UTF8StringEncoding;
    if (auto e = platform::encodingForIANACharsetName(name)) return *e;
  }
  return fallback;
}

// What the text converter accepts as UTF-8 (and passes on unchanged): no stray or missing
// continuation bytes, no overlong forms, no surrogates; like the converter, the old five- and
// six-byte forms up to 0x7FFFFFFF are let through.
bool isUTF8(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n;) {
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    uint32_t cp, least;
    if ((c & 0xE0) == 0xC0) length = 2, cp = c & 0x1F, least = 0x80;
    else if ((c & 0xF0) == 0xE0) length = 3, cp = c & 0x0F, least = 0x800;
    else if ((c & 0xF8) == 0xF0) length = 4, cp = c & 0x07, least = 0x10000;
    else if ((c & 0xFC) == 0xF8) length = 5, cp = c & 0x03, least = 0x200000;
    else if ((c & 0xFE) == 0xFC) length = 6, cp = c & 0x01, least = 0x4000000;
    else return false;
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < least || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// The reply's bytes as UTF-8 text; none when they are no text in `encoding`. A UTF-8 reply,
// nearly every one, is checked rather than converted: its bytes are the text.
std::optional<std::string> replyText(const Data& data, const platform::StringEncoding& encoding) {
  if (encoding != platform::UTF8StringEncoding) return platform::decodeString(data, encoding);
  if (!isUTF8(data.data(), data.size())) return std::nullopt;
  return std::string(data.begin(), data.end());
}

}  // namespace

std::optional<platform::Error> MCErrorWithUnderlyingError(const std::optional<platform::Error>& error,
                                                          const std::optional<platform::Error>& underlyingError) {
  if (!error) return underlyingError;
  if (!underlyingError || error->underlyingError) return error;
  platform::Error e = *error;
  e.underlyingError = std::make_shared<const platform::Error>(*underlyingError);
  return e;
}

bool MCErrorOrUnderlyingErrorHasCodeInDomain(const platform::Error& error, int64_t code, const std::string& domain) {
  for (const platform::Error* e = &error; e; e = e->underlyingError.get())
    if (e->code == code && e->domain == domain) return true;
  return false;
}

nlohmann::json MCJSONObjectByRemovingKeysWithNullValues(const nlohmann::json& object, unsigned long readingOptions) {
  if (object.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : object) out.push_back(MCJSONObjectByRemovingKeysWithNullValues(e, readingOptions));
    return out;
  }
  if (object.is_object()) {
    nlohmann::json out = nlohmann::json::object();
    for (auto it = object.begin(); it != object.end(); ++it)
      if (!it.value().is_null()) out[it.key()] = MCJSONObjectByRemovingKeysWithNullValues(it.value(), readingOptions);
    return out;
  }
  return object;
}

std::shared_ptr<platform::Image> mc_safeImageWithData(const Data& data) {
  static platform::Mutex lock;
  platform::MutexLock guard(lock);
  return platform::Image::imageWithData(data);
}

std::shared_ptr<platform::Image> MCImageWithDataAtScale(const Data& data, double scale) {
  auto image = mc_safeImageWithData(data);
  if (!image) return nullptr;
  // A new image over the same pixels at the given scale.
  return platform::Image::imageWithSurface(image->surface(), scale);
}

// ---- base ----

MCHTTPResponseSerializer::MCHTTPResponseSerializer() {
  std::set<long> codes;
  for (long c = 200; c < 300; ++c) codes.insert(c);
  acceptableStatusCodes = std::move(codes);
}

bool MCHTTPResponseSerializer::validateResponse(const platform::URLResponse* response, const Data& data,
                                                std::optional<platform::Error>* error) const {
  if (!response) return true;
  bool valid = true;
  std::optional<platform::Error> built;
  if (acceptableContentTypes && !acceptableContentTypes->count(response->MIMEType)) {
    valid = false;
    if (!data.empty() && !response->URL.empty())
      built = platform::Error::make(MCURLResponseSerializationErrorDomain, platform::URLErrorCannotDecodeContentData,
                                    "Request failed: unacceptable content-type: " + response->MIMEType,
                                    failureInfo(*response, data));
  }
  if (acceptableStatusCodes && !acceptableStatusCodes->count(response->statusCode) && !response->URL.empty()) {
    valid = false;
    platform::Error e = platform::Error::make(
        MCURLResponseSerializationErrorDomain, platform::URLErrorBadServerResponse,
        "Request failed: " + statusText(response->statusCode) + " (" + std::to_string(response->statusCode) + ")",
        failureInfo(*response, data));
    if (built) e.underlyingError = std::make_shared<const platform::Error>(*built);
    built = e;
  }
  if (!valid && built) platform::setError(error, *built);
  return valid;
}

MCResponseObject MCHTTPResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                     const Data& data,
                                                                     std::optional<platform::Error>* error) const {
  validateResponse(response, data, error);
  return data;
}

// ---- JSON ----

MCJSONResponseSerializer::MCJSONResponseSerializer() {
  acceptableContentTypes = std::set<std::string>{"application/json", "text/json", "text/javascript"};
}

std::shared_ptr<MCJSONResponseSerializer> MCJSONResponseSerializer::serializerWithReadingOptions(unsigned long options) {
  auto s = std::make_shared<MCJSONResponseSerializer>();
  s->readingOptions = options;
  return s;
}

MCResponseObject MCJSONResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                     const Data& data,
                                                                     std::optional<platform::Error>* error) const {
  if (!validForParsing(*this, response, data, error)) return {};
  auto text = replyText(data, encodingFor(response, stringEncoding));
  std::optional<platform::Error> serializationError;
  MCResponseObject object;
  if (!text) {
    // Bytes that are no text in the reply's encoding are a failure, not an empty success.
    serializationError = platform::Error::make(MCURLResponseSerializationErrorDomain, platform::URLErrorCannotDecodeContentData,
                                               "Data failed decoding as a UTF-8 string",
                                               {{MCLocalizedFailureReasonErrorKey, std::string("Could not decode string: ")}});
  } else if (!text->empty() && *text != " ") {
    auto parsed = nestedTooDeep(*text) ? nlohmann::json(nlohmann::json::value_t::discarded)
                                       : nlohmann::json::parse(*text, nullptr, false);
    bool fragment = !parsed.is_object() && !parsed.is_array();
    if (parsed.is_discarded() || (fragment && !(readingOptions & 4))) {
      serializationError = platform::Error::make(kJSONErrorDomain, 3840, kNotReadable);
    } else {
      if (removesKeysWithNullValues) object = MCJSONObjectByRemovingKeysWithNullValues(parsed, readingOptions);
      else object = std::move(parsed);
    }
  }
  mergeError(error, serializationError);
  return object;
}

// ---- XML ----

MCXMLParserResponseSerializer::MCXMLParserResponseSerializer() {
  acceptableContentTypes = std::set<std::string>{"application/xml", "text/xml"};
}

MCResponseObject MCXMLParserResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                          const Data& data,
                                                                          std::optional<platform::Error>* error) const {
  if (!validForParsing(*this, response, data, error)) return {};
  return std::make_shared<platform::XMLParser>(data);
}

// ---- property lists ----

MCPropertyListResponseSerializer::MCPropertyListResponseSerializer() {
  acceptableContentTypes = std::set<std::string>{"application/x-plist"};
}

std::shared_ptr<MCPropertyListResponseSerializer> MCPropertyListResponseSerializer::serializerWithFormat(unsigned long format,
                                                                                                         unsigned long readOptions) {
  auto s = std::make_shared<MCPropertyListResponseSerializer>();
  s->format = format;
  s->readOptions = readOptions;
  return s;
}

MCResponseObject MCPropertyListResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                             const Data& data,
                                                                             std::optional<platform::Error>* error) const {
  if (!validForParsing(*this, response, data, error)) return {};
  std::string reason;
  auto parsed = MCPropertyListJSONWithData(data, &reason);
  std::optional<platform::Error> parseError;
  if (!parsed) parseError = platform::Error::make(kPropertyListErrorDomain, 3840, reason);
  mergeError(error, parseError);
  if (!parsed) return {};
  return *parsed;
}

// ---- images ----

MCImageResponseSerializer::MCImageResponseSerializer() {
  acceptableContentTypes = std::set<std::string>{"image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
                                                 "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap",
                                                 "image/x-win-bitmap"};
}

MCResponseObject MCImageResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                      const Data& data,
                                                                      std::optional<platform::Error>* error) const {
  if (!validForParsing(*this, response, data, error)) return {};
  // Decoded images are already plain pixel surfaces, so inflating needs no second pass.
  if (data.empty()) return {};
  auto image = MCImageWithDataAtScale(data, imageScale);
  if (!image) return {};
  return image;
}

// ---- compound ----

std::shared_ptr<MCCompoundResponseSerializer> MCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    std::vector<std::shared_ptr<MCHTTPResponseSerializer>> serializers) {
  auto s = std::make_shared<MCCompoundResponseSerializer>();
  s->responseSerializers = std::move(serializers);
  return s;
}

MCResponseObject MCCompoundResponseSerializer::responseObjectForResponse(const platform::URLResponse* response,
                                                                         const Data& data,
                                                                         std::optional<platform::Error>* error) const {
  for (const auto& s : responseSerializers) {
    if (!s) continue;
    std::optional<platform::Error> serializerError;
    MCResponseObject object = s->responseObjectForResponse(response, data, &serializerError);
    if (object.has_value()) {
      if (error) *error = MCErrorWithUnderlyingError(serializerError, *error);
      return object;
    }
  }
  return MCHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

// ---- archiving and copying ----

void MCHTTPResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  if (acceptableStatusCodes) mccoding::encodeIndexes(coder, *acceptableStatusCodes, "acceptableStatusCodes");
  if (acceptableContentTypes) mccoding::encodeStrings(coder, *acceptableContentTypes, "acceptableContentTypes");
}

void MCHTTPResponseSerializer::decodeBase(const platform::KeyedUnarchiver& coder) {
  acceptableStatusCodes = mccoding::decodeIndexes(coder, "acceptableStatusCodes");
  acceptableContentTypes = mccoding::decodeStrings(coder, "acceptableContentTypes");
}

void MCHTTPResponseSerializer::copyBaseInto(MCHTTPResponseSerializer& other) const {
  other.acceptableStatusCodes = acceptableStatusCodes;
  other.acceptableContentTypes = acceptableContentTypes;
}

std::shared_ptr<MCHTTPResponseSerializer> MCHTTPResponseSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  std::string name = coder.className();
  if (name == MCJSONResponseSerializer::className()) return MCJSONResponseSerializer::initWithCoder(coder);
  if (name == MCXMLParserResponseSerializer::className()) return MCXMLParserResponseSerializer::initWithCoder(coder);
  if (name == MCPropertyListResponseSerializer::className()) return MCPropertyListResponseSerializer::initWithCoder(coder);
  if (name == MCImageResponseSerializer::className()) return MCImageResponseSerializer::initWithCoder(coder);
  if (name == MCCompoundResponseSerializer::className()) return MCCompoundResponseSerializer::initWithCoder(coder);
  if (name != className()) return nullptr;
  auto s = serializer();
  s->decodeBase(coder);
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCHTTPResponseSerializer::copy() const {
  auto s = serializer();
  copyBaseInto(*s);
  return s;
}

void MCHTTPResponseSerializer::encodeSerializer(platform::KeyedArchiver& coder, const MCHTTPResponseSerializer& serializer,
                                                const std::string& key) {
  platform::KeyedArchiver sub(serializer.archiveClassName());
  serializer.encodeWithCoder(sub);
  coder.adopt(key, std::move(sub));
}

std::shared_ptr<MCHTTPResponseSerializer> MCHTTPResponseSerializer::decodeSerializer(const platform::KeyedUnarchiver& coder,
                                                                                     const std::string& key) {
  auto sub = coder.objectForKey(key);
  return sub ? initWithCoder(*sub) : nullptr;
}

void MCJSONResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeInt(static_cast<int64_t>(readingOptions), "readingOptions");
  coder.encodeBool(removesKeysWithNullValues, "removesKeysWithNullValues");
}

std::shared_ptr<MCJSONResponseSerializer> MCJSONResponseSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto s = serializer();
  s->decodeBase(coder);
  s->readingOptions = static_cast<unsigned long>(coder.decodeIntForKey("readingOptions"));
  s->removesKeysWithNullValues = coder.decodeBoolForKey("removesKeysWithNullValues");
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCJSONResponseSerializer::copy() const {
  auto s = serializerWithReadingOptions(readingOptions);
  copyBaseInto(*s);
  s->removesKeysWithNullValues = removesKeysWithNullValues;
  return s;
}

void MCXMLParserResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPResponseSerializer::encodeWithCoder(coder);
}

std::shared_ptr<MCXMLParserResponseSerializer> MCXMLParserResponseSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto s = serializer();
  s->decodeBase(coder);
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCXMLParserResponseSerializer::copy() const {
  auto s = serializer();
  copyBaseInto(*s);
  return s;
}

void MCPropertyListResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeInt(static_cast<int64_t>(format), "format");
  coder.encodeInt(static_cast<int64_t>(readOptions), "readOptions");
}

std::shared_ptr<MCPropertyListResponseSerializer> MCPropertyListResponseSerializer::initWithCoder(
    const platform::KeyedUnarchiver& coder) {
  auto s = serializerWithFormat(static_cast<unsigned long>(coder.decodeIntForKey("format")),
                                static_cast<unsigned long>(coder.decodeIntForKey("readOptions")));
  s->decodeBase(coder);
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCPropertyListResponseSerializer::copy() const {
  auto s = serializerWithFormat(format, readOptions);
  copyBaseInto(*s);
  return s;
}

void MCImageResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeDouble(imageScale, "imageScale");
  coder.encodeBool(automaticallyInflatesResponseImage, "automaticallyInflatesResponseImage");
}

std::shared_ptr<MCImageResponseSerializer> MCImageResponseSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto s = serializer();
  s->decodeBase(coder);
  double scale = coder.decodeDoubleForKey("imageScale");
  s->imageScale = scale > 0 ? scale : 1;
  s->automaticallyInflatesResponseImage = coder.decodeBoolForKey("automaticallyInflatesResponseImage");
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCImageResponseSerializer::copy() const {
  auto s = serializer();
  copyBaseInto(*s);
  s->imageScale = imageScale;
  s->automaticallyInflatesResponseImage = automaticallyInflatesResponseImage;
  return s;
}

void MCCompoundResponseSerializer::encodeWithCoder(platform::KeyedArchiver& coder) const {
  MCHTTPResponseSerializer::encodeWithCoder(coder);
  std::vector<platform::KeyedArchiver> subs;
  for (const auto& s : responseSerializers) {
    if (!s) continue;
    subs.emplace_back(s->archiveClassName());
    s->encodeWithCoder(subs.back());
  }
  coder.adoptArray("responseSerializers", std::move(subs));
}

std::shared_ptr<MCCompoundResponseSerializer> MCCompoundResponseSerializer::initWithCoder(const platform::KeyedUnarchiver& coder) {
  std::vector<std::shared_ptr<MCHTTPResponseSerializer>> list;
  for (const auto& sub : coder.objectsForKey("responseSerializers"))
    if (auto s = MCHTTPResponseSerializer::initWithCoder(sub)) list.push_back(std::move(s));
  auto s = compoundSerializerWithResponseSerializers(std::move(list));
  s->decodeBase(coder);
  return s;
}

std::shared_ptr<MCHTTPResponseSerializer> MCCompoundResponseSerializer::copy() const {
  std::vector<std::shared_ptr<MCHTTPResponseSerializer>> list;
  for (const auto& s : responseSerializers)
    if (s) list.push_back(s->copy());
  auto s = compoundSerializerWithResponseSerializers(std::move(list));
  copyBaseInto(*s);
  return s;
}
