// The facade's location download flow: the local copy loads at once, then a
// loader job brings the archive up to date from the server while the flow
// polls it at a steady pace on the global queue, posting each new job state
// once. The job writes beside the archive, never over it: a downloaded archive
// replaces the local one only once the engine has read it whole, so a broken
// download leaves the working copy and the running navigation as they were.
// A finished job leads to that check, the version comparison with the local
// copy of the location asked for and, when the version changed or there was no
// local copy, a reload (navigation then stays stopped until the host starts it).
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "Foundation/mc_log.h"
#include "MCArchiveManager/m_archive_engine.h"
#include "MainSDK/main_sdk.h"
#include "MainSDK/marvisto_core.h"
#include "Foundation/marvisto_error.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/main_thread.h"
#include "platform/mutex.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kStagingPrefix = "map.mvz.";
constexpr const char* kStagingSuffix = ".download";

// The download files of the flows now running in this process. Anything else of
// their name in a location's folder was left by a flow that never ended (the
// process died): each new flow clears those away before it makes its own.
class StagingFiles {
 public:
  static StagingFiles& shared() {
    static StagingFiles files;
    return files;
  }

  // A new download file beside `archive`, made from it when it exists so the
  // job compares the server's version with the local one.
  std::string make(const fs::path& archive) {
    const fs::path dir = archive.parent_path();
    std::string path;
    {
      platform::MutexLock lock(mutex_);
      sweep(dir);
      path = (dir / (std::string(kStagingPrefix) + std::to_string(++count_) + kStagingSuffix)).string();
      live_.insert(path);
    }
    std::error_code ec;
    fs::remove(path, ec);
    if (fs::is_regular_file(archive, ec)) {
      fs::create_hard_link(archive, path, ec);
      if (ec) fs::copy_file(archive, path, ec);
    }
    return path;
  }

  void release(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
    platform::MutexLock lock(mutex_);
    live_.erase(path);
  }

 private:
  // The engine's own part files of a download file carry its name in front.
  void sweep(const fs::path& dir) REQUIRES(mutex_) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const size_t suffix = name.find(kStagingSuffix);
      if (name.rfind(kStagingPrefix, 0) != 0 || suffix == std::string::npos) continue;
      const std::string own = (dir / name.substr(0, suffix + std::char_traits<char>::length(kStagingSuffix))).string();
      if (live_.count(own) == 0) {
        std::error_code ignored;
        fs::remove(it->path(), ignored);
      }
    }
  }

  platform::Mutex mutex_;
  std::set<std::string> live_ GUARDED_BY(mutex_);
  uint64_t count_ GUARDED_BY(mutex_) = 0;
};

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

// The leading integer of an archive's version text; none when it cannot be read.
std::optional<int64_t> VersionAt(MainSDK& sdk, const std::string& path) {
  std::optional<platform::Error> error;
  const std::optional<std::string> text = sdk.currentVersionAt(path, &error);
  if (!text || error) return std::nullopt;
  return std::strtoll(text->c_str(), nullptr, 10);
}

}  // namespace

class MCDownloadFlow : public std::enable_shared_from_this<MCDownloadFlow> {
 public:
  MCDownloadFlow(std::shared_ptr<MarvistoCore> core, std::shared_ptr<MainSDK> sdk, std::string name,
                 bool forced, MarvistoCore::ProcessBlock process, MarvistoCore::SuccessBlock success,
                 MarvistoCore::FailBlock fail)
      : core_(std::move(core)),
        sdk_(std::move(sdk)),
        name_(std::move(name)),
        forced_(forced),
        process_(std::move(process)),
        success_(std::move(success)),
        fail_(std::move(fail)) {}

  ~MCDownloadFlow() {
    if (!staged_.empty()) StagingFiles::shared().release(staged_);
  }

  void begin() {
    std::optional<platform::Error> local;
    sdk_->loadArchive(name_, &local);
    core_->setLocation(sdk_->location());
    if (!local) {
      // What a download is measured against: this location's own local copy,
      // whatever another load may have put in place since.
      localVersion_ = VersionAt(*sdk_, archive_);
      postSuccess("local");
    } else if (local->code != 2) {
      postFail(*local);
    } else {
      missing_ = local;
    }
    staged_ = StagingFiles::shared().make(archive_);
    job_ = sdk_->startLocationLoader(core_->userHash(), name_, forced_, staged_);
    lastRise_ = Now();
    poll();
  }

 private:
  static double Now() {
    return std::chrono::duration<double>(platform::Clock::steadyNow()).count();
  }

