// The facade against our content server on 127.0.0.1 in a fresh app home
// under the manual clock: the simulated world's built-in venue (generated
// once per program) served as a location, archive variants made from it, and
// a download helper that plays the clock until the flow has said its piece.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "MainSDK/main_sdk.h"
#include "MainSDK/marvisto_core.h"
#include "content_server/content_server.h"
#include "platform/testing.h"

namespace facade_test {

// What the download callbacks received, in order ("local 1", "process 40",
// "fail 13", ...), each on the main thread or not.
struct Outcome {
  std::vector<std::string> order;
  std::vector<int64_t> process;
  std::vector<nlohmann::json> successes;
  std::vector<platform::Error> fails;
  bool offMainThread = false;
  // Whether the flow let go of the blocks, and how many callbacks had come then.
  bool released = false;
  size_t saidWhenReleased = 0;
  bool has(const std::string& entry) const;
  bool remote() const;
};

// The venue's archive bytes with version.txt set to `version` (or removed
// when `version` is empty).
std::string VenueArchive(const std::string& version);
// `archive` with the member `name` holding `text` in place of what it held.
std::string WithMember(const std::string& archive, const std::string& name, const std::string& text);
// The venue's location id and title.
contentserver::Location VenueLocation(int version);
// The world the archive came from.
const std::string& VenueArchivePath();

class FacadeScene {
 public:
  // `managers` default to fresh private ones; the server starts unless told not to.
  explicit FacadeScene(bool startServer = true, bool manualClock = true);
  ~FacadeScene();

  bool startServer(int port = 0);
  void stopServer();
  std::string serverUrl() const;
  // Writes `bytes` to Documents/<name>/map.mvz.
  void install(const std::string& name, const std::string& bytes);
  std::string installed(const std::string& name) const;
  void makeCore(MainSDKManagers managers);

  // Starts the flow and plays the clock in 50 ms steps until `done` holds
  // (or 60 s of real time went by), then 2 s more of clock to show nothing
  // else comes. With a real server each step also gives the job 25 ms of
  // real time, so a loaded machine's network never looks stalled to the
  // flow's 8 s rule (then 4 s of real time).
  Outcome download(const std::string& name, bool force, const std::function<bool(const Outcome&)>& done,
                   const std::function<void(const Outcome&)>& eachStep = {});

  platform::testing::ScopedHome home;
  std::unique_ptr<contentserver::ContentServer> server;
  int port = 0;
  MainSDKManagers managers;
  std::shared_ptr<MarvistoCore> core;
};

}  // namespace facade_test
