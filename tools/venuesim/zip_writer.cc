#include "venuesim/zip_writer.h"

#include <ctime>
#include <string_view>
#include <system_error>

#include <zip.h>

#include "cli/outputs.h"
#include "venuesim/venue_spec.h"

namespace venuesim {
namespace {

constexpr time_t kMemberTime = 1704067200;  // 2024-01-01 00:00:00 UTC

int Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return kWriteError;
}

// The archive's bytes, built in memory: libzip would write its own temporary
// file and rename it over the path, replacing a link with a plain file and
// refusing /dev/null. The bytes then go out as every other output does.
bool BuildZip(const std::string& path, const std::vector<ArchiveMember>& members, std::string* bytes,
              std::string* error) {
  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &ze);
  zip_t* za = buffer ? zip_open_from_source(buffer, ZIP_CREATE | ZIP_TRUNCATE, &ze) : nullptr;
  if (!za) {
    *error = "cannot create archive " + path + ": " + zip_error_strerror(&ze);
    if (buffer) zip_source_free(buffer);
    zip_error_fini(&ze);
    return false;
  }
  zip_error_fini(&ze);
  // The buffer outlives the archive, which frees its source when it closes.
  zip_source_keep(buffer);
  for (const ArchiveMember& m : members) {
    // The archive reads the buffers only when it is closed; members outlive that.
    zip_source_t* src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
    zip_int64_t index = src ? zip_file_add(za, m.name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (src) zip_source_free(src);
      *error = "cannot add " + m.name + " to " + path + ": " + zip_strerror(za);
      zip_discard(za);
      zip_source_free(buffer);
      return false;
    }
    if (zip_file_set_mtime(za, static_cast<zip_uint64_t>(index), kMemberTime, 0) != 0 ||
        zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0) {
      *error = "cannot set up " + m.name + " in " + path + ": " + zip_strerror(za);
      zip_discard(za);
      zip_source_free(buffer);
      return false;
    }
  }
  if (zip_close(za) != 0) {
    *error = "cannot build archive " + path + ": " + zip_strerror(za);
    zip_discard(za);
    zip_source_free(buffer);
    return false;
  }
  zip_stat_t st;
  zip_stat_init(&st);
  bool read = zip_source_stat(buffer, &st) == 0 && (st.valid & ZIP_STAT_SIZE) && zip_source_open(buffer) == 0;
  if (read) {
    bytes->resize(st.size);
    read = zip_source_read(buffer, bytes->data(), st.size) == static_cast<zip_int64_t>(st.size);
    zip_source_close(buffer);
  }
  if (!read) *error = "cannot build archive " + path + ": " + zip_error_strerror(zip_source_error(buffer));
  zip_source_free(buffer);
  return read;
}

}  // namespace

int WriteZipArchive(const std::string& path, const std::vector<ArchiveMember>& members, std::string* error) {
  if (path.empty()) return Fail(error, "no archive path given");
  std::string bytes, why;
  if (!BuildZip(path, members, &bytes, &why)) return Fail(error, why);
  if (const std::string reason = cli::WriteWholeFile(path, bytes); !reason.empty())
    return Fail(error, "cannot write archive " + path + ": " + reason);
  return 0;
}

}  // namespace venuesim
