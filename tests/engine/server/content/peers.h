// Test peers started on 127.0.0.1 by the tests and stopped by them: a child
// process wrapper, temp dirs, free ports, openssl-made certificates, nginx,
// openssl s_server, our content server command and the scripted bad server.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace peers {

// A temporary directory removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process in its own process group; killed (SIGKILL) and reaped on
// destruction. Its stdout can be read line by line.
class Child {
 public:
  Child(const std::vector<std::string>& argv, bool captureStdout = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Next stdout line, or empty after timeoutMs.
  std::string readLine(int timeoutMs = 10000);
  int pid() const { return pid_; }
  void kill(int signal);

 private:
  int pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string pending_;
};

int FreePort();
// Blocks until something accepts on 127.0.0.1:port (false after timeoutMs).
bool WaitForPort(int port, int timeoutMs = 10000);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Runs a shell command quietly; true on exit status 0.
bool Shell(const std::string& command);

// Certificates made with openssl in dir: ca.pem/ca.key, server.pem/server.key
// (service name, localhost, 127.0.0.1), wrong.pem (another name), self.pem
// (self-signed with the service name), expired.pem (from the CA, expired);
// each with its .key.
bool MakeCertificates(const std::string& dir, const std::string& serviceName);

// nginx serving root over http and https (server.pem) with gzip on and an
// optional limit_rate (bytes per second, 0: none). Accepts uploads (POST
// answered 200 after the whole body is read).
class Nginx {
 public:
  Nginx(const std::string& root, const std::string& certDir, int limitRate = 0, bool gzip = true,
        int upstream = 0);
  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }
  bool ok() const { return ok_; }

 private:
  TempDir dir_;
  int port_, tlsPort_;
  bool ok_ = false;
  std::unique_ptr<Child> child_;
};

// Path of a helper next to this source, e.g. "bad_server.py".
std::string TestFile(const std::string& name);

}  // namespace peers
