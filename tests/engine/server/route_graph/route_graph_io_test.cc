#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "server/route_graph/route_graph.h"
#include "server/zip_archive.h"

namespace {

const char* kConfig =
    "<Location id=\"7\">\n"
    " <Sublocation id=\"1\"><Metrics width_meters=\"20\" height_meters=\"10\"/>"
    "<GPS altitude=\"0\"/></Sublocation>\n"
    " <Sublocation id=\"2\"><GPS altitude=\"4\" latitude_deg=\"55.5\"/>"
    "<Metrics width_meters=\"40\" height_meters=\"30\"/></Sublocation>\n"
    " <Files><File type=\"GRAPH:xml\" name=\"g1.xml\" tag=\"main\"/>"
    "<Other type=\"graph:xml\" name=\"g2.xml\" tag=\"alt\"/>"
    "<File type=\"graph:xml\" name=\"g3.xml\" tag=\"main\"/>"
    "<File type=\"image\" name=\"a.png\" tag=\"x\"/></Files>\n"
    "</Location>\n";

const char* kGraph =
    "<Location id=\"7\">\n"
    " <Description><![CDATA[Two floors & a lift]]></Description>\n"
    " <Sublocation id=\"1\">\n"
    "  <Options smooth_radius=\"2\"/>\n"
    "  <Vertex id=\"1\" kx=\"0.5\" x=\"3\" y=\"1\" name=\"Gate &quot;A&quot;\"/>\n"
    "  <Vertex id=\"2\" x=\"15\" ky=\"0.5\" is_elevation=\"yes\"/>\n"
    "  <Edge src=\"1\" dst=\"2\"/>\n"
    "  <Edge src=\"2\" dst=\"1\" weight_coef=\"2.5\"/>\n"
    " </Sublocation>\n"
    " <Sublocation id=\"2\">\n"
    "  <Options stick_distance=\"0.5\" barriers_enabled=\"false\"/>\n"
    "  <Vertex id=\"3\" x=\"15\" y=\"5\" is_elevation=\"1\"/>\n"
    "  <Vertex id=\"4\" x=\"15.3\" y=\"5\"/>\n"
    "  <Vertex id=\"5\" x=\"30\" y=\"5\"/>\n"
    "  <Edge id=\"40\" src=\"4\" dst=\"5\"/>\n"
    " </Sublocation>\n"
    " <External><Edge src=\"2\" dst=\"3\"/><Edge src=\"3\" dst=\"2\"/></External>\n"
    "</Location>\n";

const char* kBarriers =
    "<Location>\n"
    " <Sublocation id=\"1\">\n"
    "  <Barrier id=\"1\" type=\"wall\"><coord kx=\"0.25\" ky=\"0\"/><coord kx=\"0.25\" ky=\"1\"/></Barrier>\n"
    "  <Barrier id=\"2\" type=\"zone\"/>\n"
    "  <Barrier id=\"1\" type=\"zone\"><coord kx=\"1\" ky=\"1\"/></Barrier>\n"
    " </Sublocation>\n"
    "</Location>\n";

RouteGraph Loaded() {
  bool ok = false;
  std::string err;
  RouteGraph g = RouteGraph::parse(kConfig, kGraph, kBarriers, &err, &ok);
  EXPECT_TRUE(ok) << err;
  return g;
}

std::string GraphWith(const std::string& body) {
  return "<Location id=\"7\"><Sublocation id=\"1\">" + body + "</Sublocation></Location>";
}

std::string GraphError(const std::string& text, bool* ok = nullptr) {
  RouteGraph g;
  g.parseConfig(kConfig, nullptr, nullptr);
  std::string err;
  const bool result = g.parseGraph(text, &err);
  if (ok) *ok = result;
  return err;
}

TEST(RouteGraphFiles, ConfigFloorsAndGraphFiles) {
  RouteGraph g;
  std::map<std::string, std::string> files{{"stale", "x"}};
  std::string err;
  ASSERT_TRUE(g.parseConfig(kConfig, &files, &err)) << err;
  EXPECT_EQ(g.getLocation(), 7);
  EXPECT_DOUBLE_EQ(g.getSubLocation(2).width, 40.0);
  EXPECT_DOUBLE_EQ(g.getSubLocation(2).altitude, 4.0);
  EXPECT_DOUBLE_EQ(g.getSubLocation(2).latitude, 55.5);
  // Capitals in the type count, siblings after the first File count whatever
  // their name, and a repeated tag keeps its first file.
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"alt", "g2.xml"}, {"main", "g1.xml"}}));

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "config.xml: no <Location> element!"},
      {"<Place id=\"1\"/>", "config.xml: no <Location> element!"},
      {"<Location id=\"x\"/>", "config.xml: invalid location id!"},
      {"<Location id=\"3\"><Sublocation id=\"0\"/></Location>", "config.xml: invalid sublocation id!"},
      {"<Location id=\"3\"><Sublocation id=\"2\"><Metrics width_meters=\"0.5\" height_meters=\"9\"/>"
       "</Sublocation></Location>",
       "previous\nconfig.xml: invalid sublocation size!\n"},
      {"<Location id=\"3\"><Sublocation id=\"2\"><Metrics width_meters=\"nan\" height_meters=\"9\"/>"
       "</Sublocation></Location>",
       "previous\nconfig.xml: invalid sublocation size!\n"},
  };
  for (const Case& c : cases) {
    RouteGraph h;
    std::string e = "previous\n";
    EXPECT_FALSE(h.parseConfig(c.text, nullptr, &e)) << c.text;
    EXPECT_EQ(e, c.error) << c.text;  // the size error is appended, the others assigned
  }
}

