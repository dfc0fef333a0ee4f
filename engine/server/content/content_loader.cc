// The job routines: location download and upload, URL download and post.
#include "server/content/content_loader.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "server/content/content_helper.h"
#include "server/content/content_helper_ssl.h"
#include "server/content/content_internal.h"
#include "server/content/content_parser.h"
#include "server/zip_archive.h"

namespace {

constexpr size_t kMaxServerLength = 255;
constexpr size_t kMaxUserHashLength = 20;

int TakeId(void* arg) {
  const int id = *static_cast<int*>(arg);
  delete static_cast<int*>(arg);
  return id;
}

void SetState(int id, int state) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  if (it != Loaders.end()) it->second.state = state;
}

int GetState(int id) {
  LockGuard<Mutex> g(LoaderMutex);
  auto it = Loaders.find(id);
  return it == Loaders.end() ? -1 : it->second.state;
}

std::string Directory(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : file.substr(0, slash);
}

int MakeDirectory(const std::string& file) {
  const std::string dir = Directory(file);
  if (dir.empty() || mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  MV_LOG(1, "Error in mkdir: %s\n", strerror(errno));
  return kErrorMkdir;
}

// The location's query prefix; refuses values that would be cut or change
// the request rather than sending something else than asked.
int BaseQuery(const LoaderData& d, std::string* out) {
  if (d.server.size() > kMaxServerLength || d.userHash.size() > kMaxUserHashLength ||
      d.userHash.find_first_of("\r\n") != std::string::npos) {
    MV_LOG(1, "Invalid request value: '%s'\n", d.userHash.size() > kMaxUserHashLength ? d.userHash.c_str()
                                                                                      : d.server.c_str());
    return kErrorBadValue;
  }
  *out = d.server + "/locations?userHash=" + EncodeQueryValue(d.userHash);
  return 0;
}

void LogDownloadFailure(int r, const std::string& url) {
  MV_LOG(1, "Error: unable to download resource (error %d)!\n", r);
  MV_LOG(3, "Error: unable to download resource %s\n", url.c_str());
}

// Finds the location in the server's list. 0 with its id and version, or a code.
int FindLocation(int id, const LoaderData& d, int* locationId, int* version, bool* stopped) {
  SetState(id, 1);
  if (loaderStopped(id)) return *stopped = true, 0;
  std::string base;
  if (const int r = BaseQuery(d, &base); r != 0) return r;
  const std::string url = base + "&format=xml";
  if (const int r = GetResource(url, std::string(), id, -1, -1); r != 0) {
    LogDownloadFailure(r, url);
    return r;
  }
  const auto maps = ParseMapsXml(GetLoaderResponse(id));
  for (const auto& [mid, entry] : maps) {
    if (entry.first == d.location || "#" + std::to_string(mid) == d.location) {
      if (mid == 0 || entry.second == 0 || entry.first.empty()) break;
      *locationId = mid;
      *version = entry.second;
      SetState(id, 5);
      if (loaderStopped(id)) *stopped = true;
      return 0;
    }
  }
  MV_LOG(1, "Error: location not found: %s\n", d.location.c_str());
  return kErrorLocationNotFound;
}

int LocalVersion(const std::string& file) {
  zip* z = ZipOpen(file.c_str());
  if (z == nullptr) return 0;
  char text[32] = {0};
  const int n = ZipReadFile(z, "version.txt", text, 31);
  ZipClose(z);
  if (n <= 0) return 0;
  int version = 0;
  char extra;
  if (std::sscanf(text, "%d%c", &version, &extra) == 1 && version != 0) {
    MV_LOG(2, "Current archive version ('%s'): %d\n", file.c_str(), version);
    return version;
  }
  MV_LOG(2, "Current archive version ('%s'): '%s'\n", file.c_str(), text);
  return 0;
}

int Download(int id, const LoaderData& d) {
  if (const int r = MakeDirectory(d.fileName); r != 0) return r;
  const int local = LocalVersion(d.fileName);
  int locationId = 0, version = 0;
  bool stopped = false;
  if (const int r = FindLocation(id, d, &locationId, &version, &stopped); r != 0 || stopped) return r;
  if (local == version && !d.forced && local >= 1) {
    MV_LOG(2, "Current archive version is up to date: %d\n", local);
    return 0;
  }
  const int min = GetState(id);
  const int max = min < 0 ? -1 : 99;
  std::string base;
  BaseQuery(d, &base);
  const std::string url = base + "&locationId=" + std::to_string(locationId) + "&localVersion=-1";
  // Written to a part file of this job's own, which takes the archive's name
  // only once the reply is whole.
  if (const int r = GetResource(url, d.fileName, id, min < 0 ? -1 : min, max); r != 0) {
    LogDownloadFailure(r, url);
    return r;
  }
  return 0;
}

int Upload(int id, const LoaderData& d) {
  int locationId = 0, version = 0;
  bool stopped = false;
  if (const int r = FindLocation(id, d, &locationId, &version, &stopped); r != 0 || stopped) return r;
  std::string base;
  BaseQuery(d, &base);
  const std::string url = base + "&locationId=" + std::to_string(locationId);
  if (const int r = PostResource(url, d.fileName, id, 5, 99); r != 0) {
    MV_LOG(1, "Error: unable to upload file (error %d)\n", r);
    return r;
  }
  if (d.forced && !loaderStopped(id)) return Download(id, d);
  return 0;
}

}  // namespace

