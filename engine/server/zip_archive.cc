#include "server/zip_archive.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

zip* ZipCreate(const char* path) {
  if (path == nullptr) return nullptr;
  int error = 0;
  return zip_open(path, ZIP_CREATE | ZIP_TRUNCATE, &error);
}

zip* ZipOpen(const char* path) {
  if (path == nullptr) return nullptr;
  int error = 0;
  return zip_open(path, 0, &error);
}

int ZipClose(zip* archive) {
  if (archive == nullptr) return -1;
  if (zip_close(archive) == 0) return 0;
  // zip_close keeps the handle open when it cannot write; release it so the
  // caller is not left with a leaked archive and learns that the writes are lost.
  zip_discard(archive);
  return -1;
}

int ZipGetNumFiles(zip* archive) {
  if (archive == nullptr) return -1;
  zip_int64_t n = zip_get_num_entries(archive, 0);
  if (n > INT_MAX) return INT_MAX;
  return static_cast<int>(n);
}

int ZipGetFiles(zip* archive, const char** names, int maximum) {
  if (archive == nullptr) return -1;
  zip_int64_t n = zip_get_num_entries(archive, 0);
  if (n < 0) return -1;
  if (names == nullptr || maximum < 1) return 0;
  zip_int64_t limit = n < maximum ? n : maximum;
  for (zip_int64_t i = 0; i < limit; ++i) {
    const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr) return -1;
    names[i] = name;
  }
  return 0;
}

int ZipWriteFile(zip* archive, const char* path) {
  if (archive == nullptr || path == nullptr) return -1;
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  if (*name == '\0') return -1;
  // libzip reads the file only when the archive is closed; a file that is not
  // there now would make the whole close fail and lose every other write.
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || access(path, R_OK) != 0) return -1;
  zip_source_t* source = zip_source_file(archive, path, 0, 0);
  if (source == nullptr) return -1;
  if (zip_file_add(archive, name, source, ZIP_FL_OVERWRITE) < 0) {
    zip_source_free(source);
    return -1;
  }
  return 0;
}

int ZipWriteBuffer(zip* archive, const char* name, const void* data, int length) {
  if (archive == nullptr || name == nullptr || *name == '\0' || length < 0) return -1;
  if (length > 0 && data == nullptr) return -1;
  // The archive owns the copy from here on (freed by libzip after the close).
  // An empty member needs no copy: libzip would not free a zero-length one.
  void* copy = nullptr;
  if (length > 0) {
    copy = std::malloc(static_cast<size_t>(length));
    if (copy == nullptr) return -1;
    std::memcpy(copy, data, static_cast<size_t>(length));
  }
  zip_source_t* source =
      zip_source_buffer(archive, copy, static_cast<zip_uint64_t>(length), copy != nullptr ? 1 : 0);
  if (source == nullptr) {
    std::free(copy);
    return -1;
  }
  if (zip_file_add(archive, name, source, ZIP_FL_OVERWRITE) < 0) {
    zip_source_free(source);  // frees the copy too
    return -1;
  }
  return 0;
}

int ZipGetFileSize(zip* archive, const char* name) {
  if (archive == nullptr || name == nullptr) return -1;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat(archive, name, ZIP_FL_NODIR, &st) != 0) return -1;
  if (!(st.valid & ZIP_STAT_SIZE)) return -1;
  // Callers allocate size + 1 bytes in an int: refuse what cannot be held.
  if (st.size >= static_cast<zip_uint64_t>(INT_MAX)) return -1;
  return static_cast<int>(st.size);
}

int ZipReadFile(zip* archive, const char* name, void* buffer, int length) {
  if (archive == nullptr || name == nullptr || length < 0) return -1;
  if (length > 0 && buffer == nullptr) return -1;
  zip_file_t* file = zip_fopen(archive, name, ZIP_FL_NODIR);
  if (file == nullptr) return -1;
  char* out = static_cast<char*>(buffer);
  zip_int64_t total = 0;
  while (total < length) {
    zip_int64_t n = zip_fread(file, out + total, static_cast<zip_uint64_t>(length - total));
    if (n < 0) {
      // Damaged member data (bad compression or checksum).
      zip_fclose(file);
      return -1;
    }
    if (n == 0) break;
    total += n;
  }
  zip_fclose(file);
  return static_cast<int>(total);
}

ZipMemberStream::ZipMemberStream(zip* archive, const char* name) {
  if (archive == nullptr || name == nullptr) return;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat(archive, name, ZIP_FL_NODIR, &st) == 0 && (st.valid & ZIP_STAT_SIZE) &&
      st.size <= static_cast<zip_uint64_t>(LLONG_MAX)) {
    size_ = static_cast<long long>(st.size);
  }
  file_ = zip_fopen(archive, name, ZIP_FL_NODIR);
}

ZipMemberStream::~ZipMemberStream() {
  if (file_ != nullptr) zip_fclose(file_);
}

long long ZipMemberStream::read(char* buffer, long long length) {
  if (file_ == nullptr || buffer == nullptr || length < 0) return -1;
  const zip_int64_t n = zip_fread(file_, buffer, static_cast<zip_uint64_t>(length));
  return n < 0 ? -1 : static_cast<long long>(n);
}

int ZipDeleteFile(zip* archive, const char* name) {
  if (archive == nullptr || name == nullptr) return 0;
  zip_int64_t index = zip_name_locate(archive, name, ZIP_FL_NODIR);
  if (index < 0) return 0;
  return zip_delete(archive, static_cast<zip_uint64_t>(index)) == 0 ? 1 : 0;
}
