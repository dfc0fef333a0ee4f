#include "networking/coding.h"

#include <algorithm>
#include <sstream>

namespace mccoding {
namespace {

// The archiver's object interface wants a class with static coding functions; these
// wrappers give the plain values one.
struct Dictionary {
  static const char* className() { return "NSDictionary"; }
  platform::HeaderList items;
  void encodeWithCoder(platform::KeyedArchiver& coder) const {
    for (const auto& [k, v] : items) coder.encodeString(v, k);
  }
  static std::shared_ptr<Dictionary> initWithCoder(const platform::KeyedUnarchiver& coder) {
    auto d = std::make_shared<Dictionary>();
    for (const auto& k : coder.allKeys()) d->items.emplace_back(k, coder.decodeStringForKey(k));
    return d;
  }
};

struct Text {
  static const char* className() { return "NSString"; }
  std::string value;
  void encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeString(value, "value"); }
  static std::shared_ptr<Text> initWithCoder(const platform::KeyedUnarchiver& coder) {
    return std::make_shared<Text>(Text{coder.decodeStringForKey("value")});
  }
};

struct Request {
  static const char* className() { return "NSURLRequest"; }
  platform::URLRequest r;
  void encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeString(r.URL, "URL");
    coder.encodeString(r.HTTPMethod, "HTTPMethod");
    encodeHeaders(coder, r.allHTTPHeaderFields, "allHTTPHeaderFields");
    coder.encodeData(r.HTTPBody, "HTTPBody");
    coder.encodeDouble(r.timeoutInterval, "timeoutInterval");
  }
  static std::shared_ptr<Request> initWithCoder(const platform::KeyedUnarchiver& coder) {
    auto out = std::make_shared<Request>();
    out->r.URL = coder.decodeStringForKey("URL");
    out->r.HTTPMethod = coder.decodeStringForKey("HTTPMethod");
    if (!platform::isHTTPToken(out->r.HTTPMethod)) out->r.HTTPMethod = "GET";
    out->r.allHTTPHeaderFields = decodeHeaders(coder, "allHTTPHeaderFields").value_or(platform::HeaderList());
    out->r.HTTPBody = coder.decodeDataForKey("HTTPBody");
    out->r.timeoutInterval = coder.decodeDoubleForKey("timeoutInterval");
    return out;
  }
};

struct Response {
  static const char* className() { return "NSHTTPURLResponse"; }
  platform::URLResponse r;
  void encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeString(r.URL, "URL");
    coder.encodeInt(r.statusCode, "statusCode");
    encodeHeaders(coder, r.allHeaderFields, "allHeaderFields");
    coder.encodeString(r.MIMEType, "MIMEType");
    coder.encodeString(r.textEncodingName, "textEncodingName");
    coder.encodeInt(r.expectedContentLength, "expectedContentLength");
  }
  static std::shared_ptr<Response> initWithCoder(const platform::KeyedUnarchiver& coder) {
    auto out = std::make_shared<Response>();
    out->r.URL = coder.decodeStringForKey("URL");
    out->r.statusCode = static_cast<long>(coder.decodeIntForKey("statusCode"));
    out->r.allHeaderFields = decodeHeaders(coder, "allHeaderFields").value_or(platform::HeaderList());
    out->r.MIMEType = coder.decodeStringForKey("MIMEType");
    out->r.textEncodingName = coder.decodeStringForKey("textEncodingName");
    out->r.expectedContentLength = coder.decodeIntForKey("expectedContentLength");
    return out;
  }
};

struct ErrorValue {
  static const char* className() { return "NSError"; }
  platform::Error e;
  void encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeString(e.domain, "domain");
    coder.encodeInt(e.code, "code");
    coder.encodeString(e.localizedDescription, "localizedDescription");
    platform::HeaderList texts;
    for (const auto& [k, v] : e.userInfo)
      if (auto* s = std::any_cast<std::string>(&v)) texts.emplace_back(k, *s);
    encodeHeaders(coder, texts, "userInfo");
    if (e.underlyingError) encodeError(coder, *e.underlyingError, "underlyingError");
  }
  static std::shared_ptr<ErrorValue> initWithCoder(const platform::KeyedUnarchiver& coder) {
    auto out = std::make_shared<ErrorValue>();
    out->e.domain = coder.decodeStringForKey("domain");
    out->e.code = coder.decodeIntForKey("code");
    out->e.localizedDescription = coder.decodeStringForKey("localizedDescription");
    for (auto& [k, v] : decodeHeaders(coder, "userInfo").value_or(platform::HeaderList())) out->e.userInfo[k] = v;
    if (auto u = decodeError(coder, "underlyingError")) out->e.underlyingError = std::make_shared<const platform::Error>(*u);
    return out;
  }
};

}  // namespace

