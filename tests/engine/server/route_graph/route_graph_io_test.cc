#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

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

std::string GraphWith(const std::string& body) {
  return "<Location id=\"7\"><Sublocation id=\"1\">" + body + "</Sublocation></Location>";
}

// What a graph file carries: floor options to two decimals, vertices (positions to the
// written precision), every id that answers as a vertex and the vertex it answers as, and
// each floor's edges in order with their ends and coefficients to two decimals.
void ExpectSameGraph(const RouteGraph& a, const RouteGraph& b) {
  auto options = [](const RouteGraph& g, int floor) {
    const RouteGraph::SubLocation s = g.getSubLocation(floor);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d %.2f %.2f %d", s.id, s.smoothRadius, s.stickDistance,
                  s.barriersEnabled);
    return std::string(buf);
  };
  for (int floor = 1; floor <= 3; ++floor) EXPECT_EQ(options(a, floor), options(b, floor));
  auto va = a.vertexBegin(), vb = b.vertexBegin();
  for (; va != a.vertexEnd() && vb != b.vertexEnd(); ++va, ++vb) {
    EXPECT_EQ(std::tie(va->subLoc, va->id, va->isElevation, va->name),
              std::tie(vb->subLoc, vb->id, vb->isElevation, vb->name));
    EXPECT_LT(std::hypot(va->x - vb->x, va->y - vb->y), 1e-4) << "vertex " << va->id;
  }
  EXPECT_TRUE(va == a.vertexEnd() && vb == b.vertexEnd()) << "vertex counts differ";
  for (int id = 1; id <= 60; ++id) EXPECT_EQ(a.getVertex(id).id, b.getVertex(id).id) << "id " << id;
  auto edges = [](const RouteGraph& g) {
    std::string out;
    char buf[96];
    for (auto e = g.edgeBegin(); e != g.edgeEnd(); ++e) {
      std::snprintf(buf, sizeof buf, "%d: %d->%d x%.2f\n", e->subLoc, e->src, e->dst, e->weightCoef);
      out += buf;
    }
    return out;
  };
  EXPECT_EQ(edges(a), edges(b));
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
      const RouteGraph reread = RouteGraph::parse(which == 0 ? text : kConfig, written, "", nullptr, &again);
      EXPECT_TRUE(again) << written;
      if (again) ExpectSameGraph(g, reread);
    } else {
      EXPECT_TRUE(g.isEmpty());
    }
  }
}

const char* kThreeFloors =
    "<Location id=\"7\">\n"
    " <Sublocation id=\"1\"><Metrics width_meters=\"20\" height_meters=\"10\"/></Sublocation>\n"
    " <Sublocation id=\"2\"><Metrics width_meters=\"40\" height_meters=\"30\"/>"
    "<GPS altitude=\"4\"/></Sublocation>\n"
    " <Sublocation id=\"3\"><Metrics width_meters=\"10\" height_meters=\"10\"/>"
    "<GPS altitude=\"8\"/></Sublocation>\n"
    "</Location>\n";

std::string Floor(int id, const std::string& body) {
  return "<Sublocation id=\"" + std::to_string(id) + "\">" + body + "</Sublocation>";
}

std::string Vertex(int id, double x, double y) {
  return "<Vertex id=\"" + std::to_string(id) + "\" x=\"" + std::to_string(x) + "\" y=\"" +
         std::to_string(y) + "\"/>";
}

std::string Edge(int src, int dst, const char* more = "") {
  return "<Edge src=\"" + std::to_string(src) + "\" dst=\"" + std::to_string(dst) + "\" " + more + "/>";
}

