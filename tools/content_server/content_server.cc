#include "content_server/content_server.h"

#include <dirent.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>
#include <tinyxml2.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include "server/zip_archive.h"

namespace contentserver {

namespace {

std::string ReadMember(zip* z, const char* name) {
  const int size = ZipGetFileSize(z, name);
  if (size <= 0) return std::string();
  std::string out(size, '\0');
  const int n = ZipReadFile(z, name, out.data(), size);
  out.resize(n < 0 ? 0 : n);
  return out;
}

std::string ListXml(const std::map<int, Location>& locations) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<data>\n<maps>\n";
  for (const auto& [id, l] : locations) {
    tinyxml2::XMLPrinter title(nullptr, true);
    title.PushText(l.title.c_str());
    xml += "<item><id>" + std::to_string(id) + "</id><title>" + title.CStr() + "</title><version>" +
           std::to_string(l.version) + "</version></item>\n";
  }
  return xml + "</maps>\n</data>\n";
}

int IntParam(const httplib::Request& req, const char* name, int fallback) {
  if (!req.has_param(name)) return fallback;
  try {
    return std::stoi(req.get_param_value(name));
  } catch (...) {
    return fallback;
  }
}

// A thread per connection, at most `most` at once: the library's fixed pool of
// a few workers stops answering as soon as that many clients sit idle.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(int most) : most_(std::max(most, 1)) {}
  ~ConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> g(mutex_);
    reap();
    room_.wait(g, [this] { return running_ < most_; });  // the accept loop waits; clients queue in the kernel
    ++running_;
    const uint64_t id = next_++;
    threads_.emplace(id, std::thread([this, id, fn = std::move(fn)] {
      fn();
      std::lock_guard<std::mutex> done(mutex_);
      --running_;
      finished_.push_back(id);
      room_.notify_all();
    }));
  }

  void shutdown() override {
    std::unique_lock<std::mutex> g(mutex_);
    room_.wait(g, [this] { return running_ == 0; });
    for (auto& [id, t] : threads_) t.join();
    threads_.clear();
    finished_.clear();
  }

 private:
  void reap() {
    for (uint64_t id : finished_) {
      threads_[id].join();
      threads_.erase(id);
    }
    finished_.clear();
  }

  const int most_;
  std::mutex mutex_;
  std::condition_variable room_;
  int running_ = 0;
  uint64_t next_ = 0;
  std::map<uint64_t, std::thread> threads_;
  std::vector<uint64_t> finished_;
};

// The library listens with a backlog of 5: a burst of clients then waits a
// second per dropped SYN although threads are free. Listening again on the
// bound socket only changes the backlog.
template <class Base>
struct Listening : Base {
  using Base::Base;
  void widenBacklog() { ::listen(this->svr_sock_, 1024); }
};

// Whether another listener holds `port` on ::1, as opposed to this machine having no IPv6
// loopback (where listening on 127.0.0.1 alone is all there is to do).
bool Ipv6PortTaken(int port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  a.sin6_addr = in6addr_loopback;
  const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return taken;
}

int LocalPort(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

// Shuts down (without closing: the serving thread owns the descriptor) every
// accepted connection on our ports, so a stop does not wait for clients that
// trickle or sit idle. The library keeps its accepted sockets to itself; the
// process's descriptor table is the one place to find them.
void CutConnections(const std::set<int>& ports) {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const int fd = std::atoi(e->d_name);
    if (fd <= 2 || fd == dirfd(d)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t n = sizeof local, m = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) != 0 || ports.count(LocalPort(local)) == 0) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &m) == 0) ::shutdown(fd, SHUT_RDWR);
  }
  closedir(d);
}

uint64_t RecordBytes(const RequestRecord& r) {
  return sizeof r + r.method.size() + r.path.size() + r.query.size() + r.sha256.size() + r.userHash.size() +
         r.localTime.size() + r.xml.size() + r.formFields.size();
}

}  // namespace

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : digest) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::vector<Location> LoadVenueDir(const std::string& dir, std::string* error) {
  std::vector<Location> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    if (error) *error = "cannot open " + dir + ": " + std::generic_category().message(errno);
    return out;
  }
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".mvz") != 0) continue;
    const std::string path = dir + "/" + name;
    zip* z = ZipOpen(path.c_str());
    if (z == nullptr) continue;
    tinyxml2::XMLDocument config;
    const std::string configText = ReadMember(z, "config.xml");
    const std::string version = ReadMember(z, "version.txt");
    ZipClose(z);
    config.Parse(configText.c_str(), configText.size());
    const tinyxml2::XMLElement* root = config.RootElement();
    if (root == nullptr) continue;
    Location l;
    l.id = root->IntAttribute("id", 0);
    l.title = root->Attribute("name") ? root->Attribute("name") : "";
    l.version = std::atoi(version.c_str());
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    l.archive = ss.str();
    out.push_back(std::move(l));
  }
  closedir(d);
  return out;
}

