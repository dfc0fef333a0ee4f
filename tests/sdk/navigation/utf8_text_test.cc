#include "Navigation/utf8_text.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8TextTest, ValidTextPassesAndBrokenBytesAreReplaced) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"Caf\xE9", "Caf" + r},                   // an 8-bit letter
      {"\xC3", r},                              // cut short
      {"\xE0\x80\x80", r + r + r},              // overlong
      {"\xED\xA0\x80", r + r + r},              // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},      // beyond U+10FFFF
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(MCUtf8Text(in), out);
    EXPECT_EQ(MCIsUtf8(in), in == out) << in;
  }
}

}  // namespace
