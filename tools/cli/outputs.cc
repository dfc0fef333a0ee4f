#include "cli/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace cli {

std::string Reason(int code) { return std::generic_category().message(code); }

std::string FileWritable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Reason(EISDIR);
  // O_EXCL tells a file made here from one that was there, which must stay as it was.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    close(fd);
    unlink(path.c_str());
    return "";
  }
  if (errno != EEXIST) return Reason(errno);
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Reason(errno);
  close(fd);
  return "";
}

std::string FolderWritable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Reason(errno);
  if (!S_ISDIR(st.st_mode)) return Reason(ENOTDIR);
  std::string probe = path + "/.write-check.XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) return Reason(errno);
  close(fd);
  unlink(probe.c_str());
  return "";
}

std::string MakeWritableFolder(const std::string& path) {
  if (path.empty()) return "no path given";
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ec.message();
  return FolderWritable(path);
}

std::string FileReadable(const std::string& path) {
  if (path.empty()) return "no path given";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Reason(EISDIR);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Reason(errno);
  close(fd);
  return "";
}

}  // namespace cli
