#include "venuesim/zip_writer.h"

#include <ctime>

#include <zip.h>

#include "venuesim/venue_spec.h"

namespace venuesim {
namespace {

constexpr time_t kMemberTime = 1704067200;  // 2024-01-01 00:00:00 UTC

int Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return kWriteError;
}

}  // namespace

int WriteZipArchive(const std::string& path, const std::vector<ArchiveMember>& members, std::string* error) {
  if (path.empty()) return Fail(error, "no archive path given");
  int code = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!za) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    const std::string text = "cannot create archive " + path + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return Fail(error, text);
  }
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
    const std::string text = "cannot write archive " + path + ": " + zip_strerror(za);
    zip_discard(za);
    return Fail(error, text);
  }
  return 0;
}

}  // namespace venuesim
