// URL requests and responses handed between the networking client and the URL loader.
// Plain values: safe to copy between threads, not to mutate from two threads at once.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class InputStream;

// The URL loading system's error domain and the codes the client reports itself.
inline constexpr const char* URLErrorDomain = "com.marvisto.platform.url";
// Errors of the operating system (errno values), e.g. from a body or output stream.
inline constexpr const char* POSIXErrorDomain = "com.marvisto.platform.posix";

enum URLErrorCode : long {
  URLErrorUnknown = -1,
  URLErrorCancelled = -999,
  URLErrorBadURL = -1000,
  URLErrorTimedOut = -1001,
  URLErrorUnsupportedURL = -1002,
  URLErrorCannotFindHost = -1003,
  URLErrorCannotConnectToHost = -1004,
  URLErrorNetworkConnectionLost = -1005,
  URLErrorHTTPTooManyRedirects = -1007,
  URLErrorBadServerResponse = -1011,
  URLErrorCannotDecodeContentData = -1016,
  URLErrorSecureConnectionRequired = -1022,  // a redirect from https to plain http was refused
  URLErrorDataLengthExceedsMaximum = -1103,
  URLErrorCannotWriteToFile = -3003,
  URLErrorSecureConnectionFailed = -1200,
  URLErrorServerCertificateUntrusted = -1202,
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Case-insensitive lookup and replacement in a header list (first match wins).
std::optional<std::string> headerValue(const HeaderList& headers, const std::string& field);
// The same without a copy: the value in `headers`, or null.
const std::string* findHeaderValue(const HeaderList& headers, std::string_view field);
void setHeaderValue(HeaderList& headers, const std::string& field, std::optional<std::string> value);

// A method or header field name: one or more token characters (letters, digits and
// !#$%&'*+-.^_`|~). A header value: no control character but the tab. What fails these would
// split or end a request line or header on the wire.
bool isHTTPToken(const std::string& text);
bool isHTTPFieldValue(const std::string& text);

struct URLRequest {
  std::string URL;  // absolute URL text; empty when none could be made
  std::string HTTPMethod = "GET";
  HeaderList allHTTPHeaderFields;
  std::vector<uint8_t> HTTPBody;
  std::shared_ptr<InputStream> HTTPBodyStream;  // replaces HTTPBody when set
  double timeoutInterval = 60;
  bool allowsCellularAccess = true;
  long cachePolicy = 0;
  bool HTTPShouldHandleCookies = false;  // cookies stay off in this loader
  bool HTTPShouldUsePipelining = false;
  long networkServiceType = 0;

  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const {
    return headerValue(allHTTPHeaderFields, field);
  }
  void setValue(std::optional<std::string> value, const std::string& field) {
    setHeaderValue(allHTTPHeaderFields, field, std::move(value));
  }
};

struct URLResponse {
  std::string URL;
  long statusCode = 0;
  HeaderList allHeaderFields;
  std::string MIMEType;          // lower-cased media type without parameters
  std::string textEncodingName;  // charset parameter, empty when none
  int64_t expectedContentLength = -1;
};

// Fills MIMEType and textEncodingName from a Content-Type value.
void parseContentType(const std::string& value, URLResponse& response);

// Whether the URL text has a query part ("?" before any fragment).
bool URLHasQuery(const std::string& url);
// Last path component of a URL or path, without query or fragment.
std::string lastPathComponent(const std::string& url);
// "file:///a/b" -> "/a/b"; none for anything that is not a file URL.
std::optional<std::string> filePathFromURL(const std::string& url);
// Resolves a URL string against a base, as a browser would; empty when it cannot.
std::string resolveURL(const std::string& relative, const std::string& base);

}  // namespace platform
