// Loading the route graphs of an opened map archive.
#include <cstdlib>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_map.h"

#define PG_LOG(level, ...) \
  _Logger.print((level), "wifipos/navigation_map/parse_graph", __LINE__, __VA_ARGS__)

namespace {

// Reads one member of the archive as text with a newline appended; the
// archive reader's code on failure.
int ReadText(NavigationMap& map, const std::string& member, std::string& text) {
  char* data = nullptr;
  int size = 0;
  const int rc = map.getDataFromZip(map.getFiles().pathToArchive.c_str(), member.c_str(), data, &size);
  if (rc != 0) return rc;
  text.assign(data, size > 0 ? static_cast<size_t>(size) : 0);
  text += "\n";
  std::free(data);
  return 0;
}

}  // namespace

int NavigationMap::parseGraph(std::string* error) {
  std::string localError;
  std::string* err = error ? error : &localError;
  const NavigationFiles files = getFiles();

  std::string config;
  int rc = ReadText(*this, files.configFile, config);
  if (rc != 0) return rc;
  std::string barriers;
  if (ReadText(*this, files.barriersFile, barriers) != 0) barriers.clear();

  std::vector<RouteGraph>& graphs = getGraphs();
  if (!graphs.empty()) {
    for (RouteGraph& graph : graphs) {
      const std::string tag = graph.getTag();
      const std::string name = graph.getName();
      PG_LOG(12, "Start parsing graph '%s' (file '%s)\n", tag.c_str(), name.c_str());
      std::string text;
      rc = ReadText(*this, name, text);
      if (rc != 0) {
        PG_LOG(11, "Error reading file '%s'\n", name.c_str());
        return rc;
      }
      graph = RouteGraph::parse(config, text, barriers, err, nullptr);
      graph.setTag(tag);
      graph.setName(name);
      PG_LOG(12, "Stop parsing graph '%s' (file '%s)\n", tag.c_str(), name.c_str());
    }
    return 0;
  }

  PG_LOG(12, "Start parsing '%s'\n", files.graphFile.c_str());
  std::string text;
  rc = ReadText(*this, files.graphFile, text);
  if (rc != 0) {
    PG_LOG(11, "Error reading file '%s'\n", files.graphFile.c_str());
    return rc;
  }
  RouteGraph graph = RouteGraph::parse(config, text, barriers, err, nullptr);
  graph.setTag("default");
  graph.setName(files.graphFile);
  graphs.push_back(std::move(graph));
  PG_LOG(12, "Stop parsing graph.xml\n");
  return 0;
}
