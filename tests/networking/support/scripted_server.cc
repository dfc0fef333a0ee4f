#include "networking/support/scripted_server.h"

#include <vector>

namespace peers {

ScriptedServer::ScriptedServer(const std::filesystem::path& dir) : dir_(dir), port_(freePort()) {
  const std::string script = std::string(MARVISTO_TEST_SOURCE_DIR) + "/networking/support/scripted_server.py";
  process_ = std::make_unique<Child>(std::vector<std::string>{"python3", script, std::to_string(port_), dir.string()});
  waitForPort(port_, 5000);
}

std::string ScriptedServer::recorded() const {
  std::string lines = readFile(dir_ / "requests.jsonl");
  lines.erase(lines.rfind('\n') + 1);  // npos + 1: nothing whole yet
  return lines;
}

}  // namespace peers
