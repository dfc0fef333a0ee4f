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

size_t utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return 1;
  // The lead byte fixes the length and the range of the second byte, which rules out
  // overlong forms, surrogates and code points past U+10FFFF.
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
  return length;
}

bool isUTF8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace platform
