// Multipart form bodies ("multipart/form-data") streamed part by part: the builder handed to
// a request's body-construction callback, the body stream the connection reads, and one part.
// A builder is used by one thread while it is filled; the body stream is then read by the
// network thread alone (files and streams are opened and closed there, as it reads).
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "networking/networking_exports.h"
#include "platform/error.h"
#include "platform/stream.h"
#include "platform/text_encoding.h"
#include "platform/url_request.h"

class MCHTTPBodyPart {
 public:
  enum Phase : int32_t { MCEncapsulationBoundaryPhase = 1, MCHeaderPhase = 2, MCBodyPhase = 3, MCFinalBoundaryPhase = 4 };
  struct FileBody { std::string path; };
  using Body = std::variant<std::monostate, Data, FileBody, std::shared_ptr<platform::InputStream>>;

  platform::StringEncoding stringEncoding = platform::UTF8StringEncoding;
  platform::HeaderList headers;  // written in this order
  std::string boundary;
  Body body;
  uint64_t bodyContentLength = 0;
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;

  uint64_t contentLength() const;
  bool hasBytesAvailable() const;
  // Bytes written into the buffer, or -1 with streamError() set.
  int64_t read(uint8_t* buffer, size_t maxLength);
  std::string stringForHeaders() const;
  platform::InputStream& inputStream();
  const std::optional<platform::StreamError>& streamError() const { return error_; }
  std::unique_ptr<MCHTTPBodyPart> copy() const;

 private:
  std::string openingText() const;
  std::string closingText() const;
  size_t readData(const std::string& text, uint8_t* buffer, size_t room);
  void transitionToNextPhase();
  int64_t readBody(uint8_t* buffer, size_t room);
  int32_t phase_ = MCEncapsulationBoundaryPhase;
  uint64_t phaseReadOffset_ = 0;
  uint64_t bodyBytesRead_ = 0;
  bool finished_ = false;  // all of the part has been read
  std::shared_ptr<platform::InputStream> inputStream_;
  std::optional<platform::StreamError> error_;
};

class MCMultipartBodyStream : public platform::InputStream {
 public:
  explicit MCMultipartBodyStream(platform::StringEncoding encoding) : stringEncoding_(std::move(encoding)) {}
  uint64_t numberOfBytesInPacket = 9223372036854775807ULL;
  double delay = 0;

  void open() override;
  void close() override { status_ = platform::StreamStatus::Closed; }
  int64_t read(uint8_t* buffer, size_t maxLength) override;
  bool hasBytesAvailable() const override { return status_ == platform::StreamStatus::Open; }
  platform::StreamStatus streamStatus() const override { return status_; }
  std::optional<platform::StreamError> streamError() const override { return error_; }
  // With a delay, each piece read is followed by a pause of `delay` seconds.
  double secondsUntilReadable() const override;

  uint64_t contentLength() const;
  bool isEmpty() const { return parts_.empty(); }
  void appendHTTPBodyPart(std::unique_ptr<MCHTTPBodyPart> part) { parts_.push_back(std::move(part)); }
  void setInitialAndFinalBoundaries();
  std::shared_ptr<MCMultipartBodyStream> copy() const;

 private:
  platform::StringEncoding stringEncoding_;
  std::vector<std::unique_ptr<MCHTTPBodyPart>> parts_;
  size_t current_ = 0;
  std::chrono::steady_clock::time_point notBefore_{};
  platform::StreamStatus status_ = platform::StreamStatus::NotOpen;
  std::optional<platform::StreamError> error_;
};

// Append calls refuse what would end a part's header early or add headers: names and file
// names with line breaks, MIME types that are no type/subtype on one line, extra headers
// whose name is no token or whose value holds a control character. The refusal is kept and
// reported by the finalising call.
class MCStreamingMultipartFormData {
 public:
  MCStreamingMultipartFormData(platform::URLRequest request, platform::StringEncoding encoding);
  static std::unique_ptr<MCStreamingMultipartFormData> initWithURLRequest(platform::URLRequest request,
                                                                          platform::StringEncoding encoding) {
    return std::make_unique<MCStreamingMultipartFormData>(std::move(request), std::move(encoding));
  }

  const std::string& boundary() const { return boundary_; }
  bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, std::optional<platform::Error>* error);
  bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, const std::string& fileName,
                             const std::string& mimeType, std::optional<platform::Error>* error);
  bool appendPartWithInputStream(std::shared_ptr<platform::InputStream> inputStream, const std::string& name,
                                 const std::string& fileName, int64_t length, const std::string& mimeType);
  bool appendPartWithFileData(const Data& data, const std::string& name, const std::string& fileName,
                              const std::string& mimeType);
  bool appendPartWithFormData(const Data& data, const std::string& name, std::optional<platform::Error>* error = nullptr);
  bool appendPartWithHeaders(platform::HeaderList headers, const Data& body);
  void throttleBandwidthWithPacketSize(uint64_t numberOfBytes, double delay);
  // The request with the body stream and its headers; none when a part was refused.
  std::optional<platform::URLRequest> requestByFinalizingMultipartFormData(std::optional<platform::Error>* error = nullptr);

  std::shared_ptr<MCMultipartBodyStream> bodyStream() const { return bodyStream_; }

 private:
  bool refuse(const std::string& text, std::optional<platform::Error>* error);
  bool refuseMIMEType(const std::string& mimeType, std::optional<platform::Error>* error);
  bool refuseWith(const char* text, std::optional<platform::Error>* error);
  platform::HeaderList dispositionHeaders(const std::string& name, const std::string* fileName, const std::string* mimeType);
  void appendPart(platform::HeaderList headers, MCHTTPBodyPart::Body body, uint64_t length);
  platform::URLRequest request_;
  platform::StringEncoding stringEncoding_;
  std::string boundary_;
  std::shared_ptr<MCMultipartBodyStream> bodyStream_;
  std::optional<platform::Error> refusal_;
};

// The MIME type for a file name's extension; "application/octet-stream" when unknown.
std::string MCContentTypeForPathExtension(const std::string& extension);
