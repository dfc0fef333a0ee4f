#include "networking/support/peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace peers {

std::filesystem::path tempDir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("mvnet-" + tag + "-XXXXXX")).string();
  char* made = mkdtemp(pattern.data());
  if (!made) return {};
  // nginx's workers may run as another user: they must be able to read what we serve.
  std::filesystem::permissions(made, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  return made;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::filesystem::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

int run(const std::string& command) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string seededBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

static bool portOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

Process::Process(std::vector<std::string> argv, int port) : port_(port) {
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  for (int i = 0; i < 500 && !ready_; ++i) {
    ready_ = portOpen(port);
    if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Process::~Process() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(-pid_, SIGKILL);
    waitpid(pid_, &status, WNOHANG);
  }
}

Nginx::Nginx(const std::filesystem::path& dir, const std::string& servers, int waitPort) : dir_(dir) {
  std::filesystem::create_directories(dir / "www");
  std::filesystem::create_directories(dir / "tmp");
  std::string d = dir.string();
  std::string conf = "worker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                     "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
                     "  log_format t '$request_method $request_uri $status $http_range $content_type';\n"
                     "  access_log " + d + "/access.log t;\n"
                     "  client_body_temp_path " + d + "/tmp; proxy_temp_path " + d + "/tmp;\n"
                     "  fastcgi_temp_path " + d + "/tmp; uwsgi_temp_path " + d + "/tmp; scgi_temp_path " + d + "/tmp;\n"
                     "  types { application/json json; text/xml xml; application/x-plist plist; image/png png;\n"
                     "          text/html html; application/octet-stream bin; }\n"
                     "  default_type application/octet-stream;\n  keepalive_requests 100000;\n" +
                     servers + "}\n";
  writeFile(dir / "nginx.conf", conf);
  process_ = std::make_unique<Process>(
      std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log", "-g", "daemon off;"},
      waitPort);
}

ScriptedServer::ScriptedServer(const std::filesystem::path& dir) : dir_(dir) {
  int port = freePort();
  std::string script = std::string(MARVISTO_TEST_SOURCE_DIR) + "/networking/support/scripted_server.py";
  process_ = std::make_unique<Process>(
      std::vector<std::string>{"python3", script, std::to_string(port), dir.string()}, port);
}

}  // namespace peers