TEST(RouteGraphFiles, GraphContent) {
  const RouteGraph g = Loaded();
  EXPECT_EQ(g.getDescription(), "Two floors & a lift");
  EXPECT_DOUBLE_EQ(g.getVertex(1).x, 10.0);  // kx wins over x
  EXPECT_DOUBLE_EQ(g.getVertex(2).y, 5.0);
  EXPECT_TRUE(g.getVertex(2).isElevation);
  EXPECT_EQ(g.getVertex(4).id, 3);  // merged with the floor's stick distance 0.5
  EXPECT_TRUE(g.getBarriersEnabled(1));
  EXPECT_EQ(g.getEdge(2).src, 2);
  EXPECT_EQ(g.getEdge(40).src, 3);
  EXPECT_EQ(g.getEdge(4).subLoc, RouteGraph::kExternalSubLoc);
  EXPECT_EQ(g.getEdge(5).src, 3);
  EXPECT_EQ(g.getElevationPoints().size(), 2u);

  std::vector<int> ids;
  for (auto it = g.barrierBegin(); it != g.barrierEnd(); ++it) ids.push_back(it->id * 10 + it->type);
  EXPECT_EQ(ids, (std::vector<int>{12, 21}));  // the repeated barrier 1 is not stored
  EXPECT_DOUBLE_EQ(g.barrierBegin()->points[1].x, 5.0);
  EXPECT_DOUBLE_EQ(g.barrierBegin()->points[1].y, 10.0);
}

TEST(RouteGraphFiles, GraphErrors) {
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {"<Graph/>", "graph.xml: no Location element!\n"},
      {"<Location><Sublocation id=\"-2\"/></Location>", "graph.xml: invalid sublocation id!"},
      {"<Location><Sublocation id=\"9\"/></Location>", "graph.xml: undefined sublocation 9!"},
      {GraphWith("<Vertex x=\"1\" y=\"1\"/>"), "graph.xml: invalid vertex (sublocation 1)!"},
      {GraphWith("<Vertex id=\"3\" y=\"1\" kx=\"abc\"/>"), "graph.xml: undefined x-coordinate for vertex 3!"},
      {GraphWith("<Vertex id=\"3\" x=\"1\" y=\"inf\"/>"), "graph.xml: undefined y-coordinate for vertex 3!"},
      {GraphWith("<Vertex id=\"3\" x=\"1\" y=\"1\"/><Vertex id=\"3\" x=\"5\" y=\"1\"/>"),
       "graph.xml: vertex 3 already exists!"},
      {GraphWith("<Vertex id=\"3\" x=\"1\" y=\"1\"/><Edge src=\"3\" dst=\"3\"/>"),
       "graph.xml: invalid edge 1 (sublocation 1)!"},
      {GraphWith("<Vertex id=\"3\" x=\"1\" y=\"1\"/><Edge src=\"3\" dst=\"4\"/><Vertex id=\"4\" x=\"5\" y=\"1\"/>"),
       "graph.xml: edge 1 destination 4 is not defined!"},
      {GraphWith("<Vertex id=\"3\" x=\"1\" y=\"1\"/><Edge id=\"8\" src=\"6\" dst=\"3\"/>"),
       "graph.xml: edge 8 source 6 is not defined!"},
      {"<Location><External><Edge id=\"-1\" src=\"1\" dst=\"2\"/></External></Location>",
       "graph.xml: invalid external edge -1!"},
  };
  for (const Case& c : cases) EXPECT_EQ(GraphError(c.text), c.error) << c.text;

  // A repeated id is skipped under a floor but fails the file as an external edge.
  const std::string body =
      "<Vertex id=\"1\" x=\"1\" y=\"1\"/><Vertex id=\"2\" x=\"5\" y=\"1\"/>"
      "<Edge id=\"1\" src=\"1\" dst=\"2\"/><Edge id=\"1\" src=\"2\" dst=\"1\"/>";
  bool ok = false;
  EXPECT_EQ(GraphError(GraphWith(body), &ok), "");
  EXPECT_TRUE(ok);
  const std::string withExternal = "<Location><Sublocation id=\"1\">" + body +
                                   "</Sublocation><External><Edge id=\"1\" src=\"2\" dst=\"1\"/></External></Location>";
  EXPECT_EQ(GraphError(withExternal, &ok), "graph.xml: edge 1 already exists!");
  EXPECT_FALSE(ok);
}

