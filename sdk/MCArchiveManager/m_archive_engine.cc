#include "MCArchiveManager/m_archive_engine.h"

#include <limits>

#include "MainSDK/marvisto_error.h"
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

std::optional<std::vector<uint8_t>> MArchiveEngine::dataOfFile(
    const std::string& name, std::optional<platform::Error>* error) {
  std::optional<platform::Error> sizeError;
  const int64_t size = fileSize(name, &sizeError);
  if (sizeError) {
    platform::setError(error, *sizeError);
    return std::nullopt;
  }
  std::vector<uint8_t> data(size_t(size) + 1, 0);
  const int read = ZipReadFile(zip_, name.c_str(), data.data(), int(size));
  // A short read is a broken member, not data.
  if (read != size) {
    platform::setError(error, MArchiveReadError());
    return std::nullopt;
  }
  data.resize(size_t(size));
  return data;
}
