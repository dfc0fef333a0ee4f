#include "networking/multipart_form_data.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

namespace {

const char* kCRLF = "\r\n";

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

Data encoded(const std::string& text, const platform::StringEncoding& encoding) {
  auto bytes = platform::encodeString(text, encoding);
  return bytes ? *bytes : Data(text.begin(), text.end());
}

}  // namespace

std::string MCContentTypeForPathExtension(const std::string& extension) {
  static const std::map<std::string, std::string> types = {
      {"txt", "text/plain"},        {"log", "text/plain"},        {"html", "text/html"},
      {"htm", "text/html"},         {"css", "text/css"},          {"csv", "text/csv"},
      {"xml", "application/xml"},   {"json", "application/json"}, {"plist", "application/x-plist"},
      {"pdf", "application/pdf"},   {"zip", "application/zip"},   {"gz", "application/gzip"},
      {"png", "image/png"},         {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},         {"svg", "image/svg+xml"},     {"tif", "image/tiff"},
      {"tiff", "image/tiff"},       {"bmp", "image/bmp"},         {"mp4", "video/mp4"},
      {"mp3", "audio/mpeg"},        {"js", "application/javascript"}};
  std::string ext = extension;
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  auto it = types.find(ext);
  return it == types.end() ? "application/octet-stream" : it->second;
}

// ---- one part ----

std::string MCHTTPBodyPart::openingText() const {
  return hasInitialBoundary ? "--" + boundary + kCRLF : std::string(kCRLF) + "--" + boundary + kCRLF;
}

std::string MCHTTPBodyPart::closingText() const {
  return hasFinalBoundary ? std::string(kCRLF) + "--" + boundary + "--" + kCRLF : std::string();
}

std::string MCHTTPBodyPart::stringForHeaders() const {
  std::string out;
  for (const auto& [field, value] : headers) out += field + ": " + value + kCRLF;
  return out + kCRLF;
}

uint64_t MCHTTPBodyPart::contentLength() const {
  return encoded(openingText(), stringEncoding).size() + encoded(stringForHeaders(), stringEncoding).size() +
         bodyContentLength + encoded(closingText(), stringEncoding).size();
}

platform::InputStream& MCHTTPBodyPart::inputStream() {
  if (!inputStream_) {
    if (auto* d = std::get_if<Data>(&body)) inputStream_ = std::make_shared<platform::DataInputStream>(*d);
    else if (auto* f = std::get_if<FileBody>(&body)) inputStream_ = std::make_shared<platform::FileInputStream>(f->path);
    else if (auto* s = std::get_if<std::shared_ptr<platform::InputStream>>(&body)) inputStream_ = *s;
    if (!inputStream_) inputStream_ = std::make_shared<platform::DataInputStream>(Data());
  }
  return *inputStream_;
}

bool MCHTTPBodyPart::hasBytesAvailable() const { return !finished_; }

void MCHTTPBodyPart::transitionToNextPhase() {
  // Runs on the thread that reads the body: opening and closing a file never waits for
  // another thread, so a host blocking its main thread on an upload cannot deadlock it.
  switch (phase_) {
    case MCEncapsulationBoundaryPhase: phase_ = MCHeaderPhase; break;
    case MCHeaderPhase:
      inputStream().open();
      phase_ = MCBodyPhase;
      break;
    case MCBodyPhase:
      inputStream().close();
      phase_ = MCFinalBoundaryPhase;
      break;
    default:
      phase_ = MCEncapsulationBoundaryPhase;
      finished_ = true;
      break;
  }
  phaseReadOffset_ = 0;
}

size_t MCHTTPBodyPart::readData(const std::string& text, uint8_t* buffer, size_t room) {
  Data bytes = encoded(text, stringEncoding);
  size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size() - std::min<uint64_t>(phaseReadOffset_, bytes.size()), room));
  if (n) std::memcpy(buffer, bytes.data() + phaseReadOffset_, n);
  phaseReadOffset_ += n;
  if (phaseReadOffset_ >= bytes.size()) transitionToNextPhase();
  return n;
}

