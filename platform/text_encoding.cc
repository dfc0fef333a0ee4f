#include "platform/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace platform {
namespace {

std::optional<std::string> convert(const char* in, size_t inLength, const std::string& from, const std::string& to) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buffer[4096];
  char* src = const_cast<char*>(in);
  size_t srcLeft = inLength;
  bool ok = true;
  for (bool flushing = false;;) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    size_t rc = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft) : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer, sizeof buffer - dstLeft);
    if (rc == static_cast<size_t>(-1) && errno == E2BIG) continue;
    if (rc == static_cast<size_t>(-1)) {
      ok = false;
      break;
    }
    if (flushing) break;
    flushing = true;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::optional<StringEncoding> encodingForIANACharsetName(const std::string& name) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  if (upper.empty() || upper.find_first_of("/ ") != std::string::npos) return std::nullopt;
  if (upper == "UTF8") upper = "UTF-8";
  iconv_t cd = iconv_open("UTF-8", upper.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  iconv_close(cd);
  return upper;
}

std::optional<std::string> decodeString(const std::vector<uint8_t>& bytes, const StringEncoding& encoding) {
  return convert(reinterpret_cast<const char*>(bytes.data()), bytes.size(), encoding, "UTF-8");
}

std::optional<std::vector<uint8_t>> encodeString(const std::string& text, const StringEncoding& encoding) {
  auto s = convert(text.data(), text.size(), "UTF-8", encoding);
  if (!s) return std::nullopt;
  return std::vector<uint8_t>(s->begin(), s->end());
}

}  // namespace platform
