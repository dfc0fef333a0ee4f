// Multipart bodies read back byte for byte and through Python's email parser.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "networking/multipart_form_data.h"
#include "networking/request_serialization.h"
#include "networking/support/peers.h"

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

TEST(Multipart, PythonEmailParsesDataFileAndStreamParts) {
  auto dir = peers::tempDir("multipart");
  std::string fileBody = peers::seededBytes(100000, 3), streamBody = peers::seededBytes(5000, 4);
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
  std::string script =
      "import email,email.policy,json,base64,sys\n"
      "m=email.message_from_binary_file(open(sys.argv[1]+'/body','rb'),policy=email.policy.HTTP)\n"
      "out=[[p.get_param('name',header='content-disposition'),p.get_filename(),p.get_content_type(),"
      "base64.b64encode(p.get_payload(decode=True)).decode()] for p in m.iter_parts()]\n"
      "json.dump({'defects':len(m.defects),'parts':out},open(sys.argv[1]+'/parsed.json','w'))\n";
  peers::writeFile(dir / "parse.py", script);
  ASSERT_EQ(peers::run("python3 " + (dir / "parse.py").string() + " " + dir.string()), 0);
  auto parsed = nlohmann::json::parse(peers::readFile(dir / "parsed.json"));
  auto b64 = [](const std::string& s) {
    std::string out;
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
      uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8) | uint8_t(s[i + 2]);
      for (int k = 18; k >= 0; k -= 6) out += abc[(v >> k) & 63];
    }
    if (size_t rest = s.size() - i) {
      uint32_t v = uint8_t(s[i]) << 16 | (rest == 2 ? uint8_t(s[i + 1]) << 8 : 0);
      out += abc[(v >> 18) & 63];
      out += abc[(v >> 12) & 63];
      out += rest == 2 ? abc[(v >> 6) & 63] : '=';
      out += '=';
    }
    return out;
  };
  nlohmann::json expected = nlohmann::json::array({
      {"list[]", nullptr, "text/plain", b64("1")},
      {"list[]", nullptr, "text/plain", b64("2")},
      {"none", nullptr, "text/plain", ""},
      {"plain", nullptr, "text/plain", b64("v")},
      {"file", "photo.png", "image/png", b64(fileBody)},
      {"stream", "s.bin", "application/octet-stream", b64(streamBody)},
      {"quote\"d\\name", "we\"ird.txt", "text/plain", b64("q\"d")},
  });
  EXPECT_EQ(parsed["defects"], 0);
  EXPECT_EQ(parsed["parts"], expected);
  std::filesystem::remove_all(dir);
}

TEST(Multipart, RefusesLineBreaksBadFilesAndLyingLengths) {
  auto dir = peers::tempDir("multipart");
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
  std::filesystem::remove_all(dir);
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
