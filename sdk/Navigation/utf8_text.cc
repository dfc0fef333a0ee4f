#include "Navigation/utf8_text.h"

#include "platform/text_encoding.h"

std::string MCUtf8Text(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = platform::utf8SequenceLength(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

bool MCIsUtf8(const std::string& bytes) { return platform::isUTF8(bytes); }
