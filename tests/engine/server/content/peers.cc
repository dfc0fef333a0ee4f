#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace peers {

TempDir::TempDir() {
  char tmpl[] = "/tmp/marvisto_content_XXXXXX";
  path_ = mkdtemp(tmpl);
}

TempDir::~TempDir() { Shell("rm -rf '" + path_ + "'"); }

Child::Child(const std::vector<std::string>& argv, bool captureStdout) {
  int fds[2] = {-1, -1}, in[2] = {-1, -1};
  if ((captureStdout && pipe(fds) != 0) || pipe(in) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes takes its peers along
    dup2(in[0], 0);  // an open, silent stdin: openssl s_server ends at its EOF
    close(in[1]);
    if (captureStdout) {
      dup2(fds[1], 1);
      close(fds[0]);
    }
    // Our own programs run under the sanitizers of the build; peers' library
    // threads are not ours to judge.
    setenv("TSAN_OPTIONS", "report_bugs=0", 1);
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
}

Child::~Child() {
  kill(SIGKILL);
  if (out_ >= 0) close(out_);
  if (in_ >= 0) close(in_);
}

void Child::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(-pid_, signal);  // the child's own process group (nginx workers too)
  ::kill(pid_, signal);
  if (signal == SIGKILL) {
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
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

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool WaitForPort(int port, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool MakeCertificates(const std::string& dir, const std::string& name) {
  const std::string d = "cd '" + dir + "' && ";
  const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
  WriteFile(dir + "/ext.cnf", "subjectAltName=DNS:" + name + ",DNS:localhost,IP:127.0.0.1\n");
  WriteFile(dir + "/wrong.cnf", "subjectAltName=DNS:wrong.example\n");
  WriteFile(dir + "/ca.cnf",
            "[ca]\ndefault_ca=d\n[d]\ndatabase=" + dir + "/index.txt\nnew_certs_dir=" + dir +
                "\nserial=" + dir + "/serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n[p]\n"
                "commonName=supplied\n");
  WriteFile(dir + "/index.txt", "");
  WriteFile(dir + "/serial", "1000\n");
  return Shell(d + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 30 -subj '/CN=Test CA' "
                   "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign") &&
         Shell(d + key + "server.key -out server.csr -subj '/CN=" + name + "'") &&
         Shell(d + "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 "
                   "-extfile ext.cnf -out server.pem") &&
         Shell(d + key + "wrong.key -out wrong.csr -subj '/CN=wrong.example'") &&
         Shell(d + "openssl x509 -req -in wrong.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 "
                   "-extfile wrong.cnf -out wrong.pem") &&
         Shell(d + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout self.key -out self.pem -days 30 -subj '/CN=" +
               name + "' -addext subjectAltName=DNS:" + name) &&
         Shell(d + key + "expired.key -out expired.csr -subj '/CN=" + name + "' -addext subjectAltName=DNS:" + name) &&
         Shell(d + "openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem "
                   "-startdate 20200101000000Z -enddate 20200201000000Z -notext");
}

Nginx::Nginx(const std::string& root, const std::string& certDir, int limitRate, bool gzip, int upstream)
    : port_(FreePort()), tlsPort_(FreePort()) {
  const std::string& d = dir_.path();
  std::string conf = "user root;\nworker_processes 1;\nerror_log " + d + "/error.log;\npid " + d +
                     "/nginx.pid;\nevents { worker_connections 64; }\nhttp {\n access_log off;\n";
  for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    conf += std::string(" ") + t + "_temp_path " + d + "/" + t + ";\n";
  conf += " default_type application/octet-stream;\n sendfile on;\n client_max_body_size 0;\n";
  if (gzip) conf += " types { text/xml xml; }\n gzip on;\n gzip_types text/xml;\n gzip_min_length 1;\n gzip_proxied any;\n";
  // Small send buffers so a limited rate reaches the client evenly.
  const std::string buffers = limitRate > 0 ? " sndbuf=32k" : "";
  conf += " server {\n  listen 127.0.0.1:" + std::to_string(port_) + buffers + ";\n  listen 127.0.0.1:" +
          std::to_string(tlsPort_) + " ssl" + buffers + ";\n  ssl_certificate " + certDir + "/server.pem;\n  ssl_certificate_key " +
          certDir + "/server.key;\n  root " + root + ";\n";
  if (limitRate > 0) conf += "  limit_rate " + std::to_string(limitRate) + ";\n  sendfile off;\n";
  if (upstream > 0) conf += "  location /upload/ { proxy_pass http://127.0.0.1:" + std::to_string(upstream) + "/; }\n";
  conf += " }\n}\n";
  WriteFile(d + "/nginx.conf", conf);
  child_ = std::make_unique<Child>(
      std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-g", "daemon off;"});
  ok_ = WaitForPort(port_) && WaitForPort(tlsPort_);
}

std::string TestFile(const std::string& name) { return std::string(MARVISTO_CONTENT_TEST_DIR) + "/" + name; }

}  // namespace peers
