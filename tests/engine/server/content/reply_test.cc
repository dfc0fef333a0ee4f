// The reply reader and the text helpers, fed bytes without sockets.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "server/content/content_helper.h"
#include "server/content/content_parser.h"
#include "server/content/http_reply.h"

namespace {

std::string Gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Chunked(const std::string& body, size_t piece) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += piece) {
    const std::string part = body.substr(i, piece);
    char size[20];
    std::snprintf(size, sizeof size, "%zx", part.size());
    out += std::string(size) + "\r\n" + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

struct Outcome {
  int code;
  int status;
  std::string body;
};

// A sink that keeps what it is given and remembers its largest piece.
struct Collect : BodyOut {
  std::string bytes;
  size_t largest = 0;
  int put(const char* data, size_t n) override {
    bytes.append(data, n);
    largest = std::max(largest, n);
    return 0;
  }
};

// Feeds the reply in pieces of `step` bytes, then ends it. With a sink the
// body of a 200 reply is streamed to it; Outcome::body is then what the sink
// got, and the reply must have kept nothing.
Outcome Read(const std::string& reply, size_t step, bool cleanClose = true, uint64_t cap = kMaxReplyBytes,
             Collect* sink = nullptr) {
  HttpReply r(cap, sink);
  int code = 0;
  for (size_t i = 0; i < reply.size() && code == 0 && !r.complete(); i += step)
    code = r.feed(reply.data() + i, std::min(step, reply.size() - i));
  if (code == 0) code = r.complete() ? r.finish(true) : r.finish(cleanClose);
  if (sink != nullptr && r.status() == 200) {
    EXPECT_TRUE(r.body().empty());
    return {code, r.status(), sink->bytes};
  }
  if (sink != nullptr) {
    EXPECT_TRUE(sink->bytes.empty()) << "only a 200 body goes to the sink";
  }
  return {code, r.status(), r.body()};
}

const std::string kBody = "The quick brown fox jumps over the lazy dog. 0123456789";

TEST(HttpReplyTest, FramingAndCodingInAnyPieces) {
  const std::string gz = Gzip(kBody);
  struct Case {
    std::string reply;
    bool cleanClose;
    int code;
    std::string body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 55\r\n\r\n" + kBody + "trailing junk", true, 0, kBody},
      {"HTTP/1.0 404 No\r\ncontent-length: 3\r\n\r\nnot", true, 0, "not"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(kBody, 7), true, 0, kBody},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n" + Chunked(gz, 5), true, 0,
       kBody},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz,
       true, 0, kBody},
      {"HTTP/1.1 200 OK\r\n\r\n" + kBody, true, 0, kBody},
      // A body that only says "content-length: 5" must not be read as a header.
      {"HTTP/1.1 200 OK\r\nX: 1\r\n\r\ncontent-length: 5\r\n", true, 0, "content-length: 5\r\n"},
      {"HTTP/1.1 200 OK\r\n\r\n" + kBody, false, kErrorReplyTruncated, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 56\r\n\r\n" + kBody, true, kErrorReplyTruncated, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabc", true, kErrorChunked, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", true, kErrorChunked, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n", true, kErrorChunked, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", true, kErrorChunked, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n", true, kErrorChunked, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\nabc", true, kErrorReplyTooLarge, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", true, kErrorReplyTooLarge, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", true, kErrorHttpHeader, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", true, kErrorHttpHeader, ""},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n\r\n" + gz.substr(0, 10), true,
       kErrorGzip, ""},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 5\r\n\r\nplain", true, kErrorGzip, ""},
      {"garbage\r\n\r\nbody", true, kErrorHttpHeader, ""},
      {"HTTP/1.1 2x0 OK\r\n\r\nbody", true, kErrorHttpHeader, ""},
      {"no header at all", true, kErrorHttpHeader, ""},
      {"", true, kErrorHttpHeader, ""},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{3}, c.reply.size() + 1}) {
      SCOPED_TRACE(testing::Message() << c.reply.substr(0, 60) << " step " << step);
      const Outcome o = Read(c.reply, step, c.cleanClose, 1u << 20);
      EXPECT_EQ(o.code, c.code);
      if (c.code == 0) {
        EXPECT_EQ(o.body, c.body);
      }
    }
  }
}

TEST(HttpReplyTest, CapHoldsForPlainAndInflatedBodies) {
  const std::string zeros(4 << 20, '\0');
  const std::string gz = Gzip(zeros);
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz, 4096, true, 1 << 20).code,
            kErrorReplyTooLarge);
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\n\r\n" + zeros, 65536, true, 1 << 20).code, kErrorReplyTooLarge);
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\n\r\n" + zeros, 65536, true, 4 << 20).code, 0);
  EXPECT_EQ(Read(std::string(kMaxHeaderBytes + 10, 'h'), 1000).code, kErrorHttpHeader);
}