  void later() {
    auto self = shared_from_this();
    platform::dispatch::after(MarvistoCore::kDownloadPollSeconds, platform::dispatch::globalQueue(),
                              [self] { self->poll(); });
  }

  void poll() {
    const int state = sdk_->checkLocationLoader(job_);
    if (state == 255 || state < 0) {
      sdk_->stopLocationLoader(job_);
      const platform::Error error =
          MarvistoError(1, "Some problems with downloading. Error: " + std::to_string(state));
      post([fail = fail_, process = process_, error] {
        if (fail) fail(error);
        if (process) process(-1);
      });
      return;
    }
    if (state != lastPosted_) {
      lastPosted_ = state;
      post([process = process_, state] {
        if (process) process(state);
      });
    }
    if (state > lastState_) {
      lastState_ = state;
      lastRise_ = Now();
    } else if (Now() - lastRise_ >= MarvistoCore::kDownloadStallSeconds) {
      sdk_->stopLocationLoader(job_);
      postFail(MarvistoError(13, "Problems with Internet connecting"));
      return;
    }
    if (state > 99) {
      finish();
    } else {
      later();
    }
  }

  // Whether the job left a new archive in the download file: one that is not
  // the local copy it was made from.
  bool downloaded() const {
    std::error_code ec;
    if (!fs::is_regular_file(staged_, ec)) return false;
    if (!fs::is_regular_file(archive_, ec)) return true;
    return !fs::equivalent(staged_, archive_, ec) && !SameBytes(staged_, archive_);
  }

  void finish() {
    sdk_->stopLocationLoader(job_);
    if (!downloaded()) {
      // Up to date: the local copy's load has had its say. With no local copy
      // and nothing downloaded the host still hears why nothing was loaded.
      if (missing_) postFail(*missing_);
      return;
    }
    // The download replaces the local copy only once the engine has read it.
    std::optional<platform::Error> refused;
    sdk_->checkArchive(staged_, &refused);
    if (refused) {
      MC_LOG(1, "ERROR! The downloaded archive of " + name_ + " does not load; the local copy stays.\n");
      postFail(*refused);
      return;
    }
    const int64_t version = VersionAt(*sdk_, staged_).value_or(0);
    std::error_code ec;
    fs::rename(staged_, archive_, ec);
    if (ec) {
      MC_LOG(1, "ERROR! The downloaded archive of " + name_ + " cannot take its place: " + ec.message() + "\n");
      postFail(MArchiveWriteError("map.mvz"));
      return;
    }
    if (localVersion_ && version == *localVersion_) return;
    sdk_->stopMarvisto();
    std::optional<platform::Error> reload;
    sdk_->loadArchive(name_, &reload);
    core_->setLocation(sdk_->location());
    if (reload) {
      postFail(*reload);
    } else {
      postSuccess("remote");
    }
  }

  void post(platform::Block block) { platform::dispatch::mainQueue()->async(std::move(block)); }

  void postSuccess(const char* type) {
    // The version is read when the callback runs, as the host then sees it.
    post([success = success_, sdk = sdk_, type] {
      if (success) success({{"type", type}, {"version", sdk->locationSnapshot()->version}});
    });
  }

  void postFail(const platform::Error& error) {
    post([fail = fail_, error] {
      if (fail) fail(error);
    });
  }

  std::shared_ptr<MarvistoCore> core_;
  std::shared_ptr<MainSDK> sdk_;
  const std::string name_;
  const std::string archive_ = MainSDK::directoryForDocuments() + "/" + name_ + "/map.mvz";
  const bool forced_;
  MarvistoCore::ProcessBlock process_;
  MarvistoCore::SuccessBlock success_;
  MarvistoCore::FailBlock fail_;
  std::string staged_;  // the job's file beside the archive
  std::optional<int64_t> localVersion_;  // of the local copy, when it loaded
  std::optional<platform::Error> missing_;  // the local load's silent "no archive"
  int job_ = -1;
  int lastState_ = 0;
  int lastPosted_ = -2;  // no state posted yet
  double lastRise_ = 0;
};

void MarvistoCore::downloadLocationByName(const std::string& name, bool forceReload,
                                          ProcessBlock processBlock, SuccessBlock successBlock,
                                          FailBlock failBlock) {
  PLATFORM_MAIN_THREAD_ONLY();
  auto flow = std::make_shared<MCDownloadFlow>(shared_from_this(), mainSDK(), name, forceReload,
                                               std::move(processBlock), std::move(successBlock),
                                               std::move(failBlock));
  platform::dispatch::globalQueue()->async([flow] { flow->begin(); });
}