void* loaderRoutine(void* arg) {
  const int id = TakeId(arg);
  LoaderData d;
  if (!JobBegin(id, "Loader routine #%d started\n", &d)) return nullptr;
  const int result = Download(id, d);
  JobEnd(id, result, "Loader routine #%d finished with result: %d\n\n\n", true);
  return nullptr;
}

void* uploaderRoutine(void* arg) {
  const int id = TakeId(arg);
  LoaderData d;
  if (!JobBegin(id, "Uploader routine #%d started\n", &d)) return nullptr;
  const int result = Upload(id, d);
  JobEnd(id, result, "Uploader routine #%d finished with result: %d\n\n\n", true);
  return nullptr;
}

void* urlLoaderRoutine(void* arg) {
  const int id = TakeId(arg);
  LoaderData d;
  if (!JobBegin(id, "Url loader routine #%d started\n", &d)) return nullptr;
  int result = MakeDirectory(d.fileName);
  if (result == 0) {
    SetState(id, 1);
    if (!loaderStopped(id)) {
      result = GetResource(d.server, d.fileName, id, 1, 99);
      if (result != 0) LogDownloadFailure(result, d.server);
    }
  }
  JobEnd(id, result, "Url loader routine #%d finished with result: %d\n\n\n", false);
  return nullptr;
}

void* urlPosterRoutine(void* arg) {
  const int id = TakeId(arg);
  LoaderData d;
  if (!JobBegin(id, "Url poster routine #%d started\n", &d)) return nullptr;
  std::string scheme, host, path;
  int port = 443;
  int result = 0;
  if (!ParseURL(d.server, &scheme, &host, &port, &path)) {
    MV_LOG(1, "Invalid server url: %s\n", d.server.c_str());
    result = kErrorServerUrl;
  } else {
    MV_LOG(2, "Resolving %s...\n", host.c_str());
    const std::string address = ResolveHost(host, id);
    if (!address.empty()) {
      MV_LOG(2, "Resolved %s to %s\n", host.c_str(), address.c_str());
      SetState(id, 1);
      if (!loaderStopped(id)) {
        result = scheme == "https" || scheme == "HTTPS"
                     ? PostRequestSsl(host, port, d.request, d.fileName, id, 1, 99)
                     : PostRequest(host, port, d.request, d.fileName, id, 1, 99);
        if (result != 0) {
          MV_LOG(1, "Error: unable to post request (error %d)!\n", result);
          MV_LOG(3, "Error: unable to post request %.1000s\n", d.request.c_str());
        }
      }
    }
  }
  JobEnd(id, result, "Url poster routine #%d finished with result: %d\n\n\n", false);
  return nullptr;
}