// Inflated bytes reach the sink in bounded pieces as they come, and a body
// that inflates far beyond any real reply is refused early, whatever the cap.
TEST(HttpReplyTest, GzipStreamsInPiecesAndBombsStopEarly) {
  std::string xml;
  for (int i = 0; i < 60000; ++i) xml += "<item><id>" + std::to_string(i) + "</id></item>\n";
  const std::string zeros(64 << 20, '\0');
  struct Case {
    const char* what;
    std::string plain;
    int code;
    uint64_t maxReceived;
  } cases[] = {
      {"a long list", xml, 0, xml.size()},
      {"64 MiB of zeros", zeros, kErrorReplyTooLarge, kInflationFloor + (1 << 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string gz = Gzip(c.plain);
    Collect sink;
    const Outcome o = Read("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                               std::to_string(gz.size()) + "\r\n\r\n" + gz,
                           327680, true, kMaxReplyBytes, &sink);
    EXPECT_EQ(o.code, c.code);
    EXPECT_LE(sink.bytes.size(), c.maxReceived);
    EXPECT_LE(sink.largest, 65536u);
    if (c.code == 0) {
      EXPECT_TRUE(o.body == c.plain);
    }
  }
}

// Gzip of `size` bytes made of one seeded 16 KiB block over and over: about 80:1, so
// well within the inflation ratio a real reply may have.
std::string RepeatedBlockGzip(size_t size) {
  std::mt19937 rng(35);
  std::string block(16 << 10, '\0');
  for (char& c : block) c = static_cast<char>(rng());
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  char buffer[65536];
  for (size_t done = 0; done <= size; done += block.size()) {
    const bool last = done == size;
    z.next_in = reinterpret_cast<Bytef*>(block.data());
    z.avail_in = last ? 0 : static_cast<uInt>(block.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

// Counts what it is given, keeping nothing.
struct Count : BodyOut {
  uint64_t bytes = 0;
  int put(const char*, size_t n) override {
    bytes += n;
    return 0;
  }
};

// A body kept in memory (no file to stream to, or a status other than 200 whose body is
// kept) stops at its own cap, whatever the cap on streamed bodies; a 200 body that streams
// to a file keeps the large one.
TEST(HttpReplyTest, BodiesKeptInMemoryHaveASmallerCap) {
  const size_t inflated = 72 << 20;
  const std::string gz = RepeatedBlockGzip(inflated);
  ASSERT_LT(inflated / gz.size(), kMaxInflationRatio);
  const std::string gzipped = "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz;
  struct Case {
    const char* what;
    std::string reply;
    bool sink;
    int code;
  } cases[] = {
      {"gzip, 200 streamed", "HTTP/1.1 200 OK\r\n" + gzipped, true, 0},
      {"gzip, 200 kept", "HTTP/1.1 200 OK\r\n" + gzipped, false, kErrorReplyTooLarge},
      {"gzip, 404 with a file", "HTTP/1.1 404 No\r\n" + gzipped, true, kErrorReplyTooLarge},
      {"length past the cap, kept", "HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n", false,
       kErrorReplyTooLarge},
      {"chunk past the cap, kept", "HTTP/1.1 500 No\r\nTransfer-Encoding: chunked\r\n\r\n5000000\r\n", true,
       kErrorReplyTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Count sink;
    HttpReply r(kMaxReplyBytes, c.sink ? &sink : nullptr);
    int code = 0;
    for (size_t i = 0; i < c.reply.size() && code == 0; i += 327680)
      code = r.feed(c.reply.data() + i, std::min<size_t>(327680, c.reply.size() - i));
    if (code == 0) code = r.finish(true);
    EXPECT_EQ(code, c.code);
    EXPECT_LE(r.body().size(), kMaxKeptReplyBytes);
    if (c.code == 0) {
      EXPECT_EQ(sink.bytes, inflated);
    }
  }
  std::string whole = "H\r\n\r\n" + gz;
  EXPECT_FALSE(GunzipResponse(whole));
}

TEST(HttpReplyTest, WholeReplyDecoders) {
  std::string chunked = "HTTP/1.1 200 OK\r\n\r\n5\r\nabcde\r\n0\r\n\r\n";
  EXPECT_TRUE(ParseChunkedResponse(chunked));
  EXPECT_EQ(chunked, "HTTP/1.1 200 OK\r\n\r\nabcde");
  std::string cut = "HTTP/1.1 200 OK\r\n\r\n5\r\nab";
  EXPECT_FALSE(ParseChunkedResponse(cut));
  const std::string big(1 << 20, 'q');  // inflates to far more than the reply
  std::string gz = "H\r\n\r\n" + Gzip(big);
  EXPECT_TRUE(GunzipResponse(gz));
  EXPECT_TRUE(gz == "H\r\n\r\n" + big);
  std::string noHeader = Gzip(big);
  EXPECT_FALSE(GunzipResponse(noHeader));
}

// Mutated replies from a fixed seed: never a crash, a hang or a body past the cap.
TEST(HttpReplyTest, MutatedRepliesNeverBreakTheReader) {
  const std::string gz = Gzip(kBody + kBody);
  const std::string seeds[] = {
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n" + Chunked(gz, 9),
      "HTTP/1.1 200 OK\r\nContent-Length: 55\r\n\r\n" + kBody,
      "HTTP/1.0 301 Moved\r\nLocation: /x\r\nContent-Encoding: gzip\r\nContent-Length: " +
          std::to_string(gz.size()) + "\r\n\r\n" + gz,
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + Chunked(kBody, 4),
  };
  const char* tokens[] = {"\r\n", "\r\n\r\n", "0\r\n\r\n", "FFFFFFFFFFFFFFFF", ":", ";ext", "chunked", "gzip",
                          "Content-Length: 18446744073709551615", "\x1f\x8b", "HTTP/1.1 "};
  std::mt19937 rng(12);
  const uint64_t cap = 1 << 16;
  for (int n = 0; n < 4000; ++n) {
    std::string s = seeds[n % 4];
    for (int k = 1 + rng() % 4; k > 0; --k) {
      const size_t at = rng() % (s.size() + 1);
      switch (rng() % 4) {
        case 0:
          if (at < s.size()) s[at] = static_cast<char>(rng());
          break;
        case 1:
          s.erase(at, rng() % 16);
          break;
        case 2:
          s.insert(at, tokens[rng() % std::size(tokens)]);
          break;
        default:
          s.resize(at);
      }
    }
    const size_t step = 1 + rng() % 64;
    const bool clean = rng() % 2;
    const Outcome o = Read(s, step, clean, cap);
    EXPECT_LE(o.body.size(), cap);
    if (o.code == 0) {
      EXPECT_GE(o.status, 100);
    }
    // The streaming path reads the same bytes the same way.
    Collect sink;
    const Outcome streamed = Read(s, step, clean, cap, &sink);
    EXPECT_EQ(streamed.code, o.code);
    if (o.code == 0) {
      EXPECT_TRUE(streamed.body == o.body);
    }
  }
}

TEST(UrlTest, PartsAndRefusals) {
  struct Case {
    std::string url;
    bool ok;
    std::string scheme, host;
    int port;
    std::string path;
  } cases[] = {
      {"http://example.org", true, "http", "example.org", 80, "/"},
      {"HTTPS://h:8443/a/b?x=1&y=2", true, "HTTPS", "h", 8443, "/a/b?x=1&y=2"},
      {"https://h", true, "https", "h", 443, "/"},
      {"http://h:x/", true, "http", "h", 0, "/"},
      {"Http://h/", false, "", "", 0, ""},
      {"h/path", false, "", "", 0, ""},
      {"http:///path", false, "", "", 0, ""},
      {"", false, "", "", 0, ""},
      {"http://h/a\r\nX-Evil: 1", false, "", "", 0, ""},
      {"http://h/a b", false, "", "", 0, ""},
      {"http://h//a", true, "http", "h", 80, "/a"},
      {"http://h:81//", true, "http", "h", 81, "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string scheme, host, path;
    int port = -5;
    ASSERT_EQ(ParseURL(c.url, &scheme, &host, &port, &path), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(scheme, c.scheme);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
  }
  EXPECT_EQ(EncodeQueryValue("a&b=c d/é~"), "a%26b%3Dc%20d%2F%C3%A9~");
}

TEST(UrlTest, FindAndReplaceNeverRescansInsertedBytes) {
  struct Case {
    std::string text, pattern, replacement, result;
  } cases[] = {
      {"aXbXc", "X", "XX", "aXXbXXc"}, {"%P%P", "%P", "", ""}, {"ab", "abc", "z", "ab"}, {"aaa", "aa", "b", "ba"},
  };
  for (Case c : cases) {
    find_and_replace(c.text, c.pattern, c.replacement.data(), c.replacement.size());
    EXPECT_EQ(c.text, c.result);
  }
}

TEST(ListParserTest, MapsAndVersions) {
  bool ok = false;
  auto maps = ParseMapsXml(
      "<data><maps><item><id>7</id><title>Mall</title><version>3</version></item>"
      "<item><id>7</id><title>Dup</title><version>9</version></item>"
      "<item><id>8</id><title>NoVersion</title></item>"
      "<item><id>-2</id><title>Neg</title><version>1</version></item>"
      "<item><id>9</id><title>Zero</title><version>0</version><version>4</version><junk/></item></maps>"
      "<maps><item><id>10</id><title/><version>2</version></item></maps></data>",
      &ok);
  EXPECT_TRUE(ok);
  using Entry = std::pair<std::string, int>;
  EXPECT_EQ(maps, (std::map<int, Entry>{{7, {"Mall", 3}}, {9, {"Zero", 4}}, {10, {"", 2}}}));
  for (const char* bad : {"<other/>", "not xml", ""}) {
    ok = true;
    EXPECT_TRUE(ParseMapsXml(bad, &ok).empty());
    EXPECT_FALSE(ok);
  }
  EXPECT_TRUE(ParseMapsXml("<data/>", &ok).empty());
  EXPECT_TRUE(ok);
  auto versions = ParseVersionsXml(
      "<data><versions><item><version>2</version><file><fullPath>/a</fullPath><fullPath>/b</fullPath></file></item>"
      "<item><version>2</version><file><fullPath>/c</fullPath></file></item>"
      "<item><version>0</version></item></versions></data>",
      &ok);
  EXPECT_EQ(versions, (std::map<int, std::string>{{2, "/b"}}));
}

}  // namespace