int64_t MCHTTPBodyPart::readBody(uint8_t* buffer, size_t room) {
  auto& stream = inputStream();
  auto failWith = [&](platform::StreamError e) -> int64_t {
    error_ = std::move(e);
    return -1;
  };
  if (stream.streamError()) return failWith(*stream.streamError());
  int64_t n = 0;
  uint64_t remaining = bodyContentLength - bodyBytesRead_;
  if (remaining > 0 && room > 0) {
    n = stream.read(buffer, static_cast<size_t>(std::min<uint64_t>(room, remaining)));
    if (n < 0) return failWith(stream.streamError().value_or(platform::StreamError{EIO, "body stream failed"}));
    // The length went into Content-Length before the body was read: a body that turns out
    // shorter would make the request lie about its size.
    if (n == 0) return failWith(platform::StreamError{EIO, "body part is shorter than its length"});
    bodyBytesRead_ += static_cast<uint64_t>(n);
  }
  if (bodyBytesRead_ == bodyContentLength) {
    uint8_t extra = 0;
    int64_t more = stream.streamStatus() < platform::StreamStatus::AtEnd ? stream.read(&extra, 1) : 0;
    if (more < 0) return failWith(stream.streamError().value_or(platform::StreamError{EIO, "body stream failed"}));
    if (more > 0) return failWith(platform::StreamError{EIO, "body part is longer than its length"});
    transitionToNextPhase();
  }
  return n;
}

int64_t MCHTTPBodyPart::read(uint8_t* buffer, size_t maxLength) {
  if (error_) return -1;
  size_t total = 0;
  if (phase_ == MCEncapsulationBoundaryPhase) total += readData(openingText(), buffer + total, maxLength - total);
  if (phase_ == MCHeaderPhase && total < maxLength) total += readData(stringForHeaders(), buffer + total, maxLength - total);
  if (phase_ == MCBodyPhase && total < maxLength) {
    int64_t n = readBody(buffer + total, maxLength - total);
    if (n < 0) return -1;
    total += static_cast<size_t>(n);
  }
  if (phase_ == MCFinalBoundaryPhase && total < maxLength) total += readData(closingText(), buffer + total, maxLength - total);
  return static_cast<int64_t>(total);
}

std::unique_ptr<MCHTTPBodyPart> MCHTTPBodyPart::copy() const {
  auto part = std::make_unique<MCHTTPBodyPart>();
  part->stringEncoding = stringEncoding;
  part->headers = headers;
  part->boundary = boundary;
  part->body = body;
  part->bodyContentLength = bodyContentLength;
  part->hasInitialBoundary = hasInitialBoundary;
  part->hasFinalBoundary = hasFinalBoundary;
  return part;
}

// ---- the body stream ----

void MCMultipartBodyStream::open() {
  if (status_ == platform::StreamStatus::Open) return;
  status_ = platform::StreamStatus::Open;
  setInitialAndFinalBoundaries();
  current_ = 0;
}

double MCMultipartBodyStream::secondsUntilReadable() const {
  if (delay <= 0) return 0;
  std::chrono::duration<double> left = notBefore_ - std::chrono::steady_clock::now();
  return std::max(0.0, left.count());
}

int64_t MCMultipartBodyStream::read(uint8_t* buffer, size_t maxLength) {
  if (status_ == platform::StreamStatus::Closed) return 0;
  if (error_) return -1;
  // A reader that did not wait for the pause (see secondsUntilReadable) waits here.
  if (double wait = secondsUntilReadable(); wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  size_t total = 0;
  while (total < std::min<uint64_t>(maxLength, numberOfBytesInPacket)) {
    if (current_ < parts_.size() && !parts_[current_]->hasBytesAvailable()) ++current_;
    if (current_ >= parts_.size()) break;
    int64_t n = parts_[current_]->read(buffer + total, maxLength - total);
    if (n < 0) {
      error_ = parts_[current_]->streamError();
      status_ = platform::StreamStatus::Error;
      break;
    }
    total += static_cast<size_t>(n);
    if (delay > 0) {
      // The pause after each piece is not slept here: the reader learns when to come back,
      // so the thread it runs on stays free for other transfers meanwhile.
      notBefore_ = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delay));
      break;
    }
  }
  if (total == 0 && error_) return -1;
  return static_cast<int64_t>(total);
}

