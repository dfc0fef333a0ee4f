#include "server/content/http_reply.h"

#include <strings.h>

#include <cstring>

#include "server/content/content_helper.h"

namespace {

constexpr size_t kMaxChunkLine = 1024;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool HasToken(const std::string& value, const char* token) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    if (strcasecmp(Trim(value.substr(start, comma - start)).c_str(), token) == 0) return true;
    start = comma + 1;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int ChunkDecoder::feed(const char* data, size_t n, BodyOut& out) {
  size_t i = 0;
  while (i < n && state_ != kDone) {
    switch (state_) {
      case kSize:
      case kTrailer: {
        const char c = data[i++];
        if (c != '\n') {
          if (line_.size() >= kMaxChunkLine) return kErrorChunked;
          line_ += c;
          break;
        }
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        if (state_ == kTrailer) {
          if (line_.empty()) state_ = kDone;
          line_.clear();
          break;
        }
        // Size line: hex digits, then optional extensions after ';'.
        uint64_t size = 0;
        size_t k = 0;
        for (; k < line_.size() && HexDigit(line_[k]) >= 0; ++k) {
          if (size >> 60) return kErrorChunked;  // more than 64 bits
          size = size * 16 + HexDigit(line_[k]);
        }
        if (k == 0) return kErrorChunked;
        while (k < line_.size() && (line_[k] == ' ' || line_[k] == '\t')) ++k;
        if (k < line_.size() && line_[k] != ';') return kErrorChunked;
        line_.clear();
        if (size > limit_ - total_) return kErrorReplyTooLarge;
        remaining_ = size;
        state_ = size == 0 ? kTrailer : kData;
        break;
      }
      case kData: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, n - i));
        if (const int r = out.put(data + i, take); r != 0) return r;
        i += take;
        remaining_ -= take;
        total_ += take;
        if (remaining_ == 0) state_ = kDataEnd;
        break;
      }
      case kDataEnd: {
        const char c = data[i++];
        line_ += c;
        if (line_ == "\r") break;
        if (line_ != "\r\n" && line_ != "\n") return kErrorChunked;
        line_.clear();
        state_ = kSize;
        break;
      }
      case kDone:
        break;
    }
  }
  return 0;
}

GzipDecoder::GzipDecoder() { ok_ = inflateInit2(&z_, 31) == Z_OK; }

GzipDecoder::~GzipDecoder() {
  if (ok_) inflateEnd(&z_);
}

int GzipDecoder::feed(const char* data, size_t n, BodyOut& out) {
  if (!ok_) return kErrorGzip;
  char buffer[65536];
  while (n > 0 && !ended_) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_.avail_in = piece;
    do {
      z_.next_out = reinterpret_cast<Bytef*>(buffer);
      z_.avail_out = sizeof buffer;
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return kErrorGzip;
      const size_t produced = sizeof buffer - z_.avail_out;
      if (z_.total_out > std::max<uint64_t>(kInflationFloor, kMaxInflationRatio * z_.total_in)) {
        MV_LOG(1, "Error: gzip body inflates more than %llu times!\n",
               static_cast<unsigned long long>(kMaxInflationRatio));
        return kErrorReplyTooLarge;
      }
      if (produced > 0)
        if (const int w = out.put(buffer, produced); w != 0) return w;
      if (r == Z_STREAM_END) {
        ended_ = true;
        break;
      }
      if (r == Z_BUF_ERROR && produced == 0) break;
    } while (z_.avail_in > 0 || z_.avail_out == 0);
    const size_t used = piece - z_.avail_in;
    data += used;
    n -= used;
    if (used == 0 && !ended_) return kErrorGzip;
  }
  return 0;
}

// Chunk payload on its way into the inflater.
class HttpReply::Inflate : public BodyOut {
 public:
  Inflate(GzipDecoder& gzip, BodyOut& next) : gzip_(gzip), next_(next) {}
  int put(const char* data, size_t n) override { return gzip_.feed(data, n, next_); }

 private:
  GzipDecoder& gzip_;
  BodyOut& next_;
};

HttpReply::HttpReply(uint64_t maxBody, BodyOut* sink) : maxBody_(maxBody), sink_(sink) {}

HttpReply::~HttpReply() {
  delete chunks_;
  delete gzip_;
}

int HttpReply::fail(int code) {
  if (error_ == 0) {
    error_ = code;
    switch (code) {
      case kErrorHttpHeader:
        MV_LOG(1, "Error parsing HTTP response: missing HTTP-header\n");
        break;
      case kErrorChunked:
        MV_LOG(1, "Error parsing chunked response!\n");
        break;
      case kErrorGzip:
        MV_LOG(1, "Error inflating gzipped response!\n");
        break;
      case kErrorReplyTooLarge:
        MV_LOG(1, "Error: reply larger than %llu bytes!\n",
               static_cast<unsigned long long>(maxBody_));
        break;
      default:
        break;
    }
  }
  return error_;
}

bool HttpReply::complete() const {
  if (!headerDone() || error_ != 0) return false;
  if (chunked_) return chunks_->done();
  if (contentLength_ >= 0) return bodyTaken_ >= static_cast<uint64_t>(contentLength_);
  return false;
}

std::string HttpReply::field(const std::string& name) const {
  for (const auto& [n, v] : fields_)
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
  return std::string();
}