TEST(RouteGraphFiles, EdgesWithoutIdsNeverTakeAnIdOfTheFile) {
  RouteGraph g;
  g.parseConfig(kConfig, nullptr, nullptr);
  std::string err;
  ASSERT_TRUE(g.parseGraph(
      GraphWith("<Vertex id=\"1\" x=\"1\" y=\"1\"/><Vertex id=\"2\" x=\"5\" y=\"1\"/>"
                "<Vertex id=\"3\" x=\"9\" y=\"1\"/>"
                "<Edge id=\"2\" src=\"1\" dst=\"2\"/><Edge src=\"2\" dst=\"3\"/>"
                "<Edge src=\"3\" dst=\"2\"/><Edge id=\"1\" src=\"2\" dst=\"1\"/>"),
      &err))
      << err;
  int count = 0;
  for (auto it = g.edgeBegin(); it != g.edgeEnd(); ++it) ++count;
  EXPECT_EQ(count, 4);
  EXPECT_EQ(g.getEdge(3).src, 2);
  EXPECT_EQ(g.getEdge(4).src, 3);
  EXPECT_EQ(g.getEdge(1).dst, 1);
}

TEST(RouteGraphFiles, BarrierErrorsAndTheBuilder) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"<Barriers/>", "barriers.xml: no Location element!\n"},
      {"<Location><Sublocation/></Location>", "barriers.xml: invalid sublocation id!"},
      {"<Location><Sublocation id=\"5\"/></Location>", "barriers.xml: undefined sublocation 5!"},
      {"<Location><Sublocation id=\"1\"><Barrier type=\"wall\"/></Sublocation></Location>",
       "barriers.xml: invalid barrier identifier (sublocation 1)!"},
      {"<Location><Sublocation id=\"1\"><Barrier id=\"4\" type=\"door\"/></Sublocation></Location>",
       "barriers.xml: invalid barrier type (barrier #4)!"},
  };
  for (const Case& c : cases) {
    bool ok = false;
    std::string err;
    const RouteGraph g = RouteGraph::parse(kConfig, kGraph, c.text, &err, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(err, c.error);
    EXPECT_TRUE(g.hasVertex(5));
  }
  bool ok = true;
  std::string err;
  RouteGraph g = RouteGraph::parse(kConfig, "<Location><Sublocation id=\"3\"/></Location>", kBarriers, &err, &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(g.isEmpty());
  EXPECT_EQ(err, "graph.xml: undefined sublocation 3!");
  g = RouteGraph::parse("<Location/>", kGraph, kBarriers, nullptr, &ok);
  EXPECT_FALSE(ok);
}

TEST(RouteGraphFiles, WriterOutputReadsBack) {
  EXPECT_EQ(RouteGraph().toString(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Location id=\"0\">\n"
            "  <Description><![CDATA[]]></Description>\n  <External>\n  </External>\n</Location>\n");

  RouteGraph g = Loaded();
  g.setVertexName(2, "<a & 'b'> \"c\"");
  const std::string longName(300, 'n');
  g.setVertexName(5, longName);
  for (const std::string& description : {std::string("ends ]]> early"), std::string("plain <text>")}) {
    g.setDescription(description);
    const std::string text = g.toString();
    std::string err;
    bool ok = false;
    const RouteGraph back = RouteGraph::parse(kConfig, text, "", &err, &ok);
    ASSERT_TRUE(ok) << err << "\n" << text;
    EXPECT_EQ(back.getDescription(), description);
    EXPECT_EQ(back.getVertex(2).name, "<a & 'b'> \"c\"");
    EXPECT_EQ(back.getVertex(5).name, longName.substr(0, 255));
    EXPECT_EQ(back.getVertex(1).name, "Gate \"A\"");
    EXPECT_TRUE(back.getVertex(3).isElevation);
    EXPECT_FALSE(back.getVertex(5).isElevation);
    EXPECT_NEAR(back.getVertex(5).x, 30.0, 1e-4);
    EXPECT_DOUBLE_EQ(back.getSmoothRadius(1), 2.0);
    EXPECT_FALSE(back.getBarriersEnabled(2));
    // Edges come back in written order with fresh ids.
    std::vector<std::vector<int>> edges;
    for (auto it = back.edgeBegin(); it != back.edgeEnd(); ++it)
      edges.push_back({it->subLoc == RouteGraph::kExternalSubLoc ? -1 : it->subLoc, it->id, it->src, it->dst});
    EXPECT_EQ(edges, (std::vector<std::vector<int>>{
                         {1, 1, 1, 2}, {1, 2, 2, 1}, {2, 3, 3, 5}, {-1, 4, 2, 3}, {-1, 5, 3, 2}}));
    EXPECT_DOUBLE_EQ(back.getEdge(2).weightCoef, 2.5);
    EXPECT_EQ(back.toString(), text);
  }
  EXPECT_NE(g.toString().find("<Edge src=\"2\" dst=\"3\" weight=\"10.00\" weight_coef=\"1.00\"/>"),
            std::string::npos);
}

// Mutated members never crash the readers; a failing reader always names
// its file in a known message.
TEST(RouteGraphFiles, MutatedMembersFailCleanly) {
  std::mt19937 rng(4242);
  const std::string sources[] = {kConfig, kGraph, kBarriers};
  const char* alphabet = "<>/=\"' &;!?[]-0123456789.eEnaxyid\n\xff";
  auto known = [](const std::string& err) {
    if (err.empty()) return true;
    const bool named = err.rfind("config.xml: ", 0) == 0 || err.rfind("graph.xml: ", 0) == 0 ||
                       err.rfind("barriers.xml: ", 0) == 0;
    const bool ended = err.back() == '!' || err.compare(err.size() - 2, 2, "!\n") == 0;
    return named && ended && err.find('\0') == std::string::npos;
  };
  for (int round = 0; round < 3000; ++round) {
    const int which = round % 3;
    std::string text = sources[which];
    const int edits = std::uniform_int_distribution<int>(1, 6)(rng);
    for (int i = 0; i < edits && !text.empty(); ++i) {
      const size_t pos = std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng);
      switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0: text[pos] = alphabet[std::uniform_int_distribution<int>(0, 35)(rng)]; break;
        case 1: text.erase(pos, std::uniform_int_distribution<size_t>(1, 12)(rng)); break;
        case 2: text.insert(pos, text.substr(std::uniform_int_distribution<size_t>(0, pos)(rng), 20)); break;
        default: text.resize(pos); break;
      }
    }
    std::string err;
    bool ok = false;
    RouteGraph g = RouteGraph::parse(which == 0 ? text : kConfig, which == 1 ? text : kGraph,
                                     which == 2 ? text : kBarriers, &err, &ok);
    EXPECT_TRUE(known(err)) << err;
    if (ok) {
      EXPECT_FALSE(g.isEmpty());
      const std::string written = g.toString();
      bool again = false;
      RouteGraph::parse(which == 0 ? text : kConfig, written, "", nullptr, &again);
      EXPECT_TRUE(again) << written;
    } else {
      EXPECT_TRUE(g.isEmpty());
    }
  }
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/routegraphXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
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
};

