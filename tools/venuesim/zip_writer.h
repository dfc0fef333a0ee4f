// Writes named byte buffers into a new zip archive (replacing a file at the
// path). Members get a fixed time stamp so equal input gives equal archives.
// The archive is written as every program output is (cli::WriteWholeFile):
// whole or not at all, into a link's target, in place into a device.
#pragma once

#include <string>
#include <vector>

namespace venuesim {

struct ArchiveMember {
  std::string name;
  std::string data;
};

// 0, or kWriteError with a message (path not creatable, disk full, ...). On
// failure a file already at the path is left as it was.
int WriteZipArchive(const std::string& path, const std::vector<ArchiveMember>& members, std::string* error);

}  // namespace venuesim
