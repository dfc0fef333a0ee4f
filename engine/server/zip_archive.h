// Access to a location's map archive (a ZIP file): a thin layer of free
// functions over libzip. Results are plain values (a handle, a count or -1);
// nothing is logged and nothing throws.
//
// Members are looked up by bare file name, so "config.xml" also finds a
// member stored inside a folder of the archive. Writes take effect when the
// archive is closed.
#pragma once

struct zip;  // libzip's archive handle
struct zip_file;  // libzip's handle of one open member

// Opens `path` for writing, creating it or emptying an existing archive.
// Null on failure.
zip* ZipCreate(const char* path);
// Opens an existing archive. Null on failure (missing, empty or not a zip).
zip* ZipOpen(const char* path);
// Writes pending changes and releases the handle. 0 on success; -1 when the
// changes cannot be written: the archive is then discarded (the handle is
// released all the same and must not be used again).
int ZipClose(zip* archive);

// Number of members, negative on error.
int ZipGetNumFiles(zip* archive);
// names[i] = i-th member name for i < min(count, maximum). 0, or -1 when the
// count or a name cannot be read. The names belong to the open archive and
// stay valid until it is closed.
int ZipGetFiles(zip* archive, const char** names, int maximum);

// Adds the file at `path` as the member named after the path's last
// component, replacing a member of that name. 0, or -1.
int ZipWriteFile(zip* archive, const char* path);
// Adds a copy of `length` bytes at `data` as member `name`, replacing a
// member of that name. 0, or -1.
int ZipWriteBuffer(zip* archive, const char* name, const void* data, int length);

// Uncompressed size of the member, or -1 when there is no such member.
int ZipGetFileSize(zip* archive, const char* name);
// Reads up to `length` bytes of the member into `buffer` (no terminating
// zero). The number of bytes read, or -1 when the member is missing or
// cannot be read.
int ZipReadFile(zip* archive, const char* name, void* buffer, int length);
// Reads one member a piece at a time, for readers that need not hold it whole.
class ZipMemberStream {
 public:
  // Opens the member (looked up by bare name); see ok().
  ZipMemberStream(zip* archive, const char* name);
  ~ZipMemberStream();
  ZipMemberStream(const ZipMemberStream&) = delete;
  ZipMemberStream& operator=(const ZipMemberStream&) = delete;

  // False when the member is missing or cannot be opened.
  bool ok() const { return file_ != nullptr; }
  // Uncompressed size the archive declares, or -1 when unknown.
  long long size() const { return size_; }
  // Up to `length` bytes into buffer: the number read, 0 at the end, -1 when
  // the member's data is damaged or the stream is not open.
  long long read(char* buffer, long long length);

 private:
  zip_file* file_ = nullptr;
  long long size_ = -1;
};

// Marks the member for deletion. 1 when marked, 0 when there is no such
// member or it cannot be deleted.
int ZipDeleteFile(zip* archive, const char* name);
