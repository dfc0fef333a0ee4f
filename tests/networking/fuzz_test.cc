// Mutated JSON, XML, property-list and image replies through the response serializers:
// none may crash, hang or leak, and whatever is not decoded comes with an error or nothing.
#include <gtest/gtest.h>

#include <cairo.h>

#include <random>

#include "networking/property_list.h"
#include "networking/response_serialization.h"

namespace {

Data mutate(const Data& seed, std::mt19937& rng) {
  Data d = seed;
  int edits = 1 + static_cast<int>(rng() % 8);
  for (int e = 0; e < edits; ++e) {
    size_t at = d.empty() ? 0 : rng() % d.size();
    switch (rng() % 6) {
      case 0: if (!d.empty()) d[at] = static_cast<uint8_t>(rng()); break;
      case 1: if (!d.empty()) d[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 2: d.insert(d.begin() + static_cast<long>(at), static_cast<uint8_t>("{}[]<>\"/\\:,0\xff"[rng() % 14])); break;
      case 3: if (!d.empty()) d.erase(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(std::min(d.size(), at + 1 + rng() % 16))); break;
      case 4: d.resize(at); break;
      default: {  // repeat a slice, which deepens nesting
        size_t n = std::min<size_t>(d.size() - std::min(at, d.size()), 1 + rng() % 64);
        Data slice(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + n));
        for (int r = 0; r < 1 + static_cast<int>(rng() % 50); ++r) d.insert(d.begin() + static_cast<long>(at), slice.begin(), slice.end());
      }
    }
  }
  return d;
}

Data text(const std::string& s) { return Data(s.begin(), s.end()); }

// A binary property list of the given objects (offsets and references one byte each).
Data bplist(const std::vector<Data>& objects) {
  Data d = text("bplist00");
  std::vector<uint8_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(static_cast<uint8_t>(d.size()));
    d.insert(d.end(), o.begin(), o.end());
  }
  size_t table = d.size();
  d.insert(d.end(), offsets.begin(), offsets.end());
  Data trailer(32, 0);
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = static_cast<uint8_t>(objects.size());
  trailer[31] = static_cast<uint8_t>(table);
  d.insert(d.end(), trailer.begin(), trailer.end());
  return d;
}

// Twenty arrays each holding the next one twice: 150 bytes that expand to two million nodes.
Data referenceBomb() {
  std::vector<Data> objects;
  for (uint8_t i = 0; i < 20; ++i) objects.push_back({0xA2, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 1)});
  objects.push_back({0x10, 0x07});
  return bplist(objects);
}

// A dictionary whose key is the UTF-16 text "a", NUL.
Data binaryNulKey() { return bplist({{0xD1, 1, 2}, {0x62, 0, 'a', 0, 0}, {0x10, 0x01}}); }

Data nested(const std::string& open, const std::string& close, size_t depth, const std::string& before = "",
            const std::string& after = "") {
  std::string s = before;
  for (size_t i = 0; i < depth; ++i) s += open;
  for (size_t i = 0; i < depth; ++i) s += close;
  return text(s + after);
}

Data withNul(const std::string& a, const std::string& b) { return text(a + std::string(1, '\0') + b); }

Data png() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
  auto image = platform::Image::imageWithSurface(s, 1);
  cairo_surface_destroy(s);
  return image->pngData();
}

}  // namespace

