// Archiving and copying of the manager, the serializers and the request operation; an
// operation made with callbacks is freed when dropped; archives that are outside input.
#include <gtest/gtest.h>

#include "networking/http_request_operation_manager.h"

using nlohmann::json;

namespace {

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  auto data = platform::KeyedArchiver::archivedDataWithRootObject(object);
  std::optional<platform::Error> error;
  auto decoded = platform::KeyedUnarchiver::unarchiveObjectWithData<T>(data, &error);
  EXPECT_FALSE(error) << (error ? error->description() : "");
  return decoded;
}

platform::URLRequest request(const std::string& url) {
  return *MCHTTPRequestSerializer::serializer()->requestWithMethod("GET", url, nullptr);
}

}  // namespace

TEST(Archiving, ManagerKeepsBaseURLAndBothSerializersByClass) {
  auto json = MCJSONRequestSerializer::serializerWithWritingOptions(1);
  json->setValue("secret", "X-Token");
  json->setQueryStringSerializationWithStyle(1);
  auto plist = MCPropertyListResponseSerializer::serializerWithFormat(200, 2);
  plist->acceptableStatusCodes = std::set<long>{200, 201, 202, 304};
  auto image = MCImageResponseSerializer::serializer();
  image->imageScale = 2;
  image->automaticallyInflatesResponseImage = false;
  auto strict = MCJSONResponseSerializer::serializerWithReadingOptions(4);
  strict->removesKeysWithNullValues = true;
  strict->acceptableContentTypes = std::set<std::string>{"application/vnd.x+json"};

  struct Case { const char* name; std::shared_ptr<MCHTTPRequestSerializer> request; std::shared_ptr<MCHTTPResponseSerializer> response; } cases[] = {
      {"JSON request, property-list response", json, plist},
      {"property-list request, compound response", MCPropertyListRequestSerializer::serializerWithFormat(200, 3),
       MCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({strict, image, MCXMLParserResponseSerializer::serializer()})},
      {"defaults", MCHTTPRequestSerializer::serializer(), MCHTTPResponseSerializer::serializer()},
  };
  for (const auto& c : cases) {
    auto manager = MCHTTPRequestOperationManager::initWithBaseURL("http://h/api");
    manager->requestSerializer = c.request;
    manager->responseSerializer = c.response;
    for (const auto& [how, other] : {std::pair{"decoded", roundTrip(manager)}, std::pair{"copied", manager->copy()}}) {
      ASSERT_TRUE(other) << c.name << " " << how;
      SCOPED_TRACE(std::string(c.name) + ", " + how);
      EXPECT_EQ(other->baseURL, "http://h/api/");
      // The same class and settings: the requests and the replies' treatment agree.
      EXPECT_EQ(other->requestSerializer->archiveClassName(), c.request->archiveClassName());
      EXPECT_EQ(other->requestSerializer->queryStringSerializationStyle(), c.request->queryStringSerializationStyle());
      auto mine = c.request->requestWithMethod("PUT", "http://h/x", {{"a", 1}});
      auto theirs = other->requestSerializer->requestWithMethod("PUT", "http://h/x", {{"a", 1}});
      EXPECT_EQ(theirs->allHTTPHeaderFields, mine->allHTTPHeaderFields);
      EXPECT_EQ(theirs->HTTPBody, mine->HTTPBody);
      EXPECT_EQ(platform::KeyedArchiver::archivedDataWithRootObject(other->responseSerializer),
                platform::KeyedArchiver::archivedDataWithRootObject(c.response));
      EXPECT_NE(other->requestSerializer, c.request);
      EXPECT_NE(other->responseSerializer, c.response);
    }
  }
  // A copy is independent of its original and keeps the query callback; an archive cannot.
  json->setQueryStringSerializationWithBlock([](const auto&, const auto&, auto*) { return std::string("cb"); });
  auto copy = json->copy();
  copy->setValue("other", "X-Token");
  EXPECT_EQ(json->valueForHTTPHeaderField("X-Token"), "secret");
  EXPECT_EQ(copy->requestWithMethod("GET", "http://h/", {{"a", 1}})->URL, "http://h/?cb");
  EXPECT_EQ(roundTrip(std::static_pointer_cast<MCJSONRequestSerializer>(json->copy()))->writingOptions, 1u);
}

