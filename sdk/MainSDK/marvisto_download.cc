// The facade's location download flow: the local copy loads at once, then a
// loader job brings the archive up to date from the server while the flow
// polls it at a steady pace on the global queue, posting each new job state
// once; a finished job leads to the version check and, when the version
// changed, a reload (navigation then stays stopped until the host starts it).
#include <cstdlib>

#include "MainSDK/main_sdk.h"
#include "MainSDK/marvisto_core.h"
#include "Foundation/marvisto_error.h"
#include "platform/clock.h"
#include "platform/dispatch.h"

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

  void begin() {
    std::optional<platform::Error> local;
    sdk_->loadArchive(name_, &local);
    core_->setLocation(sdk_->location());
    if (!local) {
      postSuccess("local");
    } else if (local->code != 2) {
      postFail(*local);
    }
    job_ = sdk_->startLocationLoader(core_->userHash(), name_, forced_);
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

  void finish() {
    sdk_->stopLocationLoader(job_);
    std::optional<platform::Error> read;
    const std::optional<std::string> text =
        sdk_->currentVersionAt(MainSDK::directoryForDocuments() + "/" + name_ + "/map.mvz", &read);
    const int64_t version = text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
    if (read) postFail(*read);
    if (version == sdk_->locationSnapshot()->version) return;
    sdk_->stopMarvisto();
    // The reload has its own error: a failed version read is reported once,
    // above, and does not cut the reload short.
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
  const bool forced_;
  MarvistoCore::ProcessBlock process_;
  MarvistoCore::SuccessBlock success_;
  MarvistoCore::FailBlock fail_;
  int job_ = -1;
  int lastState_ = 0;
  int lastPosted_ = -2;  // no state posted yet
  double lastRise_ = 0;
};

void MarvistoCore::downloadLocationByName(const std::string& name, bool forceReload,
                                          ProcessBlock processBlock, SuccessBlock successBlock,
                                          FailBlock failBlock) {
  auto flow = std::make_shared<MCDownloadFlow>(shared_from_this(), mainSDK(), name, forceReload,
                                               std::move(processBlock), std::move(successBlock),
                                               std::move(failBlock));
  platform::dispatch::globalQueue()->async([flow] { flow->begin(); });
}