TEST(Fuzz, MutatedRepliesThroughEverySerializer) {
  nlohmann::json sample = {{"a", {1, 2.5, "x", nullptr, true}}, {"b", {{"c", "ü"}}}};
  struct Seed { std::string type; std::shared_ptr<MCHTTPResponseSerializer> serializer; Data data; } seeds[] = {
      {"application/json", MCJSONResponseSerializer::serializer(), text(sample.dump())},
      {"text/xml", MCXMLParserResponseSerializer::serializer(), text("<?xml version=\"1.0\"?><a x=\"1\"><b>t&amp;</b><c/><![CDATA[z]]></a>")},
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), *MCPropertyListDataWithJSON(sample.at("b"), 100, nullptr)},
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), *MCPropertyListDataWithJSON({{"k", {1, 2}}}, 200, nullptr)},
      {"image/png", MCImageResponseSerializer::serializer(), png()},
      // Replies that once killed the host; mutated, they must still only be refused or read.
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), withNul("<plist><dict><key>a", "b</key><string>x</string></dict></plist>")},
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), nested("<array>", "</array>", 600, "<plist>", "</plist>")},
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), referenceBomb()},
      {"application/x-plist", MCPropertyListResponseSerializer::serializer(), binaryNulKey()},
      {"application/json", MCJSONResponseSerializer::serializer(), nested("[", "]", 600)},
  };
  const size_t kDecodableSeeds = 5;
  std::mt19937 rng(20261207);
  for (size_t k = 0; k < std::size(seeds); ++k) {
    const auto& seed = seeds[k];
    platform::URLResponse response;
    response.URL = "http://127.0.0.1/f";
    response.statusCode = 200;
    response.MIMEType = seed.type;
    int decoded = 0;
    for (int i = 0; i < 1500; ++i) {
      Data data = mutate(seed.data, rng);
      std::optional<platform::Error> error;
      auto object = seed.serializer->responseObjectForResponse(&response, data, &error);
      if (auto parser = std::any_cast<std::shared_ptr<platform::XMLParser>>(&object)) {
        platform::XMLParserHandlers h;
        h.didStartElement = [](const std::string&, const auto&) {};
        decoded += (*parser)->parse(h);
      } else {
        decoded += object.has_value();
      }
    }
    // Some mutations leave the document intact; most do not.
    if (k < kDecodableSeeds) {
      EXPECT_GT(decoded, 0) << seed.type;
    }
    EXPECT_LT(decoded, 1500) << seed.type;
  }
}

TEST(Fuzz, RepliesThatOnceKilledTheHostAreRefusedWithTheSerializersError) {
  auto plist = MCPropertyListResponseSerializer::serializer();
  auto json = MCJSONResponseSerializer::serializer();
  struct Case { const char* name; std::shared_ptr<MCHTTPResponseSerializer> serializer; std::string type; Data data; } cases[] = {
      {"NUL in an XML string", plist, "application/x-plist", withNul("<plist><string>a", "b</string></plist>")},
      {"NUL in an XML key", plist, "application/x-plist", withNul("<plist><dict><key>a", "b</key><integer>1</integer></dict></plist>")},
      {"NUL in a binary key", plist, "application/x-plist", binaryNulKey()},
      {"NUL in a binary string", plist, "application/x-plist", bplist({{0x53, 'a', 0, 'b'}})},
      {"200,000 nested XML arrays", plist, "application/x-plist", nested("<array>", "</array>", 200000, "<plist>", "</plist>")},
      {"a reference bomb", plist, "application/x-plist", referenceBomb()},
      {"200,000 nested JSON arrays", json, "application/json", nested("[", "]", 200000)},
  };
  platform::URLResponse response;
  response.URL = "http://127.0.0.1/f";
  response.statusCode = 200;
  for (const auto& c : cases) {
    response.MIMEType = c.type;
    std::optional<platform::Error> error;
    auto object = c.serializer->responseObjectForResponse(&response, c.data, &error);
    EXPECT_FALSE(object.has_value()) << c.name;
    ASSERT_TRUE(error) << c.name;
    EXPECT_EQ(error->code, 3840) << c.name;
  }
  // Nesting up to the limit still reads.
  response.MIMEType = "application/json";
  EXPECT_TRUE(json->responseObjectForResponse(&response, nested("[", "]", 500), nullptr).has_value());
  response.MIMEType = "application/x-plist";
  EXPECT_TRUE(plist->responseObjectForResponse(&response, nested("<array>", "</array>", 200, "<plist>", "</plist>"), nullptr).has_value());
}
