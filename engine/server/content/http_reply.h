// Incremental reader of one HTTP/1.x reply: the status line, header fields by
// name, Content-Length or chunked framing and gzip coding. Bytes are fed as
// they arrive (no sockets needed) and decoded as they come: the body of a 200
// reply goes straight on to a sink when one is given, any other body is kept
// in memory; either way up to a cap. The end of input says whether the body
// was whole. One reply per object; not for concurrent use.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/content/content_helper.h"

constexpr size_t kMaxHeaderBytes = 64 * 1024;
// A gzip body may inflate to this many times the compressed bytes read so
// far (beyond the first kInflationFloor bytes); real replies stay far below,
// a bomb is refused before it has grown.
constexpr uint64_t kMaxInflationRatio = 200;
constexpr uint64_t kInflationFloor = 1 << 20;

// Where decoded bytes go.
class BodyOut {
 public:
  virtual ~BodyOut() = default;
  // 0 or a result code, which ends the reply.
  virtual int put(const char* data, size_t n) = 0;
};

// Collects bytes in a text, up to kMaxKeptReplyBytes.
class StringOut : public BodyOut {
 public:
  explicit StringOut(std::string* s) : s_(s) {}
  int put(const char* data, size_t n) override {
    if (n > kMaxKeptReplyBytes - std::min<uint64_t>(kMaxKeptReplyBytes, s_->size())) return kErrorReplyTooLarge;
    s_->append(data, n);
    return 0;
  }

 private:
  std::string* s_;
};

// Turns chunked framing into plain bytes, piece by piece.
class ChunkDecoder {
 public:
  explicit ChunkDecoder(uint64_t limit) : limit_(limit) {}
  // Passes the payload found in data on to out. 0, kErrorChunked,
  // kErrorReplyTooLarge or out's code.
  int feed(const char* data, size_t n, BodyOut& out);
  bool done() const { return state_ == kDone; }

 private:
  enum State { kSize, kData, kDataEnd, kTrailer, kDone };
  State state_ = kSize;
  std::string line_;
  uint64_t remaining_ = 0;
  uint64_t total_ = 0;
  uint64_t limit_;
};

// Inflates a gzip stream piece by piece, passing out at most 64 KiB at a time.
class GzipDecoder {
 public:
  GzipDecoder();
  ~GzipDecoder();
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;
  // 0, kErrorGzip, kErrorReplyTooLarge (inflation ratio) or out's code.
  // Bytes after the stream's end are ignored.
  int feed(const char* data, size_t n, BodyOut& out);
  bool done() const { return ended_; }

 private:
  z_stream z_{};
  bool ok_ = false;
  bool ended_ = false;
};

class HttpReply : private BodyOut {
 public:
  // sink: receives the body of a 200 reply instead of body(); may be null.
  // maxBody caps a streamed body; a kept one stops at kMaxKeptReplyBytes too.
  explicit HttpReply(uint64_t maxBody = kMaxReplyBytes, BodyOut* sink = nullptr);
  ~HttpReply();
  HttpReply(const HttpReply&) = delete;
  HttpReply& operator=(const HttpReply&) = delete;

  // 0, or the first failure's code; once failed, every later call returns it.
  int feed(const char* data, size_t n);
  // End of input. cleanClose is false when the connection ended without the
  // peer saying so (TLS without close notification); only a reply framed by
  // the close itself needs it. 0 when the reply is whole.
  int finish(bool cleanClose);

  bool headerDone() const { return headerLength_ >= 0; }
  // Framing says the body is complete; no more bytes are needed.
  bool complete() const;
  int status() const { return status_; }
  int64_t headerLength() const { return headerLength_; }
  int64_t contentLength() const { return contentLength_; }
  bool chunked() const { return chunked_; }
  bool gzipped() const { return gzip_ != nullptr; }
  uint64_t received() const { return received_; }
  // Decoded body bytes so far, kept or passed to the sink.
  uint64_t bodyBytes() const { return delivered_; }
  const std::string& header() const { return head_; }
  // First value of a header field (name compared without case); empty when absent.
  std::string field(const std::string& name) const;
  // The kept body: empty when it went to the sink.
  std::string& body() { return body_; }
  const std::string& body() const { return body_; }

 private:
  class Inflate;
  int parseHeader();
  int takeBody(const char* data, size_t n);
  int put(const char* data, size_t n) override;
  int fail(int code);

  uint64_t maxBody_;
  BodyOut* sink_;
  bool streaming_ = false;
  uint64_t delivered_ = 0;
  int error_ = 0;
  std::string head_;
  std::vector<std::pair<std::string, std::string>> fields_;
  int64_t headerLength_ = -1;
  int64_t contentLength_ = -1;
  uint64_t bodyTaken_ = 0;
  uint64_t received_ = 0;
  int status_ = -1;
  bool chunked_ = false;
  ChunkDecoder* chunks_ = nullptr;
  GzipDecoder* gzip_ = nullptr;
  std::string body_;
};
