#include "platform/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

void DataInputStream::open() {
  if (status_ == StreamStatus::NotOpen) status_ = data_.empty() ? StreamStatus::AtEnd : StreamStatus::Open;
}

int64_t DataInputStream::read(uint8_t* buffer, size_t maxLength) {
  if (status_ != StreamStatus::Open) return 0;
  size_t n = std::min(maxLength, data_.size() - offset_);
  std::memcpy(buffer, data_.data() + offset_, n);
  offset_ += n;
  if (offset_ == data_.size()) status_ = StreamStatus::AtEnd;
  return static_cast<int64_t>(n);
}

FileInputStream::~FileInputStream() { close(); }

void FileInputStream::fail(int err) {
  error_ = StreamError{err, std::strerror(err)};
  status_ = StreamStatus::Error;
}

void FileInputStream::open() {
  if (status_ != StreamStatus::NotOpen) return;
  file_ = std::fopen(path_.c_str(), "rb");
  if (!file_) return fail(errno);
  status_ = StreamStatus::Open;
}

void FileInputStream::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
}

int64_t FileInputStream::read(uint8_t* buffer, size_t maxLength) {
  if (status_ == StreamStatus::Error) return -1;
  if (status_ != StreamStatus::Open) return 0;
  size_t n = std::fread(buffer, 1, maxLength, file_);
  if (n < maxLength) {
    if (std::ferror(file_)) {
      fail(errno ? errno : EIO);
      return -1;
    }
    if (std::feof(file_)) status_ = StreamStatus::AtEnd;
  }
  return static_cast<int64_t>(n);
}

int64_t MemoryOutputStream::write(const uint8_t* buffer, size_t length) {
  if (status_ != StreamStatus::Open) return -1;
  data_.insert(data_.end(), buffer, buffer + length);
  return static_cast<int64_t>(length);
}

FileOutputStream::~FileOutputStream() { close(); }

void FileOutputStream::fail(int err) {
  error_ = StreamError{err, std::strerror(err)};
  status_ = StreamStatus::Error;
}

void FileOutputStream::open() {
  if (status_ != StreamStatus::NotOpen) return;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC), 0644);
  if (fd_ < 0) return fail(errno);
  status_ = StreamStatus::Open;
}

void FileOutputStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
}

int64_t FileOutputStream::write(const uint8_t* buffer, size_t length) {
  if (status_ != StreamStatus::Open) return -1;
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(n < 0 ? errno : EIO);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

std::optional<uint64_t> FileOutputStream::fileCurrentOffset() const {
  if (fd_ < 0) return std::nullopt;
  off_t off = ::lseek(fd_, 0, SEEK_CUR);
  if (off < 0) return std::nullopt;
  return static_cast<uint64_t>(off);
}

bool FileOutputStream::truncate() {
  if (fd_ < 0) return false;
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0) {
    fail(errno);
    return false;
  }
  return true;
}

}  // namespace platform
