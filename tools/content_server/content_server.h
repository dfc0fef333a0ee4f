// The content server of ours: answers what the engine asks of the service
// (location list, archive download and upload, message posts, prepared posts
// and plain GETs) over HTTP and, with a certificate, HTTPS, on 127.0.0.1 (and
// ::1 when it can). Every request is recorded, in memory and as one JSON line
// in a log file, so a test can count and compare. Switches make it misbehave
// the ways a test needs.
//
// start/stop from one owning thread; records(), setMisbehaviour() and
// addLocation() are safe from any thread while it serves. Every connection
// is served on a thread of its own (up to maxConnections at once), so idle or
// slow clients do not keep others waiting; stop() cuts the connections still
// open and returns once every thread has ended.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace contentserver {

struct Location {
  int id = 0;
  std::string title;
  int version = 0;
  std::string archive;  // bytes of the map archive
};

struct Misbehaviour {
  int status = 0;             // non-zero: every engine request gets this status (with a short body)
  int failFirstPosts = 0;     // message posts answered 500 while fewer than this were received
  bool neverAnswerPosts = false;  // message posts are read and recorded but never answered
  bool silent = false;        // archive requests are never answered
  bool cutShort = false;      // archives end after half their Content-Length
  int slowBytesPerSecond = 0; // archives trickle at this rate
  bool gzipList = false;      // the location list comes gzip-coded and chunked
};

struct RequestRecord {
  std::string method;
  std::string path;
  std::string query;
  int status = 0;
  uint64_t bytes = 0;       // body bytes received
  std::string sha256;       // of the body received (of the file part for uploads)
  std::string userHash;
  int locationId = -1;
  int packetNumber = -1;    // message posts
  std::string localTime;    // message posts
  std::string xml;          // message posts: the batch
  std::string formFields;   // message posts: the form's field names, sorted, comma-separated
};

struct ServerOptions {
  int port = 0;              // 0: any free port
  int tlsPort = -1;          // -1: no TLS; 0: any free port
  std::string cert;          // PEM files for TLS
  std::string key;
  std::string logPath;       // one JSON line per request; empty: none
  bool ipv6 = true;          // also listen on ::1 (same port) when this machine has it; a port
                             // given by number that another listener holds there fails the start
  uint64_t maxBodyBytes = 64ull << 20;     // larger request bodies get 413 unread
  size_t maxRecords = 100000;              // oldest records are dropped beyond either bound
  uint64_t maxRecordBytes = 256ull << 20;  // bytes of kept paths, queries and batches
  int maxConnections = 1024;               // served at once; more wait in the listen queue
  int readTimeoutSeconds = 5;              // a client silent this long is dropped
};

// Reads every "*.mvz" of a directory made by the venue generator: id and
// title from config.xml, version from version.txt.
std::vector<Location> LoadVenueDir(const std::string& dir, std::string* error);

std::string Sha256Hex(const std::string& data);

class ContentServer {
 public:
  explicit ContentServer(ServerOptions options);
  ~ContentServer();
  ContentServer(const ContentServer&) = delete;
  ContentServer& operator=(const ContentServer&) = delete;

  // A start while the server runs changes nothing and succeeds.
  bool start(std::string* error);
  void stop();
  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }

  void addLocation(const Location& location);
  Location location(int id) const;
  void setMisbehaviour(const Misbehaviour& m);
  // The kept records, oldest first, and how many older ones were dropped.
  std::vector<RequestRecord> records() const;
  uint64_t droppedRecords() const;

  // Extra routes for later users (the SDK's paths); called with the method,
  // path and body, returning false when not handled.
  using Route = std::function<bool(const std::string& method, const std::string& path, const std::string& body,
                                   int* status, std::string* contentType, std::string* reply)>;
  void addRoute(Route route);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  ServerOptions options_;
  int port_ = -1;
  int tlsPort_ = -1;
};

}  // namespace contentserver
