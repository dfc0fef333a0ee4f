#include "support/peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace peers {

TempDir::TempDir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("marvisto-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) return;
  path_ = pattern;
  // nginx's workers may run as another user: they must be able to read what we serve.
  namespace fs = std::filesystem;
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

// The warden of a peer's process group: a shell of ours that joins the group and reads a pipe whose
// write end only the test process holds. However the test process ends (returns, crashes, SIGTERM,
// SIGKILL), the kernel closes that end, the read ends, and the warden kills the whole group: the
// peer's own children too (nginx's workers are the master's children, which no death signal of ours
// reaches). The group is killed with the peer on destruction, the warden with it.
static pid_t startWarden(pid_t group, int guard) {
  static const char* const kWatch = "read line; kill -KILL 0";  // 0: its own group, the peer's
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Ignored dispositions survive exec: a signal meant for the peer's group leaves the warden.
  for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM}) signal(s, SIG_IGN);
  if (setpgid(0, group) != 0) _exit(127);  // outside the peer's group it would kill its own
  dup2(guard, 0);
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 1);
  dup2(null, 2);
  close_range(3, ~0U, 0);  // holds nothing of the test's open, not even another warden's pipe
  execl("/bin/sh", "sh", "-c", kWatch, static_cast<char*>(nullptr));
  _exit(127);
}

Child::Child(const std::vector<std::string>& argv, bool captureStdout) {
  // Every pipe end is closed on exec: a peer started later must not hold another's stdin open
  // (openssl s_server ends at its EOF) nor a warden's pipe.
  int fds[2] = {-1, -1}, in[2] = {-1, -1}, guard[2] = {-1, -1};
  if ((captureStdout && pipe2(fds, O_CLOEXEC) != 0) || pipe2(in, O_CLOEXEC) != 0 || pipe2(guard, O_CLOEXEC) != 0) return;
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes takes its peers along
    if (getppid() != parent) _exit(127);  // the test process died before the line above
    dup2(in[0], 0);  // an open, silent stdin: openssl s_server ends at its EOF
    if (captureStdout) dup2(fds[1], 1);
    // Our own programs (named by their path in the build) run under the race detector of the
    // build and report what it finds, with the test's own options; a peer of another maker,
    // found on the PATH, is not ours to judge.
    if (!argv.empty() && argv[0].find('/') == std::string::npos) setenv("TSAN_OPTIONS", "report_bugs=0", 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  in_ = in[1];
  if (captureStdout) {
    close(fds[1]);
    out_ = fds[0];
  }
  if (pid_ > 0) {
    setpgid(pid_, pid_);  // the group exists before the warden joins it (refused once the child ran exec: it set it)
    warden_ = startWarden(pid_, guard[0]);
  }
  close(guard[0]);
  guard_ = guard[1];
}

Child::~Child() {
  kill(SIGKILL);
  if (out_ >= 0) close(out_);
  if (in_ >= 0) close(in_);
  if (guard_ >= 0) close(guard_);
}

void Child::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(-pid_, signal);  // the child's own process group (nginx workers and the warden too)
  ::kill(pid_, signal);
  if (signal == SIGKILL) {
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (warden_ > 0) {
      ::kill(warden_, SIGKILL);  // in the group already, unless it could not join it
      waitpid(warden_, nullptr, 0);
      warden_ = -1;
    }
  }
}

std::string Child::readLine(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pending_.find('\n') == std::string::npos) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return std::string();
    char buf[256];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return std::string();
    pending_.append(buf, n);
  }
  const size_t nl = pending_.find('\n');
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return line;
}

static sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int boundLoopback(sockaddr_in* a) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  *a = loopback(0);
  socklen_t len = sizeof *a;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(a), sizeof *a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(a), &len) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Whether nothing holds 127.0.0.1:port now; bound as the peers bind (address reuse on, so a
// connection of an earlier peer in TIME_WAIT does not count).
static bool bindable(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  const sockaddr_in a = loopback(port);
  const bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                  bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// A lock on one byte per port of a file shared by every test process of the machine: a port
// is claimed by the process that holds its byte, until that process ends.
static bool claim(int claims, int port, short type) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = port;
  l.l_len = 1;
  return fcntl(claims, F_SETLK, &l) == 0;
}

int freePort() {
  // A port is free only until a peer binds it. Test programs run side by side (ctest -j), so a
  // port the kernel handed out and took back may go to another process's peer before ours
  // binds it, and ours fails to start. So ports come from below the kernel's ephemeral range
  // (which neither bind to port 0 nor an outgoing connection ever takes), each claimed by one
  // process for its life through the shared lock file; and none twice in one process, whose
  // server would refuse a configuration listing one port twice ("duplicate listen").
  static std::mutex lock;
  static std::set<int> given;
  static int claims = -2, low = 0, high = 0, next = 0;
  const std::lock_guard hold(lock);
  if (claims == -2) {
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    high = low, low = std::max(low - 16384, 1024);
    const auto path = std::filesystem::temp_directory_path() / "marvisto-test-ports.lock";
    claims = high - low >= 1024 ? open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666) : -1;
    if (claims >= 0) fchmod(claims, 0666);  // shared by test runs of every user
    next = low + static_cast<int>((static_cast<unsigned>(getpid()) * 2654435761u) % static_cast<unsigned>(high - low));
  }
  for (int tried = 0; claims >= 0 && tried < high - low; ++tried) {
    const int port = next;
    next = next + 1 < high ? next + 1 : low;
    if (given.count(port) || !claim(claims, port, F_WRLCK)) continue;
    if (bindable(port)) {
      given.insert(port);
      return port;
    }
    claim(claims, port, F_UNLCK);
  }
  for (;;) {  // no lock file (or no room below the ephemeral range): the kernel's choice
    sockaddr_in a;
    const int fd = boundLoopback(&a);
    if (fd < 0) return 0;
    close(fd);
    const int port = ntohs(a.sin_port);
    if (given.insert(port).second) return port;
  }
}