struct ContentServer::Impl {
  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::map<int, Location> locations;
  Misbehaviour bad;
  std::deque<RequestRecord> records;
  uint64_t recordBytes = 0;
  uint64_t dropped = 0;
  size_t maxRecords = 0;
  uint64_t maxRecordBytes = 0;
  int postsSeen = 0;
  std::vector<Route> routes;
  std::FILE* log = nullptr;
  struct Listener {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Listener> listeners;
  std::set<int> ports;

  void record(const RequestRecord& r) {
    std::lock_guard<std::mutex> g(mutex);
    records.push_back(r);
    recordBytes += RecordBytes(r);
    while (!records.empty() && (records.size() > maxRecords || recordBytes > maxRecordBytes)) {
      recordBytes -= RecordBytes(records.front());
      records.pop_front();
      ++dropped;
    }
    if (log == nullptr) return;
    nlohmann::json j = {{"method", r.method},     {"path", r.path},         {"query", r.query},
                        {"status", r.status},     {"bytes", r.bytes},       {"sha256", r.sha256},
                        {"userHash", r.userHash}, {"locationId", r.locationId}, {"packet", r.packetNumber},
                        {"localTime", r.localTime}, {"xmlBytes", r.xml.size()}, {"xmlSha256", Sha256Hex(r.xml)}};
    std::fprintf(log, "%s\n", j.dump().c_str());
    std::fflush(log);  // a test may kill the server right after
  }

  // Holds a request until the server stops.
  void hang() {
    std::unique_lock<std::mutex> g(mutex);
    wake.wait(g, [this] { return stopping; });
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    RequestRecord r;
    r.method = req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.params) r.query += (r.query.empty() ? "" : "&") + k + "=" + v;
    r.bytes = req.body.size();
    r.sha256 = Sha256Hex(req.body);
    r.userHash = req.get_param_value("userHash");
    r.locationId = IntParam(req, "locationId", -1);
    Misbehaviour b;
    {
      std::lock_guard<std::mutex> g(mutex);
      b = bad;
    }
    if (req.path == "/xmlParserInsert" && req.method == "POST") return messagePost(req, res, r, b);
    if (b.status != 0) {
      res.status = b.status;
      res.set_content("status " + std::to_string(b.status) + "\n", "text/plain");
    } else if (req.path == "/locations" && req.method == "GET" && req.has_param("locationId")) {
      return archive(res, r, b);
    } else if (req.path == "/locations" && req.method == "GET") {
      list(res, b);
    } else if (req.path == "/locations" && req.method == "POST") {
      upload(req, res, r);
    } else if (!extra(req, res)) {
      res.status = 200;
      res.set_content(req.method == "POST" ? r.sha256 + "\n" : "content for " + req.path + "\n", "text/plain");
    }
    r.status = res.status;
    record(r);
  }

  bool extra(const httplib::Request& req, httplib::Response& res) {
    std::vector<Route> copy;
    {
      std::lock_guard<std::mutex> g(mutex);
      copy = routes;
    }
    for (const Route& route : copy) {
      int status = 200;
      std::string type = "text/plain", body;
      if (route(req.method, req.path, req.body, &status, &type, &body)) {
        res.status = status;
        res.set_content(body, type.c_str());
        return true;
      }
    }
    return false;
  }

  void list(httplib::Response& res, const Misbehaviour& b) {
    std::string xml;
    {
      std::lock_guard<std::mutex> g(mutex);
      xml = ListXml(locations);
    }
    res.status = 200;
    if (!b.gzipList) {
      res.set_content(xml, "text/xml");
      return;
    }
    auto text = std::make_shared<std::string>(std::move(xml));
    res.set_chunked_content_provider("text/xml", [text](size_t offset, httplib::DataSink& sink) {
      if (offset < text->size()) {
        sink.write(text->data() + offset, std::min<size_t>(100, text->size() - offset));
      } else {
        sink.done();
      }
      return true;
    });
  }

