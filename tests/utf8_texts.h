// Texts on either side of UTF-8 validity, for the tests of writers that must refuse what
// is not UTF-8 and keep what is.
#pragma once

#include <string>

namespace testtexts {

struct Utf8Text {
  const char* name;
  std::string text;
  bool valid;
};

inline const Utf8Text kUtf8Texts[] = {
    {"ASCII", "plain", true},
    {"multi-byte", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
    {"a lone 0xff", "v\xff", false},
    {"a truncated sequence", "ab\xe2\x82", false},
    {"an overlong form", "\xc0\xaf", false},
    {"a surrogate", "\xed\xa0\x80", false},
    {"past U+10FFFF", "\xf4\x90\x80\x80", false},
};

}  // namespace testtexts