// Whatever the reader takes, the writer writes so that it reads back as the same graph.
TEST(RouteGraphFiles, WrittenGraphsReadBackTheSame) {
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"an edge names a vertex of a later floor read before it",
       Floor(2, Vertex(1, 5, 5)) + Floor(1, Vertex(7, 2, 2) + Edge(1, 7))},
      {"both ends on later floors", Floor(3, Vertex(1, 1, 1)) + Floor(2, Vertex(2, 3, 3)) +
                                         Floor(1, Vertex(7, 2, 2) + Edge(1, 2) + Edge(7, 1))},
      {"a late edge keeps its place among its floor's edges",
       Floor(2, Vertex(1, 5, 5)) +
           Floor(1, Vertex(7, 2, 2) + Vertex(8, 9, 2) + Edge(7, 8) + Edge(1, 7, "weight_coef=\"3\"") +
                    Edge(8, 7) + Edge(7, 1))},
      {"a floor given twice", Floor(1, Vertex(1, 1, 1)) + Floor(2, Vertex(2, 3, 3)) +
                                  Floor(1, Vertex(3, 4, 4) + Edge(3, 2) + Edge(1, 3)) +
                                  "<External>" + Edge(2, 3) + "</External>"},
      {"the stick distance raised after vertices",
       Floor(1, "<Options stick_distance=\"0.1\"/>" + Vertex(1, 1, 1) + Vertex(2, 1.3, 1) +
                    "<Options stick_distance=\"0.5\" smooth_radius=\"1.5\"/>" + Vertex(3, 1.4, 1) +
                    Edge(1, 2) + Edge(3, 1))},
      {"a stick distance that rounds up when written",
       Floor(1, "<Options stick_distance=\"0.126\"/>" + Vertex(1, 1, 1) + Vertex(2, 1.128, 1) +
                    Edge(2, 1))},
      {"a merged vertex id", Floor(1, Vertex(5, 1, 1) + Vertex(6, 1.05, 1) + Vertex(7, 5, 1) +
                                          Edge(6, 7) + Edge(7, 5))},
      {"merged ids on a floor read under two stick distances",
       Floor(2, "<Options stick_distance=\"0.5\"/>" + Vertex(9, 3, 3) + Vertex(4, 3.2, 3)) +
           Floor(1, Vertex(1, 1, 1)) +
           Floor(2, "<Options stick_distance=\"0.1\"/>" + Vertex(2, 3.6, 3) + Vertex(3, 3.65, 3) +
                        "<Options stick_distance=\"0.7\"/>" + Edge(4, 2) + Edge(3, 1))},
      {"vertices 10 cm apart that six decimals of a 30 m floor would bring closer",
       Floor(2, Vertex(1, 1, 4.2) + Vertex(2, 1, 4.1) + Edge(1, 2))},
      {"a chain down three floors",
       Floor(3, Vertex(1, 1, 1)) + Floor(2, Vertex(2, 2, 2) + Edge(1, 2)) +
           Floor(1, Vertex(3, 3, 3) + Edge(2, 3) + Edge(3, 1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string err;
    bool ok = false;
    const std::string text = "<Location id=\"7\">" + c.body + "</Location>";
    const RouteGraph first = RouteGraph::parse(kThreeFloors, text, "", &err, &ok);
    EXPECT_TRUE(ok) << err;
    if (!ok) continue;
    const std::string written = first.toString();
    const RouteGraph second = RouteGraph::parse(kThreeFloors, written, "", &err, &ok);
    EXPECT_TRUE(ok) << err << "\n" << written;
    if (!ok) continue;
    ExpectSameGraph(first, second);
    EXPECT_EQ(second.toString(), written);
  }
}

// Graphs as they are drawn: most vertices on a 10 cm grid, often a step or two from an
// earlier one, some anywhere, floors given in pieces under changing stick distances.
TEST(RouteGraphFiles, RandomGraphsReadBackTheSame) {
  const double size[4][2] = {{}, {30, 30}, {37.3, 12.34}, {99.9, 17.3}};
  std::string config = "<Location id=\"7\">";
  for (int f = 1; f <= 3; ++f)
    config += Floor(f, "<Metrics width_meters=\"" + std::to_string(size[f][0]) + "\" height_meters=\"" +
                           std::to_string(size[f][1]) + "\"/>");
  config += "</Location>";
  std::mt19937 rng(5150);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto grid = [&](double v) { return std::round(v * 10 + pick(-2, 2)) / 10; };
  for (int round = 0; round < 400 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string text = "<Location id=\"7\">";
    std::vector<std::pair<double, double>> placed[4];
    for (int piece = pick(1, 3), id = 0; piece > 0; --piece) {
      const int f = pick(1, 3);
      std::string body;
      for (int n = pick(2, 16); n > 0 && id < 60; --n) {
        if (pick(0, 9) == 0) body += "<Options stick_distance=\"0." + std::to_string(pick(1, 5)) + "\"/>";
        std::uniform_real_distribution<double> x(0, size[f][0]), y(0, size[f][1]);
        std::pair<double, double> at{x(rng), y(rng)};  // anywhere, else on the grid
        const int kind = pick(0, 3);
        if (kind < 2 && !placed[f].empty()) at = placed[f][pick(0, static_cast<int>(placed[f].size()) - 1)];
        if (kind != 2) at = {grid(at.first), grid(at.second)};
        body += Vertex(++id, at.first, at.second);
        placed[f].push_back(at);
        if (const int a = pick(1, id), b = pick(1, id); a != b) body += Edge(a, b);
      }
      text += Floor(f, body);
    }
    std::string err;
    bool ok = false;
    const RouteGraph first = RouteGraph::parse(config, text + "</Location>", "", &err, &ok);
    ASSERT_TRUE(ok) << err;
    const RouteGraph second = RouteGraph::parse(config, first.toString(), "", &err, &ok);
    ASSERT_TRUE(ok) << err << "\n" << first.toString();
    ExpectSameGraph(first, second);
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

}  // namespace