  void archive(httplib::Response& res, RequestRecord& r, const Misbehaviour& b) {
    std::shared_ptr<std::string> data;
    {
      std::lock_guard<std::mutex> g(mutex);
      auto it = locations.find(r.locationId);
      if (it != locations.end()) data = std::make_shared<std::string>(it->second.archive);
    }
    if (!data) {
      res.status = 404;
      res.set_content("no such location\n", "text/plain");
    } else if (b.silent) {
      r.status = 0;
      record(r);
      hang();
      res.status = 500;
      return;
    } else {
      res.status = 200;
      const size_t limit = b.cutShort ? data->size() / 2 : data->size();
      const int rate = b.slowBytesPerSecond;
      res.set_content_provider(data->size(), "application/octet-stream",
                               [data, limit, rate, this](size_t offset, size_t length, httplib::DataSink& sink) {
                                 if (offset >= limit) return false;  // drops the connection
                                 size_t n = std::min(length, limit - offset);
                                 if (rate > 0) {
                                   n = std::min<size_t>(n, std::max(1, rate / 10));
                                   std::unique_lock<std::mutex> g(mutex);
                                   if (wake.wait_for(g, std::chrono::milliseconds(100), [this] { return stopping; }))
                                     return false;
                                 }
                                 sink.write(data->data() + offset, n);
                                 return true;
                               });
    }
    r.status = res.status;
    record(r);
  }

  void upload(const httplib::Request& req, httplib::Response& res, RequestRecord& r) {
    // The library has read exactly Content-Length bytes (or dropped the
    // connection) and split the parts; a missing length or file part is refused.
    const std::string declared = req.get_header_value("Content-Length");
    r.bytes = std::strtoull(declared.c_str(), nullptr, 10);
    if (declared.empty() || !req.is_multipart_form_data() || !req.has_file("file") ||
        req.get_file_value("file").filename.empty()) {
      res.status = 400;
      res.set_content("bad upload\n", "text/plain");
      return;
    }
    const std::string data = req.get_file_value("file").content;
    r.sha256 = Sha256Hex(data);
    {
      std::lock_guard<std::mutex> g(mutex);
      auto it = locations.find(r.locationId);
      if (it == locations.end()) {
        res.status = 404;
        res.set_content("no such location\n", "text/plain");
        return;
      }
      it->second.archive = data;
      ++it->second.version;
    }
    res.status = 200;
    res.set_content("OK\n", "text/plain");
  }

  void messagePost(const httplib::Request& req, httplib::Response& res, RequestRecord& r, const Misbehaviour& b) {
    auto value = [&req](const char* name) {
      return req.has_file(name) ? req.get_file_value(name).content : std::string();
    };
    r.userHash = value("userHash");
    r.localTime = value("localTime");
    r.xml = value("xml");
    for (const auto& field : req.files) r.formFields += (r.formFields.empty() ? "" : ",") + field.first;
    try {
      r.packetNumber = std::stoi(value("packetNumber"));
    } catch (...) {
      r.packetNumber = -1;
    }
    int seen;
    {
      std::lock_guard<std::mutex> g(mutex);
      seen = ++postsSeen;
    }
    if (b.neverAnswerPosts) {
      r.status = 0;
      record(r);
      hang();
      res.status = 500;
      return;
    }
    if (!req.is_multipart_form_data() || r.packetNumber < 0) {
      res.status = 400;
    } else if (b.status != 0) {
      res.status = b.status;
    } else {
      res.status = seen <= b.failFirstPosts ? 500 : 200;
    }
    res.set_content(res.status == 200 ? "OK\n" : "failed\n", "text/plain");
    r.status = res.status;
    record(r);
  }
};

ContentServer::ContentServer(ServerOptions options) : impl_(new Impl), options_(std::move(options)) {
  impl_->maxRecords = std::max<size_t>(options_.maxRecords, 1);
  impl_->maxRecordBytes = options_.maxRecordBytes;
}

ContentServer::~ContentServer() { stop(); }