TEST(Archiving, OperationKeepsItsRequestReplyAndState) {
  auto op = MCHTTPRequestOperation::initWithRequest(request("http://h/file?x=1"));
  auto serializer = MCJSONResponseSerializer::serializer();
  serializer->removesKeysWithNullValues = true;
  op->setResponseSerializer(serializer);
  op->setResponseData(Data{'{', '}'});
  auto decoded = roundTrip(op);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->request().URL, "http://h/file?x=1");
  EXPECT_EQ(decoded->request().allHTTPHeaderFields, op->request().allHTTPHeaderFields);
  EXPECT_EQ(decoded->state(), MCOperationReadyState);
  EXPECT_EQ(decoded->responseData(), op->responseData());
  auto restored = std::dynamic_pointer_cast<MCJSONResponseSerializer>(decoded->responseSerializer());
  ASSERT_TRUE(restored);
  EXPECT_TRUE(restored->removesKeysWithNullValues);

  // A copy shares the callbacks and the completion queue, not the serializer object.
  int redirects = 0;
  op->setRedirectResponseBlock([&](const platform::URLRequest& r, const platform::URLResponse&) { ++redirects; return r; });
  op->setCompletionQueue(platform::dispatch::serialQueue("copy"));
  auto copy = op->copy();
  EXPECT_EQ(copy->completionQueue(), op->completionQueue());
  EXPECT_NE(copy->responseSerializer(), op->responseSerializer());
  EXPECT_EQ(copy->state(), MCOperationReadyState);
  EXPECT_FALSE(copy->responseData());
}

TEST(Archiving, BrokenOrHostileArchivesReadAsNone) {
  auto manager = MCHTTPRequestOperationManager::manager();
  manager->requestSerializer->setValue("v", "X-Kept");
  auto data = platform::KeyedArchiver::archivedDataWithRootObject(manager);
  // A header whose name would split the request: dropped when read back.
  std::string text(data.begin(), data.end());
  auto hostile = data;
  auto at = text.find("X-Kept");
  ASSERT_NE(at, std::string::npos);
  hostile[at + 1] = '\n';
  auto read = platform::KeyedUnarchiver::unarchiveObjectWithData<MCHTTPRequestOperationManager>(hostile);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->requestSerializer->valueForHTTPHeaderField("X\nKept"));
  struct Case { const char* name; Data bytes; } cases[] = {
      {"empty", {}},
      {"truncated", Data(data.begin(), data.begin() + static_cast<long>(data.size() / 2))},
      {"another class", platform::KeyedArchiver::archivedDataWithRootObject(MCHTTPResponseSerializer::serializer())},
  };
  for (const auto& c : cases) {
    std::optional<platform::Error> error;
    EXPECT_FALSE(platform::KeyedUnarchiver::unarchiveObjectWithData<MCHTTPRequestOperationManager>(c.bytes, &error)) << c.name;
    EXPECT_TRUE(error) << c.name;
  }
}

TEST(Lifetime, AnOperationWithCallbacksThatIsNeverQueuedIsFreed) {
  auto manager = MCHTTPRequestOperationManager::manager();
  std::weak_ptr<MCHTTPRequestOperation> weak;
  {
    auto op = manager->HTTPRequestOperationWithRequest(request("http://127.0.0.1:9/never"), [](const auto&, const auto&) {},
                                                       [](const auto&, const auto&) {});
    weak = op;
  }
  EXPECT_TRUE(weak.expired());
}