bool waitForPort(int port, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::filesystem::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary) << data;
}

int run(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string seededBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

bool makeCertificates(const std::filesystem::path& where, const std::string& name) {
  const std::string dir = where.string();
  const std::string d = "cd '" + dir + "' && ";
  const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
  writeFile(dir + "/ext.cnf", "subjectAltName=DNS:" + name + ",DNS:localhost,IP:127.0.0.1\n");
  writeFile(dir + "/wrong.cnf", "subjectAltName=DNS:wrong.example\n");
  writeFile(dir + "/ca.cnf",
            "[ca]\ndefault_ca=d\n[d]\ndatabase=" + dir + "/index.txt\nnew_certs_dir=" + dir +
                "\nserial=" + dir + "/serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n[p]\n"
                "commonName=supplied\n");
  writeFile(dir + "/index.txt", "");
  writeFile(dir + "/serial", "1000\n");
  const std::vector<std::string> steps = {
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 30 "
      "-subj '/CN=Test CA' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign",
      key + "server.key -out server.csr -subj '/CN=" + name + "'",
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile ext.cnf "
      "-out server.pem",
      key + "wrong.key -out wrong.csr -subj '/CN=wrong.example'",
      "openssl x509 -req -in wrong.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile wrong.cnf "
      "-out wrong.pem",
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout self.key -out self.pem "
      "-days 30 -subj '/CN=" + name + "' -addext subjectAltName=DNS:" + name,
      key + "expired.key -out expired.csr -subj '/CN=" + name + "' -addext subjectAltName=DNS:" + name,
      "openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem "
      "-startdate 20200101000000Z -enddate 20200201000000Z -notext"};
  for (const auto& s : steps)
    if (run(d + s) != 0) return false;
  return true;
}

Nginx::Nginx(const std::filesystem::path& dir, const std::string& servers, int waitPort) : dir_(dir) {
  start(servers, {waitPort});
}

Nginx::Nginx(const Site& site)
    : own_(std::make_unique<TempDir>("nginx")), dir_(own_->path()), port_(freePort()), tlsPort_(freePort()) {
  // Small send buffers so a limited rate reaches the client evenly.
  const std::string buffers = site.limitRate > 0 ? " sndbuf=32k" : "";
  std::string s = "server {\n  listen 127.0.0.1:" + std::to_string(port_) + buffers + ";\n  listen 127.0.0.1:" +
                  std::to_string(tlsPort_) + " ssl" + buffers + ";\n  ssl_certificate " + site.certDir +
                  "/server.pem;\n  ssl_certificate_key " + site.certDir + "/server.key;\n  root " + site.root +
                  ";\n  client_max_body_size 0;\n";
  if (site.gzip) s += "  gzip on;\n  gzip_types text/xml;\n  gzip_min_length 1;\n  gzip_proxied any;\n";
  if (site.limitRate > 0)
    s += "  limit_rate " + std::to_string(site.limitRate) + ";\n  sendfile off;\n";
  else
    s += "  sendfile on;\n";
  if (site.upstream > 0)
    s += "  location /upload/ { proxy_pass http://127.0.0.1:" + std::to_string(site.upstream) + "/; }\n";
  start(s + "}\n", {port_, tlsPort_});
}

Nginx::~Nginx() = default;

void Nginx::start(const std::string& servers, const std::vector<int>& waitPorts) {
  std::filesystem::create_directories(dir_ / "tmp");
  const std::string d = dir_.string();
  // Workers as root: they write request bodies into our temp dir.
  std::string conf = "user root;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                     "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
                     "  log_format t '$request_method $request_uri $status $http_range $content_type';\n"
                     "  access_log " + d + "/access.log t;\n";
  for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    conf += std::string("  ") + t + "_temp_path " + d + "/tmp/" + t + ";\n";
  conf +=
      "  types { application/json json; text/xml xml; application/x-plist plist; image/png png;\n"
      "          text/html html; application/octet-stream bin; }\n"
      "  default_type application/octet-stream;\n  keepalive_requests 100000;\n" +
      servers + "}\n";
  writeFile(dir_ / "nginx.conf", conf);
  child_ = std::make_unique<Child>(std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-e",
                                                            d + "/error.log", "-g", "daemon off;"});
  ok_ = true;
  for (int p : waitPorts) ok_ = ok_ && waitForPort(p);
}

CpuLoad::CpuLoad(unsigned threads) {
  for (unsigned i = 0; i < std::max(2u, threads); ++i)
    threads_.emplace_back([this] {
      volatile uint64_t x = 0;
      while (!stop_.load(std::memory_order_relaxed)) x = x + 1;
    });
}

CpuLoad::~CpuLoad() {
  stop_ = true;
  for (auto& t : threads_) t.join();
}

}  // namespace peers