TEST_F(ArchiveTest, GraphOfOneTag) {
  Write({{"config.xml", kConfig}, {"g1.xml", kGraph}, {"barriers.xml", "<Location><Sublocation id=\"8\"/></Location>"}});
  std::string err;
  bool ok = false;
  RouteGraph g = RouteGraph::parseArchive(path_, "main", &err, &ok);
  EXPECT_TRUE(ok) << err;
  EXPECT_TRUE(g.hasVertex(5));
  EXPECT_EQ(g.getTag(), "");
  EXPECT_EQ(g.barrierBegin(), g.barrierEnd());

  g = RouteGraph::parseArchive(path_, "lobby", &err, &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(g.isEmpty());
  EXPECT_EQ(err, "Tag 'lobby' was not found in 'config.xml'");
  g = RouteGraph::parseArchive(path_, "alt", &err, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Unable to read 'g2.xml' from ZIP-archive");
  g = RouteGraph::parseArchive(path_ + ".missing", "main", &err, &ok);
  EXPECT_EQ(err, "Unable to read ZIP-archive");

  Write({{"g1.xml", kGraph}});
  g = RouteGraph::parseArchive(path_, "main", &err, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Unable to read 'config.xml' from ZIP-archive");

  // A damaged download: every cut of a good archive fails cleanly.
  Write({{"config.xml", kConfig}, {"g1.xml", kGraph}});
  std::string bytes;
  if (FILE* f = std::fopen(path_.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
  }
  ASSERT_GT(bytes.size(), 100u);
  for (size_t cut = 0; cut < bytes.size(); cut += 37) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, cut, f);
    std::fclose(f);
    ok = true;
    err.clear();
    g = RouteGraph::parseArchive(path_, "main", &err, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(g.isEmpty());
    EXPECT_FALSE(err.empty());
  }
}

}  // namespace