uint64_t MCMultipartBodyStream::contentLength() const {
  uint64_t length = 0;
  for (const auto& p : parts_) length += p->contentLength();
  return length;
}

void MCMultipartBodyStream::setInitialAndFinalBoundaries() {
  for (auto& p : parts_) p->hasInitialBoundary = p->hasFinalBoundary = false;
  if (!parts_.empty()) {
    parts_.front()->hasInitialBoundary = true;
    parts_.back()->hasFinalBoundary = true;
  }
}

std::shared_ptr<MCMultipartBodyStream> MCMultipartBodyStream::copy() const {
  auto s = std::make_shared<MCMultipartBodyStream>(stringEncoding_);
  for (const auto& p : parts_) s->appendHTTPBodyPart(p->copy());
  s->setInitialAndFinalBoundaries();
  return s;
}

// ---- the builder ----

MCStreamingMultipartFormData::MCStreamingMultipartFormData(platform::URLRequest request, platform::StringEncoding encoding)
    : request_(std::move(request)), stringEncoding_(std::move(encoding)),
      bodyStream_(std::make_shared<MCMultipartBodyStream>(stringEncoding_)) {
  std::random_device rd;
  char text[32];
  std::snprintf(text, sizeof text, "Boundary+%08X%08X", static_cast<unsigned>(rd()), static_cast<unsigned>(rd()));
  boundary_ = text;
}

bool MCStreamingMultipartFormData::refuseWith(const char* text, std::optional<platform::Error>* error) {
  auto e = platform::Error::make(MCURLRequestSerializationErrorDomain, platform::URLErrorBadURL, text);
  if (!refusal_) refusal_ = e;
  platform::setError(error, e);
  return true;
}

bool MCStreamingMultipartFormData::refuse(const std::string& text, std::optional<platform::Error>* error) {
  if (text.find_first_of("\r\n") == std::string::npos) return false;
  return refuseWith("Part names and file names cannot contain line breaks", error);
}

bool MCStreamingMultipartFormData::refuseMIMEType(const std::string& mimeType, std::optional<platform::Error>* error) {
  // "type/subtype" are tokens; parameters after ";" only need to stay on their line.
  std::string essence = mimeType.substr(0, mimeType.find(';'));
  while (!essence.empty() && essence.back() == ' ') essence.pop_back();
  size_t slash = essence.find('/');
  bool ok = slash != std::string::npos && platform::isHTTPToken(essence.substr(0, slash)) &&
            platform::isHTTPToken(essence.substr(slash + 1)) && platform::isHTTPFieldValue(mimeType);
  return !ok && refuseWith("A part's MIME type must be a type/subtype without line breaks", error);
}

platform::HeaderList MCStreamingMultipartFormData::dispositionHeaders(const std::string& name, const std::string* fileName,
                                                                      const std::string* mimeType) {
  std::string disposition = "form-data; name=" + quoted(name);
  if (fileName) disposition += "; filename=" + quoted(*fileName);
  platform::HeaderList headers{{"Content-Disposition", disposition}};
  if (mimeType) headers.emplace_back("Content-Type", *mimeType);
  return headers;
}

void MCStreamingMultipartFormData::appendPart(platform::HeaderList headers, MCHTTPBodyPart::Body body, uint64_t length) {
  auto part = std::make_unique<MCHTTPBodyPart>();
  part->stringEncoding = stringEncoding_;
  part->headers = std::move(headers);
  part->boundary = boundary_;
  part->body = std::move(body);
  part->bodyContentLength = length;
  bodyStream_->appendHTTPBodyPart(std::move(part));
}

