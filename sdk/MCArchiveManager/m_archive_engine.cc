#include "MCArchiveManager/m_archive_engine.h"

#include <zip.h>

#include <algorithm>
#include <limits>

#include "Foundation/marvisto_error.h"
#include "server/zip_archive.h"

platform::Error MArchiveReadError() { return MarvistoError(2, "Couldn't read data from archive"); }

platform::Error MArchiveWriteError(const std::string& name) {
  return MarvistoError(2, "Couldn't write data to " + name + " inside archive");
}

MArchiveEngine::~MArchiveEngine() {
  // Pending writes of an archive left open are dropped with its handle.
  if (zip_ != nullptr) closeArchive();
}

void MArchiveEngine::createArchive(const std::string& path) {
  if (zip_ != nullptr) closeArchive();
  zip_ = ZipCreate(path.c_str());
}

void MArchiveEngine::openArchive(const std::string& path, std::optional<platform::Error>* error) {
  if (zip_ != nullptr) closeArchive();
  zip_ = ZipOpen(path.c_str());
  if (zip_ == nullptr) {
    platform::setError(error, MarvistoError(2, "Archive " + path + " couldn't be opened"));
  }
}

int MArchiveEngine::closeArchive() {
  if (zip_ == nullptr) return 0;
  const int rc = ZipClose(zip_);
  // The engine releases the handle even when the write failed.
  zip_ = nullptr;
  return rc;
}

void MArchiveEngine::writeBuffer(const std::string& name, const std::string& data,
                                 std::optional<platform::Error>* error) {
  if (zip_ == nullptr || data.size() > size_t(std::numeric_limits<int>::max()) ||
      ZipWriteBuffer(zip_, name.c_str(), data.data(), int(data.size())) != 0) {
    platform::setError(error, MArchiveWriteError(name));
  }
}

int64_t MArchiveEngine::fileSize(const std::string& name, std::optional<platform::Error>* error) {
  const int64_t size = zip_ != nullptr ? ZipGetFileSize(zip_, name.c_str()) : -1;
  if (size < 1) platform::setError(error, MArchiveReadError());
  return size;
}

namespace {

constexpr size_t kPiece = 64 * 1024;

// The read error, with what went wrong underneath for logs and callers that look.
platform::Error ReadError(const std::string& detail) {
  platform::Error e = MArchiveReadError();
  e.underlyingError = std::make_shared<const platform::Error>(MarvistoError(2, detail));
  return e;
}

}  // namespace

std::optional<std::vector<uint8_t>> MArchiveEngine::dataOfFile(
    const std::string& name, std::optional<platform::Error>* error) {
  std::optional<platform::Error> sizeError;
  const int64_t size = fileSize(name, &sizeError);
  if (sizeError) {
    platform::setError(error, *sizeError);
    return std::nullopt;
  }
  if (uint64_t(size) > kMArchiveMemberCap) {
    platform::setError(error, ReadError(name + " claims " + std::to_string(size) +
                                        " bytes, more than the " +
                                        std::to_string(kMArchiveMemberCap) + " a member may hold"));
    return std::nullopt;
  }
  // The header's size is only a claim: the buffer grows with the bytes that
  // really arrive, in bounded pieces, and a member that gives more or fewer
  // than it claims is broken.
  zip_file_t* file = zip_fopen(zip_, name.c_str(), ZIP_FL_NODIR);
  if (file == nullptr) {
    platform::setError(error, MArchiveReadError());
    return std::nullopt;
  }
  std::vector<uint8_t> data;
  bool broken = false;
  for (;;) {
    const size_t at = data.size();
    if (at > size_t(size)) break;  // one byte past the claim is enough to know
    data.resize(at + std::min(kPiece, size_t(size) + 1 - at));
    const zip_int64_t n = zip_fread(file, data.data() + at, data.size() - at);
    if (n < 0) {
      broken = true;
      data.resize(at);
      break;
    }
    data.resize(at + size_t(n));
    if (n == 0) break;
  }
  zip_fclose(file);
  if (broken || data.size() != size_t(size)) {
    platform::setError(error, ReadError(name + " holds " + std::to_string(data.size()) +
                                        (broken ? " readable" : "") + " bytes of the " +
                                        std::to_string(size) + " it claims"));
    return std::nullopt;
  }
  return data;
}
