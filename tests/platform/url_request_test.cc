// URL strings checked without a base: the verdict (the string itself, or empty) is libcurl's
// parser's, whether or not the string went through it. Header fields found whatever the case
// of their names' letters, and only of their letters.
#include <gtest/gtest.h>
#include <curl/curl.h>

#include <memory>
#include <random>
#include <string>

#include "platform/url_request.h"

namespace platform {
namespace {

// The reference: libcurl's own verdict on an absolute URL.
bool parserAccepts(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
  return curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

void expectParsersVerdict(const std::string& url) {
  EXPECT_EQ(resolveURL(url, ""), parserAccepts(url) ? url : std::string()) << url;
}

TEST(ResolveURL, WithoutABaseGivesTheParsersVerdict) {
  const std::string longLabel(63, 'a'), tooLongLabel(64, 'a');
  const char* urls[] = {
      // Plain shapes.
      "http://127.0.0.1:8080/small.json", "https://example.com/a/b?c=d&e=f#g", "http://localhost", "http://a-b.c1.example/",
      "http://10.0.0.1/", "http://255.255.255.255:65535/x", "https://x.y/~user/a_b.c!$&'()*+,;=:@/?",
      // Ports at and past their bounds, written oddly or left out.
      "http://h.example:1/", "http://h.example:65536/", "http://h.example:0/", "http://h.example:080/", "http://h.example:/",
      "http://h.example:99999999/", "http://h.example:8a/", "http://h.example:80x",
      // Hosts: numeric ones in other notations, bad labels, other kinds.
      "http://256.1.1.1/", "http://1.2.3/", "http://1.2.3.4.5/", "http://01.2.3.4/", "http://0x7f.0.0.1/", "http://2130706433/",
      "http://1.2.3.4a/", "http://a..b/", "http://-a.example/", "http://a-.example/", "http://.a/", "http://a./", "http://a.b./",
      "http://[::1]:80/", "http://user:pw@h.example/", "http://H.Example/", "http://h_x.example/", "http://h%41.example/",
      "http://", "http:///path", "http://:80/", "http://h.example?x", "http://h.example#f",
      // Schemes.
      "HTTP://h.example/", "ftp://h.example/", "http:/h.example/", "http:h.example", "file:///tmp/a", "h.example/path", "",
      // The rest of the URL.
      "http://h.example/a b", "http://h.example/a\tb", "http://h.example/a\nb", "http://h.example/%zz", "http://h.example/%41",
      "http://h.example/\x7f", "http://h.example/\xc3\xa9", "http://h.example/a\\b", "http://h.example/{x}|^`[]\"<>",
  };
  for (const char* url : urls) expectParsersVerdict(url);
  expectParsersVerdict("http://" + longLabel + ".example/");
  expectParsersVerdict("http://" + tooLongLabel + ".example/");
  expectParsersVerdict("http://h.example/" + std::string(3000, 'p'));
}

// Seeded mutations of plain URLs: every change of a character the check looks at.
TEST(ResolveURL, MutatedURLsGetTheParsersVerdict) {
  const std::string seeds[] = {"http://127.0.0.1:8080/small.json?x=1", "https://api.example.com/v1/venues/7#top",
                               "http://a1.b-2.example:443/"};
  const std::string alphabet = "aZ09-.:/?#@%[]_~ \t\x01\x7f\x80\\\"";
  std::mt19937 random(24);
  for (int round = 0; round < 20000; ++round) {
    std::string url = seeds[random() % std::size(seeds)];
    for (int edits = 1 + int(random() % 3); edits > 0; --edits) {
      const size_t at = random() % (url.size() + 1);
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0:
          if (at < url.size()) url[at] = c;
          break;
        case 1:
          url.insert(url.begin() + long(at), c);
          break;
        default:
          if (at < url.size()) url.erase(at, 1);
      }
    }
    expectParsersVerdict(url);
    if (HasFailure()) return;
  }
}

TEST(HeaderValue, NamesMatchIgnoringTheCaseOfLettersOnly) {
  const HeaderList headers = {{"Content-Type", "text/plain"}, {"X-AT@[", "symbols"}, {"x-\xc3\x89t\xc3\xa9", "bytes"}};
  struct Case { const char* field; const char* value; } cases[] = {
      {"content-type", "text/plain"}, {"CONTENT-TYPE", "text/plain"}, {"Content-Typf", nullptr}, {"Content-Type ", nullptr},
      // '@' and '[' sit next to the capitals, '`' and '{' next to the small letters: no case of each other.
      {"x-at@[", "symbols"}, {"X-AT`[", nullptr}, {"X-AT@{", nullptr}, {"x-\xc3\x89t\xc3\xa9", "bytes"}, {"", nullptr},
  };
  for (const auto& c : cases) {
    auto found = headerValue(headers, c.field);
    EXPECT_EQ(found.has_value(), c.value != nullptr) << c.field;
    if (found && c.value) {
      EXPECT_EQ(*found, c.value) << c.field;
    }
  }
}

}  // namespace
}  // namespace platform