bool ContentServer::start(std::string* error) {
  // Already listening: a second set of listeners could not have the ports, and failing here
  // would stop the running ones.
  if (!impl_->listeners.empty()) return true;
  // Everything that can fail before a listener runs is checked first: a
  // failed start then has nothing to stop.
  using Plain = Listening<httplib::Server>;
  using Secure = Listening<httplib::SSLServer>;
  std::unique_ptr<Secure> tls, tls6;
  if (options_.tlsPort >= 0) {
    tls = std::make_unique<Secure>(options_.cert.c_str(), options_.key.c_str());
    if (!tls->is_valid()) {
      if (error) *error = "cannot load certificate " + options_.cert + " / key " + options_.key;
      return false;
    }
    if (options_.ipv6) tls6 = std::make_unique<Secure>(options_.cert.c_str(), options_.key.c_str());
  }
  if (!options_.logPath.empty() && (impl_->log = std::fopen(options_.logPath.c_str(), "a")) == nullptr) {
    if (error) *error = "cannot open log " + options_.logPath + ": " + std::generic_category().message(errno);
    return false;
  }
  auto serve = [this](auto s, const char* host, int* port, bool required) {
    if (!s) return !required;
    // Address reuse only, so a restart binds beside its old connections in TIME_WAIT; the
    // library's own choice, port sharing, would let this server listen on a port another
    // listener holds, and the two would split the clients between them.
    s->set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    s->set_payload_max_length(options_.maxBodyBytes);
    s->set_keep_alive_max_count(1);
    s->set_read_timeout(options_.readTimeoutSeconds, 0);
    const int most = options_.maxConnections;
    s->new_task_queue = [most] { return new ConnectionThreads(most); };
    auto h = [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); };
    s->Get(".*", h);
    // Form posts (the SDK's reports) may pass the library's 8 KiB cap on form bodies: every
    // POST but the engine's multipart ones is read whole first.
    const uint64_t bodyMost = options_.maxBodyBytes;
    s->Post("/(?!locations$|xmlParserInsert$).*",
            [h, bodyMost](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
              httplib::Request whole = req;
              const bool fits = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) <= bodyMost;
              if (fits && read([&](const char* data, size_t n) {
                    return whole.body.size() + n <= bodyMost && (whole.body.append(data, n), true);
                  }))
                return h(whole, res);
              res.status = fits ? 400 : 413;  // refused or cut-short bodies reach no handler
            });
    s->Post(".*", h);
    int bound;
    if (*port == 0) {
      bound = s->bind_to_any_port(host);
    } else {
      bound = s->bind_to_port(host, *port) ? *port : -1;
    }
    if (bound <= 0) return !required;
    *port = bound;
    s->widenBacklog();
    Impl::Listener l;
    l.done = std::make_shared<std::atomic<bool>>(false);
    httplib::Server* raw = s.get();
    l.server = std::move(s);
    l.thread = std::thread([raw, done = l.done] {
      raw->listen_after_bind();
      *done = true;
    });
    // A stop given before the listener runs would be lost (the library's stop
    // only acts on a running server) and the listener would accept forever.
    while (!raw->is_running() && !*l.done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->ports.insert(bound);
    impl_->listeners.push_back(std::move(l));
    return true;
  };
  int plain = options_.port;
  if (!serve(std::make_unique<Plain>(), "127.0.0.1", &plain, true)) {
    if (error) *error = "cannot listen on 127.0.0.1 port " + std::to_string(options_.port);
    stop();
    return false;
  }
  port_ = plain;
  // A port asked for by number must be ours on ::1 as well: clients that resolve "localhost"
  // to ::1 first would reach the other listener.
  auto serve6 = [&](auto s, int* port, int asked, const char* what) {
    const size_t before = impl_->listeners.size();
    serve(std::move(s), "::1", port, false);
    if (impl_->listeners.size() > before || asked == 0 || !Ipv6PortTaken(*port)) return true;
    if (error) *error = std::string(what) + " on ::1 port " + std::to_string(asked);
    stop();
    return false;
  };
  if (options_.ipv6 && !serve6(std::make_unique<Plain>(), &plain, options_.port, "cannot listen")) return false;
  if (tls) {
    int secure = options_.tlsPort;
    if (!serve(std::move(tls), "127.0.0.1", &secure, true)) {
      if (error) *error = "cannot listen with TLS on 127.0.0.1 port " + std::to_string(options_.tlsPort);
      stop();
      return false;
    }
    tlsPort_ = secure;
    if (tls6 && !serve6(std::move(tls6), &secure, options_.tlsPort, "cannot listen with TLS")) return false;
  }
  return true;
}

void ContentServer::stop() {
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  for (auto& l : impl_->listeners) l.server->stop();
  // Until every listener has ended (each waits for its connections' threads),
  // cut what is still connected, including a connection accepted just now.
  for (;;) {
    CutConnections(impl_->ports);
    bool all = true;
    for (auto& l : impl_->listeners) all = all && *l.done;
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& l : impl_->listeners) l.thread.join();
  impl_->listeners.clear();
  impl_->ports.clear();
  if (impl_->log) std::fclose(impl_->log);
  impl_->log = nullptr;
}

void ContentServer::addLocation(const Location& location) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->locations[location.id] = location;
}

Location ContentServer::location(int id) const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto it = impl_->locations.find(id);
  return it == impl_->locations.end() ? Location{} : it->second;
}

void ContentServer::setMisbehaviour(const Misbehaviour& m) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->bad = m;
}

std::vector<RequestRecord> ContentServer::records() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return std::vector<RequestRecord>(impl_->records.begin(), impl_->records.end());
}

uint64_t ContentServer::droppedRecords() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->dropped;
}

void ContentServer::addRoute(Route route) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->routes.push_back(std::move(route));
}

}  // namespace contentserver
