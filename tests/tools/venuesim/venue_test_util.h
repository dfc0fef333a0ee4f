// Helpers shared by the generator tests: a scratch directory and reading
// files and the members of a written archive back.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <zip.h>

#include "venuesim/venue_spec.h"

namespace venuesim_test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "venuesim-XXXXXX").string();
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The whole file; empty when it cannot be read.
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every member of the archive by name; empty when it cannot be opened.
inline std::map<std::string, std::string> ReadArchive(const std::string& path) {
  std::map<std::string, std::string> out;
  int err = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &err);
  if (!za) return out;
  const zip_int64_t n = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    if (zip_stat_index(za, i, 0, &st) != 0) continue;
    zip_file_t* f = zip_fopen_index(za, i, 0);
    if (!f) continue;
    std::string data(st.size, '\0');
    const zip_int64_t got = zip_fread(f, data.data(), st.size);
    zip_fclose(f);
    if (got == static_cast<zip_int64_t>(st.size)) out[st.name] = data;
  }
  zip_close(za);
  return out;
}

// A small venue that generates quickly.
inline venuesim::VenueSpec SmallSpec(uint64_t seed = 11) {
  venuesim::VenueSpec s;
  s.seed = seed;
  s.floors = 2;
  s.width = 30.0;
  s.height = 20.0;
  s.beaconSpacing = 7.0;
  s.rpSpacing = 3.0;
  s.surveySeconds = 5.0;
  return s;
}

}  // namespace venuesim_test
