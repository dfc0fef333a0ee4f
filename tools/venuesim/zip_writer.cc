#include "venuesim/zip_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <zip.h>

#include "venuesim/venue_spec.h"

namespace venuesim {
namespace {

constexpr time_t kMemberTime = 1704067200;  // 2024-01-01 00:00:00 UTC

int Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return kWriteError;
}

// libzip names the step that failed ("Read error" when it could not look at
// the path it was asked to create); the system's reason is what tells a user
// what is wrong with the path, so that comes alone when there is one.
std::string ZipReason(zip_error_t* ze) {
  if (zip_error_system_type(ze) == ZIP_ET_SYS && zip_error_code_system(ze) != 0)
    return std::generic_category().message(zip_error_code_system(ze));
  return zip_error_strerror(ze);
}

}  // namespace

int WriteZipArchive(const std::string& path, const std::vector<ArchiveMember>& members, std::string* error) {
  if (path.empty()) return Fail(error, "no archive path given");
  // libzip calls a folder at the path an unsupported operation.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return Fail(error, "cannot create archive " + path + ": " + std::generic_category().message(EISDIR));
  // Opened through a source so that the error keeps the system's errno.
  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* file = zip_source_file_create(path.c_str(), 0, -1, &ze);
  zip_t* za = file ? zip_open_from_source(file, ZIP_CREATE | ZIP_TRUNCATE, &ze) : nullptr;
  if (!za) {
    if (file) zip_source_free(file);
    const std::string text = "cannot create archive " + path + ": " + ZipReason(&ze);
    zip_error_fini(&ze);
    return Fail(error, text);
  }
  zip_error_fini(&ze);
  for (const ArchiveMember& m : members) {
    // The archive reads the buffers only when it is closed; members outlive that.
    zip_source_t* src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
    zip_int64_t index = src ? zip_file_add(za, m.name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (src) zip_source_free(src);
      const std::string text = "cannot add " + m.name + " to " + path + ": " + zip_strerror(za);
      zip_discard(za);
      return Fail(error, text);
    }
    if (zip_file_set_mtime(za, static_cast<zip_uint64_t>(index), kMemberTime, 0) != 0 ||
        zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0) {
      const std::string text = "cannot set up " + m.name + " in " + path + ": " + zip_strerror(za);
      zip_discard(za);
      return Fail(error, text);
    }
  }
  if (zip_close(za) != 0) {
    const std::string text = "cannot write archive " + path + ": " + ZipReason(zip_get_error(za));
    zip_discard(za);
    return Fail(error, text);
  }
  return 0;
}

}  // namespace venuesim