void encodeHeaders(platform::KeyedArchiver& coder, const platform::HeaderList& headers, const std::string& key) {
  coder.encodeObject(std::make_shared<Dictionary>(Dictionary{headers}), key);
}

std::optional<platform::HeaderList> decodeHeaders(const platform::KeyedUnarchiver& coder, const std::string& key) {
  auto d = coder.decodeObjectForKey<Dictionary>(key);
  if (!d) return std::nullopt;
  return d->items;
}

void encodeStrings(platform::KeyedArchiver& coder, const std::set<std::string>& strings, const std::string& key) {
  std::vector<std::shared_ptr<Text>> list;
  for (const auto& s : strings) list.push_back(std::make_shared<Text>(Text{s}));
  coder.encodeArray(list, key);
}

std::optional<std::set<std::string>> decodeStrings(const platform::KeyedUnarchiver& coder, const std::string& key) {
  if (!coder.containsValueForKey(key)) return std::nullopt;
  std::set<std::string> out;
  for (const auto& t : coder.decodeArrayForKey<Text>(key)) out.insert(t->value);
  return out;
}

void encodeIndexes(platform::KeyedArchiver& coder, const std::set<long>& indexes, const std::string& key) {
  std::string text;
  for (auto it = indexes.begin(); it != indexes.end();) {
    long first = *it, last = *it;
    for (++it; it != indexes.end() && *it == last + 1; ++it) last = *it;
    text += (text.empty() ? "" : ",") + std::to_string(first) + (last != first ? "-" + std::to_string(last) : "");
  }
  coder.encodeString(text, key);
}

std::optional<std::set<long>> decodeIndexes(const platform::KeyedUnarchiver& coder, const std::string& key) {
  if (!coder.containsValueForKey(key)) return std::nullopt;
  std::set<long> out;
  std::stringstream ranges(coder.decodeStringForKey(key));
  for (std::string range; std::getline(ranges, range, ',');) {
    long first = 0, last = 0;
    char dash = 0;
    std::stringstream r(range);
    if (!(r >> first)) continue;
    last = (r >> dash >> last && dash == '-') ? last : first;
    // Status codes have three digits: a broken archive's huge ranges are not expanded.
    first = std::max(first, 0L);
    last = std::min(last, 999L);
    for (long i = first; i <= last; ++i) out.insert(i);
  }
  return out;
}

void encodeRequest(platform::KeyedArchiver& coder, const platform::URLRequest& request, const std::string& key) {
  coder.encodeObject(std::make_shared<Request>(Request{request}), key);
}

std::optional<platform::URLRequest> decodeRequest(const platform::KeyedUnarchiver& coder, const std::string& key) {
  auto r = coder.decodeObjectForKey<Request>(key);
  if (!r) return std::nullopt;
  return r->r;
}

void encodeResponse(platform::KeyedArchiver& coder, const platform::URLResponse& response, const std::string& key) {
  coder.encodeObject(std::make_shared<Response>(Response{response}), key);
}

std::optional<platform::URLResponse> decodeResponse(const platform::KeyedUnarchiver& coder, const std::string& key) {
  auto r = coder.decodeObjectForKey<Response>(key);
  if (!r) return std::nullopt;
  return r->r;
}

void encodeError(platform::KeyedArchiver& coder, const platform::Error& error, const std::string& key) {
  coder.encodeObject(std::make_shared<ErrorValue>(ErrorValue{error}), key);
}

std::optional<platform::Error> decodeError(const platform::KeyedUnarchiver& coder, const std::string& key) {
  auto e = coder.decodeObjectForKey<ErrorValue>(key);
  if (!e) return std::nullopt;
  return e->e;
}

}  // namespace mccoding