bool MCStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL, const std::string& name,
                                                         std::optional<platform::Error>* error) {
  std::string fileName = platform::lastPathComponent(fileURL);
  size_t dot = fileName.rfind('.');
  std::string mimeType = MCContentTypeForPathExtension(dot == std::string::npos ? "" : fileName.substr(dot + 1));
  return appendPartWithFileURL(fileURL, name, fileName, mimeType, error);
}

bool MCStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL, const std::string& name,
                                                         const std::string& fileName, const std::string& mimeType,
                                                         std::optional<platform::Error>* error) {
  auto path = platform::filePathFromURL(fileURL);
  auto fail = [&](const char* text) {
    platform::setError(error, platform::Error::make(MCURLRequestSerializationErrorDomain, platform::URLErrorBadURL, text,
                                                    {{MCLocalizedFailureReasonErrorKey, std::string(text)}}));
    return false;
  };
  if (!path) return fail("Expected URL to be a file URL");
  if (::access(path->c_str(), F_OK) != 0) return fail("File URL not reachable.");
  struct stat st {};
  if (::stat(path->c_str(), &st) != 0) {
    platform::setError(error, platform::Error::make(platform::POSIXErrorDomain, errno, std::strerror(errno)));
    return false;
  }
  if (refuse(name, error) || refuse(fileName, error) || refuseMIMEType(mimeType, error)) return false;
  appendPart(dispositionHeaders(name, &fileName, &mimeType), MCHTTPBodyPart::FileBody{*path}, static_cast<uint64_t>(st.st_size));
  return true;
}

bool MCStreamingMultipartFormData::appendPartWithInputStream(std::shared_ptr<platform::InputStream> inputStream,
                                                             const std::string& name, const std::string& fileName,
                                                             int64_t length, const std::string& mimeType) {
  if (refuse(name, nullptr) || refuse(fileName, nullptr) || refuseMIMEType(mimeType, nullptr)) return false;
  appendPart(dispositionHeaders(name, &fileName, &mimeType), std::move(inputStream), static_cast<uint64_t>(std::max<int64_t>(length, 0)));
  return true;
}

bool MCStreamingMultipartFormData::appendPartWithFileData(const Data& data, const std::string& name,
                                                          const std::string& fileName, const std::string& mimeType) {
  if (refuse(name, nullptr) || refuse(fileName, nullptr) || refuseMIMEType(mimeType, nullptr)) return false;
  appendPart(dispositionHeaders(name, &fileName, &mimeType), data, data.size());
  return true;
}

bool MCStreamingMultipartFormData::appendPartWithFormData(const Data& data, const std::string& name,
                                                          std::optional<platform::Error>* error) {
  if (refuse(name, error)) return false;
  appendPart(dispositionHeaders(name, nullptr, nullptr), data, data.size());
  return true;
}

bool MCStreamingMultipartFormData::appendPartWithHeaders(platform::HeaderList headers, const Data& body) {
  for (const auto& [field, value] : headers)
    if (!platform::isHTTPToken(field) || !platform::isHTTPFieldValue(value))
      return !refuseWith("A part's header must be a token name and a value without line breaks", nullptr);
  appendPart(std::move(headers), body, body.size());
  return true;
}

void MCStreamingMultipartFormData::throttleBandwidthWithPacketSize(uint64_t numberOfBytes, double delay) {
  bodyStream_->numberOfBytesInPacket = numberOfBytes;
  bodyStream_->delay = delay;
}

std::optional<platform::URLRequest> MCStreamingMultipartFormData::requestByFinalizingMultipartFormData(
    std::optional<platform::Error>* error) {
  if (refusal_) {
    platform::setError(error, *refusal_);
    return std::nullopt;
  }
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  platform::URLRequest out = request_;
  out.HTTPBody.clear();
  out.HTTPBodyStream = bodyStream_;
  out.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
  out.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
  return out;
}
