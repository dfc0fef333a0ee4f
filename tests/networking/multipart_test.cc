// Multipart bodies read back byte for byte and through Python's email parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <nlohmann/json.hpp>

#include "networking/multipart_form_data.h"
#include "networking/request_serialization.h"
#include "support/peers.h"

namespace {

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

// Reads a body stream to its end with reads of `chunk` bytes; none on a read error.
std::optional<std::string> drain(platform::InputStream& s, size_t chunk = 7) {
  std::string out;
  std::vector<uint8_t> buf(chunk);
  s.open();
  for (;;) {
    int64_t n = s.read(buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    if (n > static_cast<int64_t>(chunk)) {
      ADD_FAILURE() << "read " << n << " bytes into " << chunk;
      return std::nullopt;
    }
    out.append(buf.begin(), buf.begin() + n);
  }
}

platform::URLRequest postRequest() {
  return *MCHTTPRequestSerializer::serializer()->requestWithMethod("POST", "http://127.0.0.1/u", nullptr);
}

}  // namespace

TEST(Multipart, SinglePartWireFormat) {
  MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
  form.appendPartWithFormData(bytes("x"), "a");
  auto request = form.requestByFinalizingMultipartFormData();
  const std::string& B = form.boundary();
  std::string expected = "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n--" + B + "--\r\n";
  EXPECT_EQ(drain(*request->HTTPBodyStream), expected);
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "multipart/form-data; boundary=" + B);
  EXPECT_EQ(B.size(), 25u);
  // No parts: the request stays as it was.
  MCStreamingMultipartFormData empty(postRequest(), platform::UTF8StringEncoding);
  auto unchanged = empty.requestByFinalizingMultipartFormData();
  EXPECT_FALSE(unchanged->HTTPBodyStream);
  EXPECT_EQ(unchanged->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
}

// A read may span the end of one part, the next part's boundary and headers
// and the closing boundary: whatever the buffer's size, the bytes are the same.
TEST(Multipart, EveryReadSizeGivesTheSameBytes) {
  auto finalized = [] {
    MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
    form.appendPartWithFormData(bytes("first"), "a");
    form.appendPartWithFormData(bytes("second part"), "b");
    return form.requestByFinalizingMultipartFormData();
  };
  auto request = finalized();
  const std::optional<std::string> whole = drain(*request->HTTPBodyStream, 1 << 16);
  ASSERT_TRUE(whole);
  EXPECT_EQ(std::to_string(whole->size()), request->valueForHTTPHeaderField("Content-Length"));
  // The boundary is the form's own: compare with it taken out.
  auto unbounded = [](std::string s) {
    const std::string boundary = s.substr(2, s.find('\r') - 2);
    for (size_t at; (at = s.find(boundary)) != std::string::npos;) s.erase(at, boundary.size());
    return s;
  };
  for (size_t chunk = 1; chunk <= whole->size() + 2; ++chunk) {
    auto again = finalized();
    const std::optional<std::string> read = drain(*again->HTTPBodyStream, chunk);
    ASSERT_TRUE(read) << chunk;
    EXPECT_EQ(unbounded(*read), unbounded(*whole)) << chunk;
  }
}

TEST(Multipart, PythonEmailParsesDataFileAndStreamParts) {
  peers::TempDir tmp("multipart");
  const auto& dir = tmp.path();
  // Binary bodies, less bare CR and LF, which the email parser turns into line ends.
  std::string fileBody = peers::seededBytes(100000, 3), streamBody = peers::seededBytes(5000, 4);
  for (auto* b : {&fileBody, &streamBody}) std::replace_if(b->begin(), b->end(), [](char c) { return c == '\r' || c == '\n'; }, '.');
  peers::writeFile(dir / "photo.png", fileBody);
  std::optional<platform::Error> error;
  auto request = MCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod(
      "POST", "http://127.0.0.1/u", {{"plain", "v"}, {"list", {1, 2}}, {"none", nullptr}},
      [&](MCStreamingMultipartFormData& form) {
        EXPECT_TRUE(form.appendPartWithFileURL("file://" + (dir / "photo.png").string(), "file", &error));
        form.appendPartWithInputStream(std::make_shared<platform::DataInputStream>(bytes(streamBody)), "stream",
                                       "s.bin", static_cast<int64_t>(streamBody.size()), "application/octet-stream");
        form.appendPartWithFileData(bytes("q\"d"), "quote\"d\\name", "we\"ird.txt", "text/plain");
      },
      &error);
  ASSERT_TRUE(request) << (error ? error->localizedDescription : "");
  auto body = drain(*request->HTTPBodyStream, 4096);
  ASSERT_TRUE(body);
  EXPECT_EQ(std::to_string(body->size()), request->valueForHTTPHeaderField("Content-Length"));
  peers::writeFile(dir / "body", "Content-Type: " + *request->valueForHTTPHeaderField("Content-Type") + "\r\n\r\n" + *body);
  // Python writes each part's header fields to parsed.json and its payload to part<i>.
  std::string script =
      "import email,email.policy,json,sys\n"
      "m=email.message_from_binary_file(open(sys.argv[1]+'/body','rb'),policy=email.policy.HTTP)\n"
      "out=[]\n"
      "for i,p in enumerate(m.iter_parts()):\n"
      "  out.append([p.get_param('name',header='content-disposition'),p.get_filename(),p.get_content_type()])\n"
      "  open(sys.argv[1]+'/part%d'%i,'wb').write(p.get_payload(decode=True))\n"
      "json.dump({'defects':len(m.defects),'parts':out},open(sys.argv[1]+'/parsed.json','w'))\n";
  peers::writeFile(dir / "parse.py", script);
  ASSERT_EQ(peers::run("python3 " + (dir / "parse.py").string() + " " + dir.string()), 0);
  auto parsed = nlohmann::json::parse(peers::readFile(dir / "parsed.json"));
  struct Part { nlohmann::json fields; std::string payload; } expected[] = {
      {{"list[]", nullptr, "text/plain"}, "1"},
      {{"list[]", nullptr, "text/plain"}, "2"},
      {{"none", nullptr, "text/plain"}, ""},
      {{"plain", nullptr, "text/plain"}, "v"},
      {{"file", "photo.png", "image/png"}, fileBody},
      {{"stream", "s.bin", "application/octet-stream"}, streamBody},
      {{"quote\"d\\name", "we\"ird.txt", "text/plain"}, "q\"d"},
  };
  EXPECT_EQ(parsed["defects"], 0);
  ASSERT_EQ(parsed["parts"].size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(parsed["parts"][i], expected[i].fields);
    EXPECT_TRUE(peers::readFile(dir / ("part" + std::to_string(i))) == expected[i].payload) << "part " << i;
  }
}

TEST(Multipart, RefusesLineBreaksBadFilesAndLyingLengths) {
  peers::TempDir tmp("multipart");
  const auto& dir = tmp.path();
  std::optional<platform::Error> error;
  struct Case { std::string url; const char* text; } badFiles[] = {
      {"http://h/x.txt", "Expected URL to be a file URL"},
      {"file://" + (dir / "missing").string(), "File URL not reachable."},
  };
  for (const auto& c : badFiles) {
    MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
    error.reset();
    EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", &error));
    EXPECT_EQ(error->code, -1000);
    EXPECT_EQ(std::any_cast<std::string>(error->userInfo.at(MCLocalizedFailureReasonErrorKey)), c.text);
  }
  MCStreamingMultipartFormData injected(postRequest(), platform::UTF8StringEncoding);
  EXPECT_FALSE(injected.appendPartWithFileData(bytes("x"), "a\r\nX-Injected: 1", "f", "text/plain"));
  error.reset();
  EXPECT_FALSE(injected.requestByFinalizingMultipartFormData(&error));
  EXPECT_TRUE(error);

  // A file that shrinks or grows after its length went into Content-Length fails the body.
  for (size_t later : {10u, 5000u}) {
    peers::writeFile(dir / "f.bin", std::string(1000, 'a'));
    MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
    ASSERT_TRUE(form.appendPartWithFileURL("file://" + (dir / "f.bin").string(), "f", nullptr));
    auto request = form.requestByFinalizingMultipartFormData();
    peers::writeFile(dir / "f.bin", std::string(later, 'b'));
    EXPECT_FALSE(drain(*request->HTTPBodyStream)) << later;
    EXPECT_TRUE(request->HTTPBodyStream->streamError());
  }
}

TEST(Multipart, PacketSizeBoundsTheLoopNotOnePartsRead) {
  MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
  form.appendPartWithFormData(Data(60000, 'z'), "big");
  form.appendPartWithFormData(Data(10, 'y'), "small");
  form.throttleBandwidthWithPacketSize(MCUploadStream3GSuggestedPacketSize, 0);
  auto request = form.requestByFinalizingMultipartFormData();
  std::vector<uint8_t> buf(65536);
  request->HTTPBodyStream->open();
  int64_t first = request->HTTPBodyStream->read(buf.data(), buf.size());
  EXPECT_GT(first, static_cast<int64_t>(MCUploadStream3GSuggestedPacketSize));
  EXPECT_LT(first, static_cast<int64_t>(std::stoll(*request->valueForHTTPHeaderField("Content-Length"))));
}

TEST(Multipart, PartsThatWouldInjectHeadersAreRefused) {
  struct Case { const char* name; std::function<bool(MCStreamingMultipartFormData&)> append; bool accepted; } cases[] = {
      {"plain MIME type", [](auto& f) { return f.appendPartWithFileData(bytes("x"), "f", "f.txt", "text/plain; charset=utf-8"); }, true},
      {"MIME type with CR/LF", [](auto& f) { return f.appendPartWithFileData(bytes("x"), "f", "f.txt", "text/plain\r\nX-Injected: 1"); }, false},
      {"MIME type with a bare LF", [](auto& f) { return f.appendPartWithFileData(bytes("x"), "f", "f.txt", "text/plain\nX: 1"); }, false},
      {"MIME type without subtype", [](auto& f) { return f.appendPartWithFileData(bytes("x"), "f", "f.txt", "text"); }, false},
      {"MIME type with a space in the type", [](auto& f) { return f.appendPartWithFileData(bytes("x"), "f", "f.txt", "te xt/plain"); }, false},
      {"stream part MIME type with CR", [](auto& f) {
         return f.appendPartWithInputStream(std::make_shared<platform::DataInputStream>(bytes("x")), "f", "f.txt", 1, "a/b\r");
       }, false},
      {"extra headers", [](auto& f) { return f.appendPartWithHeaders({{"X-Tag", "v\t1"}}, bytes("x")); }, true},
      {"header value with CR/LF", [](auto& f) { return f.appendPartWithHeaders({{"X-Tag", "v\r\nX-Injected: 1"}}, bytes("x")); }, false},
      {"header name with a colon", [](auto& f) { return f.appendPartWithHeaders({{"X-Tag: v\r\nX", "1"}}, bytes("x")); }, false},
      {"empty header name", [](auto& f) { return f.appendPartWithHeaders({{"", "1"}}, bytes("x")); }, false},
  };
  for (const auto& c : cases) {
    MCStreamingMultipartFormData form(postRequest(), platform::UTF8StringEncoding);
    EXPECT_EQ(c.append(form), c.accepted) << c.name;
    std::optional<platform::Error> error;
    auto request = form.requestByFinalizingMultipartFormData(&error);
    EXPECT_EQ(request.has_value(), c.accepted) << c.name;
    if (!c.accepted) {
      ASSERT_TRUE(error) << c.name;
      EXPECT_EQ(error->domain, MCURLRequestSerializationErrorDomain) << c.name;
    } else {
      auto wire = drain(*request->HTTPBodyStream);
      ASSERT_TRUE(wire) << c.name;
      EXPECT_EQ(wire->find("X-Injected"), std::string::npos) << c.name;
    }
  }
}
