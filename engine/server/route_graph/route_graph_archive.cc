// Building the route graph of one tag straight from a map archive.
#include <memory>

#include "server/route_graph/route_graph.h"
#include "server/zip_archive.h"

namespace {

// Reads a whole member as text; false when it is missing, empty or short.
bool ReadMember(zip* archive, const std::string& name, std::string& text) {
  const int size = ZipGetFileSize(archive, name.c_str());
  if (size < 1) return false;
  std::string buf(static_cast<size_t>(size) + 1, '\0');
  if (ZipReadFile(archive, name.c_str(), buf.data(), size) != size) return false;
  buf.resize(static_cast<size_t>(size));
  text.swap(buf);
  return true;
}

}  // namespace

RouteGraph RouteGraph::parseArchive(const std::string& archivePath, const std::string& tag,
                                    std::string* err, bool* ok) {
  if (ok) *ok = false;
  zip* archive = ZipOpen(archivePath.c_str());
  if (!archive) {
    if (err) *err = "Unable to read ZIP-archive";
    return RouteGraph();
  }
  std::unique_ptr<zip, int (*)(zip*)> closer(archive, ZipClose);

  RouteGraph g;
  std::string config;
  if (!ReadMember(archive, "config.xml", config)) {
    if (err) *err = "Unable to read 'config.xml' from ZIP-archive";
    return RouteGraph();
  }
  std::map<std::string, std::string> graphFiles;
  if (!g.parseConfig(config, &graphFiles, err)) return RouteGraph();
  auto it = graphFiles.find(tag);
  if (it == graphFiles.end()) {
    if (err) *err = "Tag '" + tag + "' was not found in 'config.xml'";
    return RouteGraph();
  }
  std::string graph;
  if (!ReadMember(archive, it->second, graph)) {
    if (err) *err = "Unable to read '" + it->second + "' from ZIP-archive";
    return RouteGraph();
  }
  if (!g.parseGraph(graph, err)) return RouteGraph();
  std::string barriers;
  if (ReadMember(archive, "barriers.xml", barriers)) g.parseBarriers(barriers, nullptr);
  if (ok) *ok = true;
  return g;
}
