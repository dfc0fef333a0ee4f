#include "platform/url_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

namespace platform {
namespace {

// ASCII letters fold inline: header names are looked up on every reply, and the library
// call per character cost more than the rest of the lookup.
int foldCase(unsigned char c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  return std::tolower(c);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return foldCase(static_cast<unsigned char>(x)) == foldCase(static_cast<unsigned char>(y));
         });
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Whether `url` is an absolute http or https URL of the plainest shape: a lower-case scheme,
// a dotted-quad address or a lower-case host name, an optional port of 1 to 65535 written
// without leading zeros, and a rest of printable characters that carry no special meaning
// to a URL parser. Such a URL is accepted by libcurl as it stands, so it is not given to the
// full parser, whose cost dominates building a small request. Anything else, valid or not,
// is left to that parser: this check only ever answers "plainly valid" or "ask the parser".
bool plainlyValidAbsoluteURL(std::string_view url) {
  constexpr size_t kLongest = 2048;
  if (url.size() > kLongest) return false;
  size_t at = 0;
  if (url.substr(0, 7) == "http://") at = 7;
  else if (url.substr(0, 8) == "https://") at = 8;
  else return false;
  const size_t hostBegins = at;
  const auto isLower = [](char c) { return c >= 'a' && c <= 'z'; };
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  // Labels of letters, digits and inner hyphens; a name's last label holds a letter, so that
  // nothing numeric (an address in another notation) passes as a name.
  int labels = 0, octets = 0;
  bool numeric = true, lastHasLetter = false, octetsValid = true;
  while (at < url.size() && url[at] != ':' && url[at] != '/') {
    size_t begins = at;
    bool letter = false;
    unsigned value = 0;
    while (at < url.size() && (isLower(url[at]) || isDigit(url[at]) || url[at] == '-')) {
      letter = letter || isLower(url[at]);
      if (isDigit(url[at])) value = std::min(1000u, value * 10 + unsigned(url[at] - '0'));
      ++at;
    }
    size_t length = at - begins;
    if (length == 0 || length > 63 || url[begins] == '-' || url[at - 1] == '-') return false;
    const bool digitsOnly = std::all_of(url.begin() + begins, url.begin() + at, isDigit);
    if (!digitsOnly) numeric = false;
    if (!digitsOnly || value > 255 || (length > 1 && url[begins] == '0')) octetsValid = false;
    ++labels;
    ++octets;
    lastHasLetter = letter;
    if (at < url.size() && url[at] == '.') {
      ++at;
      if (at == url.size() || url[at] == ':' || url[at] == '/') return false;  // a trailing dot
    } else if (at < url.size() && url[at] != ':' && url[at] != '/') {
      return false;
    }
  }
  if (labels == 0 || at - hostBegins > 253) return false;
  if (numeric ? !(octets == 4 && octetsValid) : !lastHasLetter) return false;
  if (at < url.size() && url[at] == ':') {
    size_t begins = ++at;
    unsigned port = 0;
    while (at < url.size() && isDigit(url[at]) && at - begins < 5) port = port * 10 + unsigned(url[at++] - '0');
    if (at == begins || url[begins] == '0' || port > 65535) return false;
    if (at < url.size() && url[at] != '/') return false;
  }
  // The rest: printable characters other than those a parser quotes or rejects; a per-cent
  // sign stands as written.
  for (; at < url.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(url[at]);
    if (c <= 0x20 || c >= 0x7f) return false;
    switch (c) {
      case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
      case '[': case ']':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

const std::string* findHeaderValue(const HeaderList& headers, std::string_view field) {
  for (const auto& [k, v] : headers)
    if (equalsIgnoringCase(k, field)) return &v;
  return nullptr;
}

std::optional<std::string> headerValue(const HeaderList& headers, const std::string& field) {
  if (const std::string* value = findHeaderValue(headers, field)) return *value;
  return std::nullopt;
}

void setHeaderValue(HeaderList& headers, const std::string& field, std::optional<std::string> value) {
  auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& kv) { return equalsIgnoringCase(kv.first, field); });
  if (!value) {
    if (it != headers.end()) headers.erase(it);
  } else if (it != headers.end()) {
    it->second = std::move(*value);
  } else {
    headers.emplace_back(field, std::move(*value));
  }
}

void parseContentType(const std::string& value, URLResponse& response) {
  size_t semi = value.find(';');
  response.MIMEType = lower(trim(value.substr(0, semi)));
  response.textEncodingName.clear();
  while (semi != std::string::npos) {
    size_t next = value.find(';', semi + 1);
    std::string param = trim(value.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1));
    size_t eq = param.find('=');
    if (eq != std::string::npos && lower(trim(param.substr(0, eq))) == "charset") {
      std::string cs = trim(param.substr(eq + 1));
      if (cs.size() >= 2 && cs.front() == '"' && cs.back() == '"') cs = cs.substr(1, cs.size() - 2);
      response.textEncodingName = lower(cs);
    }
    semi = next;
  }
}

bool URLHasQuery(const std::string& url) {
  size_t q = url.find('?');
  return q != std::string::npos && q < url.find('#');
}

std::string lastPathComponent(const std::string& url) {
  std::string path = url.substr(0, std::min(url.find('?'), url.find('#')));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> filePathFromURL(const std::string& url) {
  static const std::string scheme = "file://";
  if (url.size() <= scheme.size() || !equalsIgnoringCase(url.substr(0, scheme.size()), scheme)) return std::nullopt;
  std::string rest = url.substr(scheme.size());
  if (rest.rfind("localhost/", 0) == 0) rest = rest.substr(9);
  if (rest.empty() || rest.front() != '/') return std::nullopt;
  char* decoded = curl_unescape(rest.c_str(), static_cast<int>(rest.size()));
  std::string path = decoded ? decoded : "";
  curl_free(decoded);
  return path;
}

std::string resolveURL(const std::string& relative, const std::string& base) {
  // Without a base an absolute string stands as written: the parser only gives its verdict.
  if (base.empty() && plainlyValidAbsoluteURL(relative)) return relative;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
  if (!u) return {};
  unsigned flags = CURLU_NON_SUPPORT_SCHEME;
  if (!base.empty() && curl_url_set(u.get(), CURLUPART_URL, base.c_str(), flags) != CURLUE_OK) return {};
  if (curl_url_set(u.get(), CURLUPART_URL, relative.c_str(), flags) != CURLUE_OK) return {};
  // Without a base an absolute string stands as written.
  if (base.empty()) return relative;
  char* out = nullptr;
  if (curl_url_get(u.get(), CURLUPART_URL, &out, 0) != CURLUE_OK) return {};
  std::string result = out;
  curl_free(out);
  return result;
}

bool isHTTPToken(const std::string& text) {
  static const std::string extra = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isalnum(c) || extra.find(static_cast<char>(c)) != std::string::npos;
         });
}

bool isHTTPFieldValue(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; });
}

}  // namespace platform