int HttpReply::feed(const char* data, size_t n) {
  if (error_ != 0) return error_;
  received_ += n;
  if (headerDone()) return takeBody(data, n);
  // Look for the header's end across the boundary of the previous piece.
  const size_t before = head_.size();
  const size_t keep = std::min<size_t>(n, kMaxHeaderBytes + 4);
  head_.append(data, keep);
  const size_t from = before >= 3 ? before - 3 : 0;
  const size_t end = head_.find("\r\n\r\n", from);
  if (end == std::string::npos) {
    if (head_.size() > kMaxHeaderBytes) return fail(kErrorHttpHeader);
    if (keep < n) return fail(kErrorHttpHeader);
    return 0;
  }
  headerLength_ = static_cast<int64_t>(end + 4);
  const size_t usedHere = headerLength_ - before;
  head_.resize(headerLength_);
  if (const int r = parseHeader(); r != 0) return fail(r);
  return takeBody(data + usedHere, n - usedHere);
}

int HttpReply::parseHeader() {
  // Status line: "HTTP/1.x NNN ...".
  const size_t eol = head_.find("\r\n");
  const std::string line = head_.substr(0, eol);
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ') return kErrorHttpHeader;
  int status = 0;
  for (int k = 9; k < 12; ++k) {
    if (line[k] < '0' || line[k] > '9') return kErrorHttpHeader;
    status = status * 10 + (line[k] - '0');
  }
  if (line.size() > 12 && line[12] != ' ') return kErrorHttpHeader;
  status_ = status;
  streaming_ = sink_ != nullptr && status_ == 200;
  if (!streaming_) maxBody_ = std::min(maxBody_, kMaxKeptReplyBytes);
  size_t pos = eol + 2;
  while (pos < static_cast<size_t>(headerLength_) - 2) {
    const size_t e = head_.find("\r\n", pos);
    const std::string l = head_.substr(pos, e - pos);
    pos = e + 2;
    const size_t colon = l.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    fields_.emplace_back(l.substr(0, colon), Trim(l.substr(colon + 1)));
  }
  std::string lengthText;
  for (const auto& [name, value] : fields_) {
    if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0 && HasToken(value, "chunked")) chunked_ = true;
    if (strcasecmp(name.c_str(), "Content-Encoding") == 0 &&
        (HasToken(value, "gzip") || HasToken(value, "x-gzip")) && gzip_ == nullptr)
      gzip_ = new GzipDecoder();
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      if (!lengthText.empty() && lengthText != value) return kErrorHttpHeader;
      lengthText = value;
    }
  }
  if (chunked_) {
    chunks_ = new ChunkDecoder(maxBody_);
  } else if (!lengthText.empty()) {
    uint64_t length = 0;
    for (char c : lengthText) {
      if (c < '0' || c > '9' || length > (UINT64_MAX - 9) / 10) return kErrorHttpHeader;
      length = length * 10 + (c - '0');
    }
    if (length > maxBody_ && gzip_ == nullptr) return kErrorReplyTooLarge;
    if (length > INT64_MAX) return kErrorReplyTooLarge;
    contentLength_ = static_cast<int64_t>(length);
  }
  // One allocation for a kept body of known size.
  if (!streaming_ && !chunked_ && gzip_ == nullptr && contentLength_ > 0)
    body_.reserve(static_cast<size_t>(contentLength_));
  return 0;
}

int HttpReply::takeBody(const char* data, size_t n) {
  if (!chunked_ && contentLength_ >= 0) {
    const uint64_t left = static_cast<uint64_t>(contentLength_) - bodyTaken_;
    n = static_cast<size_t>(std::min<uint64_t>(n, left));  // bytes past the length are ignored
  }
  if (n == 0) return 0;
  bodyTaken_ += n;
  int r = 0;
  if (chunked_) {
    if (chunks_->done()) return 0;
    if (gzip_ == nullptr) {
      r = chunks_->feed(data, n, *this);
    } else {
      Inflate inflate(*gzip_, *this);
      r = chunks_->feed(data, n, inflate);
    }
  } else {
    r = gzip_ != nullptr ? gzip_->feed(data, n, *this) : put(data, n);
  }
  return r != 0 ? fail(r) : 0;
}

int HttpReply::put(const char* data, size_t n) {
  if (n > maxBody_ - std::min<uint64_t>(maxBody_, delivered_)) return kErrorReplyTooLarge;
  delivered_ += n;
  if (streaming_) return sink_->put(data, n);
  body_.append(data, n);
  return 0;
}

int HttpReply::finish(bool cleanClose) {
  if (error_ != 0) return error_;
  if (!headerDone()) return fail(kErrorHttpHeader);
  if (chunked_) {
    if (!chunks_->done()) return fail(kErrorChunked);
  } else if (contentLength_ >= 0) {
    if (bodyTaken_ < static_cast<uint64_t>(contentLength_)) {
      MV_LOG(1, "Error: reply cut short: %llu of %lld bytes!\n",
             static_cast<unsigned long long>(bodyTaken_), static_cast<long long>(contentLength_));
      return fail(kErrorReplyTruncated);
    }
  } else if (!cleanClose) {
    MV_LOG(1, "Error: connection ended without close notification!\n");
    return fail(kErrorReplyTruncated);
  }
  if (gzip_ != nullptr && !gzip_->done() && !(bodyTaken_ == 0)) return fail(kErrorGzip);
  return 0;
}
