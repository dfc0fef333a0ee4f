// Byte streams for request bodies and reply sinks: in-memory and file-backed.
// A stream belongs to one thread at a time (the URL loader reads and writes them on the
// network thread); none is safe for concurrent use.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class StreamStatus { NotOpen = 0, Opening = 1, Open = 2, Reading = 3, Writing = 4, AtEnd = 5, Closed = 6, Error = 7 };

// What went wrong in a stream: an errno value and its text.
struct StreamError {
  int code = 0;
  std::string message;
};

class InputStream {
 public:
  virtual ~InputStream() = default;
  virtual void open() = 0;
  virtual void close() = 0;
  // Bytes read (0 at the end), or -1 with streamError() set.
  virtual int64_t read(uint8_t* buffer, size_t maxLength) = 0;
  virtual bool hasBytesAvailable() const = 0;
  virtual StreamStatus streamStatus() const = 0;
  virtual std::optional<StreamError> streamError() const = 0;
  // A paced stream: how long a reader should wait before its next read. A reader that can
  // wait without blocking others asks first; a read made earlier waits on the caller's thread.
  virtual double secondsUntilReadable() const { return 0; }
};

class DataInputStream : public InputStream {
 public:
  explicit DataInputStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  void open() override;
  void close() override { status_ = StreamStatus::Closed; }
  int64_t read(uint8_t* buffer, size_t maxLength) override;
  bool hasBytesAvailable() const override { return status_ == StreamStatus::Open && offset_ < data_.size(); }
  StreamStatus streamStatus() const override { return status_; }
  std::optional<StreamError> streamError() const override { return std::nullopt; }

 private:
  std::vector<uint8_t> data_;
  size_t offset_ = 0;
  StreamStatus status_ = StreamStatus::NotOpen;
};

class FileInputStream : public InputStream {
 public:
  explicit FileInputStream(std::string path) : path_(std::move(path)) {}
  ~FileInputStream() override;
  void open() override;
  void close() override;
  int64_t read(uint8_t* buffer, size_t maxLength) override;
  bool hasBytesAvailable() const override { return status_ == StreamStatus::Open; }
  StreamStatus streamStatus() const override { return status_; }
  std::optional<StreamError> streamError() const override { return error_; }

 private:
  void fail(int err);
  std::string path_;
  FILE* file_ = nullptr;
  StreamStatus status_ = StreamStatus::NotOpen;
  std::optional<StreamError> error_;
};

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual void open() = 0;
  virtual void close() = 0;
  // Bytes written, or -1 with streamError() set.
  virtual int64_t write(const uint8_t* buffer, size_t length) = 0;
  virtual bool hasSpaceAvailable() const = 0;
  virtual StreamStatus streamStatus() const = 0;
  virtual std::optional<StreamError> streamError() const = 0;
  // The current file offset for file-backed streams; none otherwise.
  virtual std::optional<uint64_t> fileCurrentOffset() const { return std::nullopt; }
  // Drops what was written and starts again from the beginning; false when it cannot.
  virtual bool truncate() = 0;
};

class MemoryOutputStream : public OutputStream {
 public:
  void open() override { if (status_ == StreamStatus::NotOpen) status_ = StreamStatus::Open; }
  void close() override { status_ = StreamStatus::Closed; }
  int64_t write(const uint8_t* buffer, size_t length) override;
  bool hasSpaceAvailable() const override { return status_ == StreamStatus::Open; }
  StreamStatus streamStatus() const override { return status_; }
  std::optional<StreamError> streamError() const override { return std::nullopt; }
  bool truncate() override { data_.clear(); return true; }
  const std::vector<uint8_t>& data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  StreamStatus status_ = StreamStatus::NotOpen;
};

class FileOutputStream : public OutputStream {
 public:
  FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override;
  void open() override;
  void close() override;
  int64_t write(const uint8_t* buffer, size_t length) override;
  bool hasSpaceAvailable() const override { return status_ == StreamStatus::Open; }
  StreamStatus streamStatus() const override { return status_; }
  std::optional<StreamError> streamError() const override { return error_; }
  std::optional<uint64_t> fileCurrentOffset() const override;
  bool truncate() override;

 private:
  void fail(int err);
  std::string path_;
  bool append_;
  int fd_ = -1;
  StreamStatus status_ = StreamStatus::NotOpen;
  std::optional<StreamError> error_;
};

}  // namespace platform
