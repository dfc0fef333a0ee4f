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
  };
  std::mt19937 rng(20261207);
  for (const auto& seed : seeds) {
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
    EXPECT_GT(decoded, 0) << seed.type;
    EXPECT_LT(decoded, 1500) << seed.type;
  }
}
