// Loading every route graph of a map archive when the map is opened.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

const char* kConfig =
    "<Location id=\"3\"><Sublocation id=\"1\"><Metrics width_meters=\"20\" height_meters=\"10\"/>"
    "</Sublocation></Location>";

std::string GraphText(double x) {
  return "<Location><Sublocation id=\"1\"><Vertex id=\"1\" x=\"0\" y=\"0\"/><Vertex id=\"2\" x=\"" +
         std::to_string(x) + "\" y=\"0\"/><Edge src=\"1\" dst=\"2\"/></Sublocation></Location>";
}

class MapGraphs : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/mapgraphsXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
    map_.setPathToNavArchive(path_.c_str());
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::map<std::string, std::string>& members) {
    zip* z = ZipCreate(path_.c_str());
    ASSERT_NE(z, nullptr);
    for (const auto& [name, text] : members)
      ASSERT_EQ(ZipWriteBuffer(z, name.c_str(), text.data(), static_cast<int>(text.size())), 0);
    ASSERT_EQ(ZipClose(z), 0);
  }
  std::string path_;
  NavigationMap map_;
};

TEST_F(MapGraphs, ListedGraphsAreReadInOrderAndKeepTheirTags) {
  Write({{"config.xml", kConfig}, {"a.xml", GraphText(4)}, {"c.xml", GraphText(8)},
         {"graph.xml", GraphText(16)}});
  auto& graphs = map_.getGraphs();
  graphs.emplace_back("first", "a.xml");
  graphs.emplace_back("second", "b.xml");
  graphs.emplace_back("third", "c.xml");
  std::string err;
  // The second file is missing: its code stops the loading there.
  EXPECT_EQ(map_.parseGraph(&err), 25);
  ASSERT_EQ(graphs.size(), 3u);
  EXPECT_EQ(graphs[0].getTag(), "first");
  EXPECT_EQ(graphs[0].getName(), "a.xml");
  EXPECT_DOUBLE_EQ(graphs[0].getVertex(2).x, 4.0);
  EXPECT_TRUE(graphs[2].isEmpty());
  EXPECT_EQ(graphs[2].getTag(), "third");
  // No barriers.xml: every graph reads an empty barriers text.
  EXPECT_EQ(err, "barriers.xml: no Location element!\n");

  graphs.erase(graphs.begin() + 1);
  EXPECT_EQ(map_.parseGraph(&err), 0);
  ASSERT_EQ(graphs.size(), 2u);
  EXPECT_DOUBLE_EQ(graphs[1].getVertex(2).x, 8.0);
  EXPECT_EQ(graphs[1].getName(), "c.xml");
}

}  // namespace
