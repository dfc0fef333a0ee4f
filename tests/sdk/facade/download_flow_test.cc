// The facade's download flow: against our content server (successes, each
// failure of the job, a server killed mid-download and back), and against a
// scripted job for the states a real server cannot be made to show on cue.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "MCModels/mc_location.h"
#include "MCServerManager/mc_server_manager.h"
#include "platform/paths.h"
#include "server/content/content_helper.h"
#include "sdk/facade/facade_scene.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;
using facade_test::FacadeScene;
using facade_test::Outcome;

bool Ended(const Outcome& o) { return !o.fails.empty() || o.remote(); }
bool Reached100(const Outcome& o) { return Ended(o) || o.has("process 100"); }

std::string Name(int id) { return "#" + std::to_string(id); }

// The order without the progress entries (but for -1).
std::vector<std::string> Said(const Outcome& o) {
  std::vector<std::string> said;
  for (const auto& e : o.order)
    if (e.rfind("process ", 0) != 0 || e == "process -1") said.push_back(e);
  return said;
}

// The flow lets go of the host's blocks once its last callback is posted, and
// not before: a host that must end watches for that.
void ExpectLetGo(const Outcome& o) {
  EXPECT_TRUE(o.released) << "the flow still holds the blocks";
  EXPECT_EQ(o.saidWhenReleased, o.order.size()) << "a callback came after the flow let go";
}

// States only rise, each is posted once, the last is 100.
void ExpectProgress(const Outcome& o) {
  ASSERT_FALSE(o.process.empty());
  for (size_t i = 1; i < o.process.size(); ++i) EXPECT_LT(o.process[i - 1], o.process[i]) << i;
  EXPECT_EQ(o.process.back(), 100);
}

TEST(DownloadFlowTest, AgainstTheContentServer) {
  struct Case {
    const char* what;
    int localVersion;  // 0: no local copy
    int serverVersion;
    contentserver::Misbehaviour bad;
    bool unknownLocation;
    std::vector<std::string> expected;  // the order without the process entries
    int failCode, failState;            // the fail's code and the state its text names
    bool otherLoaded = false;           // another location of the server's version is loaded first
  };
  contentserver::Misbehaviour status500;
  status500.status = 500;
  contentserver::Misbehaviour silent;
  silent.silent = true;
  const std::vector<Case> cases = {
      {"no local copy", 0, 2, {}, false, {"remote 2"}, 0, 0},
      {"local copy up to date", 2, 2, {}, false, {"local 2"}, 0, 0},
      {"local copy older", 1, 2, {}, false, {"local 1", "remote 2"}, 0, 0},
      {"server answers 500", 0, 2, status500, false, {"fail 1", "process -1"}, 1, -500},
      {"location not on the server", 0, 2, {}, true, {"fail 1", "process -1"}, 1, -1090},
      {"server never sends the archive", 1, 2, silent, false, {"local 1", "fail 13"}, 13, 0},
      {"no local copy, another location of that version loaded", 0, 2, {}, false, {"remote 2"}, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FacadeScene s;
    const contentserver::Location served = facade_test::VenueLocation(c.serverVersion);
    s.server->addLocation(served);
    s.server->setMisbehaviour(c.bad);
    const std::string name = Name(c.unknownLocation ? 999 : served.id);
    // An up-to-date copy is the server's own bytes: two archives built apart
    // in time differ in their members' stamps.
    const std::string local = c.localVersion == c.serverVersion ? served.archive
                              : c.localVersion ? facade_test::VenueArchive(std::to_string(c.localVersion))
                                               : "";
    if (c.localVersion) s.install(name, local);
    s.makeCore(s.managers);
    if (c.otherLoaded) {
      s.install("other", facade_test::VenueArchive(std::to_string(c.serverVersion)));
      std::optional<platform::Error> error;
      s.core->loadArchiveByName("other", &error);
      ASSERT_FALSE(error);
    }
    double failedAt = 0, lastRise = 0;
    size_t states = 0;
    const Outcome o = s.download(name, false, c.localVersion == c.serverVersion ? Reached100 : Ended,
                                 [&](const Outcome& now) {
                                   if (now.fails.empty() && now.process.size() != states)
                                     states = now.process.size(), lastRise = platform::Clock::nowSeconds();
                                   if (!now.fails.empty() && failedAt == 0) failedAt = platform::Clock::nowSeconds();
                                 });
    EXPECT_EQ(Said(o), c.expected);
    EXPECT_FALSE(o.offMainThread);
    if (c.failCode == 1) {
      ASSERT_EQ(o.fails.size(), 1u);
      EXPECT_EQ(o.fails[0].localizedDescription,
                "Some problems with downloading. Error: " + std::to_string(c.failState));
    } else if (c.failCode == 13) {
      ASSERT_EQ(o.fails.size(), 1u);
      EXPECT_EQ(o.fails[0].localizedDescription, "Problems with Internet connecting");
      // Eight seconds of clock after the last rise (the list's state), not before.
      EXPECT_GE(failedAt - lastRise, 8.0 - 0.06);
      EXPECT_LE(failedAt - lastRise, 8.0 + 0.11);
      EXPECT_TRUE(s.installed(name) == local) << "the local archive changed";
    } else {
      ExpectProgress(o);
      EXPECT_EQ(s.core->location()->version, c.serverVersion);
      EXPECT_FALSE(s.core->location()->sublocations.empty());
      EXPECT_TRUE(s.installed(name) == served.archive) << "not the server's archive";
      EXPECT_EQ(fs::path(s.core->location()->archiveFile).parent_path().filename(), name)
          << "another location's archive is loaded";
    }
  }
}

// What the server address's faults give a download, as the error table says:
// a malformed address and a refused connection fail at once with the job's
// code; a server name that does not resolve keeps the transfer asking the
// resolver, so the 8 s rule ends it with 13.
std::string NoSuchName(const std::string& host) {
  return host.size() > 8 && host.ends_with(".invalid") ? "" : host;  // numeric addresses pass
}

TEST(DownloadFlowTest, ServerAddressFaultsGiveTheTablesCodes) {
  int refusing = 0;
  {
    FacadeScene probe;  // a port that was just served and is closed again
    refusing = probe.port;
  }
  struct Case {
    const char* what;
    std::string server;
    std::vector<std::string> expected;
    std::string text;
    bool stalls;  // fails by the 8 s rule
  } cases[] = {
      {"no scheme", "127.0.0.1:" + std::to_string(refusing), {"fail 1", "process -1"},
       "Some problems with downloading. Error: -1120", false},
      {"refused", "http://127.0.0.1:" + std::to_string(refusing), {"fail 1", "process -1"},
       "Some problems with downloading. Error: -1130", false},
      {"name that does not resolve", "http://marvisto-test.invalid:" + std::to_string(refusing), {"fail 13"},
       "Problems with Internet connecting", true},
  };
  // The system resolver would ask the network; this one knows no ".invalid" name.
  SetHostResolver(NoSuchName);
  std::shared_ptr<void> restore(nullptr, [](void*) { SetHostResolver(nullptr); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The scene's server is unused: with one, each step of clock also gives the job real
    // time to fail in; a stalling job needs none.
    FacadeScene s(!c.stalls);
    s.core = MarvistoCore::initWithUserHash("hash", c.server, s.managers);
    double lastRise = platform::Clock::nowSeconds(), failedAt = 0;
    size_t states = 0;
    const Outcome o = s.download(Name(7), false, Ended, [&](const Outcome& now) {
      if (now.fails.empty() && now.process.size() != states)
        states = now.process.size(), lastRise = platform::Clock::nowSeconds();
      if (!now.fails.empty() && failedAt == 0) failedAt = platform::Clock::nowSeconds();
    });
    EXPECT_EQ(Said(o), c.expected);
    ExpectLetGo(o);
    ASSERT_EQ(o.fails.size(), 1u);
    EXPECT_EQ(o.fails[0].localizedDescription, c.text);
    if (c.stalls) {
      EXPECT_GE(failedAt - lastRise, 8.0 - 0.06);
      EXPECT_LE(failedAt - lastRise, 8.0 + 0.11);
    } else {
      EXPECT_LT(failedAt - lastRise, 8.0 - 0.06);
    }
  }
}

// An archive from the server that does not load never takes the local copy's
// place: the host hears the engine's refusal once, the running client goes on
// and the local copy still loads. Without a local copy nothing is left behind.
TEST(DownloadFlowTest, AnArchiveThatDoesNotLoadLeavesTheLocalCopyAndNavigation) {
  const struct {
    const char* what;
    std::string served;  // bytes of the newer archive
    bool localCopy;
  } cases[] = {
      {"random bytes", std::string(4096, '\x5a') + "PK", true},
      {"a member that does not parse", facade_test::WithMember(facade_test::VenueArchive("3"), "config.xml", "<c"), true},
      {"random bytes, no local copy", std::string(4096, '\x5a'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FacadeScene s;
    contentserver::Location served = facade_test::VenueLocation(3);
    served.archive = c.served;
    s.server->addLocation(served);
    const std::string name = Name(served.id), local = facade_test::VenueArchive("1");
    if (c.localCopy) s.install(name, local);
    if (c.localCopy)  // what a flow of a process that died left behind
      std::ofstream(platform::Paths::documents() / name / "map.mvz.0.download.part.Ab12Cd") << "part";
    s.makeCore(s.managers);
    const Outcome o = s.download(name, false, Ended);
    EXPECT_EQ(Said(o), (c.localCopy ? std::vector<std::string>{"local 1", "fail 3"} : std::vector<std::string>{"fail 3"}));
    EXPECT_EQ(o.process.back(), 100);
    // Nothing but the local copy in the location's folder.
    std::vector<std::string> files;
    for (const auto& f : fs::directory_iterator(platform::Paths::documents() / name)) files.push_back(f.path().filename());
    EXPECT_EQ(files, c.localCopy ? std::vector<std::string>{"map.mvz"} : std::vector<std::string>{});
    if (!c.localCopy) continue;
    EXPECT_TRUE(s.installed(name) == local) << "the local archive changed";
    EXPECT_EQ(s.core->location()->version, 1);
    EXPECT_TRUE(s.managers.navigationManager->navigationEngine().client()) << "navigation stopped";
    std::optional<platform::Error> error;
    s.core->loadArchiveByName(name, &error);
    EXPECT_FALSE(error) << error->localizedDescription;
  }
}

// A server that goes away mid-download leaves the local archive as it was and
// the flow reports the job's failure; once the server is back the same flow
// brings the new archive.
TEST(DownloadFlowTest, ServerKilledMidDownloadKeepsTheLocalArchiveAndRecovers) {
  FacadeScene s;
  const contentserver::Location served = facade_test::VenueLocation(2);
  s.server->addLocation(served);
  contentserver::Misbehaviour slow;
  slow.slowBytesPerSecond = int(served.archive.size() / 4);
  s.server->setMisbehaviour(slow);
  auto archiveAsked = [&] {
    for (const auto& r : s.server->records())
      if (r.locationId == served.id) return true;
    return false;
  };
  const std::string name = Name(served.id);
  const std::string old = facade_test::VenueArchive("1");
  s.install(name, old);
  s.makeCore(s.managers);
  const Outcome o = s.download(name, false, Ended, [&](const Outcome&) {
    if (s.server && archiveAsked()) s.stopServer();
  });
  EXPECT_EQ(o.order.front(), "local 1");
  ASSERT_EQ(o.fails.size(), 1u);
  EXPECT_EQ(o.fails[0].code, 1);
  EXPECT_EQ(o.process.back(), -1);
  EXPECT_TRUE(s.installed(name) == old) << "the local archive changed";
  EXPECT_FALSE(fs::exists(platform::Paths::documents() / name / "map.mvz.part"));
  EXPECT_EQ(s.core->location()->version, 1);

  ASSERT_TRUE(s.startServer(s.port));
  s.server->addLocation(served);
  const Outcome again = s.download(name, false, Ended);
  EXPECT_TRUE(again.fails.empty());
  EXPECT_TRUE(again.has("remote 2"));
  EXPECT_TRUE(s.installed(name) == served.archive) << "not the server's archive";
  EXPECT_EQ(s.core->location()->version, 2);
}

// A job whose states the test scripts; the archive it "downloads" is whatever
// the script puts in place when it reports 100.
class ScriptedLoader : public MLoader {
 public:
  ScriptedLoader(std::vector<int> states, std::function<void(const std::string& file)> atDone)
      : states_(std::move(states)), atDone_(std::move(atDone)) {}
  int startLoadLocation(const std::string&, const std::string&, const std::string&, const std::string& file,
                        bool) override {
    std::lock_guard lock(mutex_);
    file_ = file;
    return 7;
  }
  int checkLocationLoader(int id) override {
    std::lock_guard lock(mutex_);
    if (id != 7) return -1;
    const int state = states_[std::min(next_, states_.size() - 1)];
    ++next_;
    if (state == 100 && atDone_) std::exchange(atDone_, nullptr)(file_);
    return state;
  }
  void stopLocationLoader(int) override { ++stops; }
  std::atomic<int> stops{0};

 private:
  std::mutex mutex_;
  std::vector<int> states_;
  size_t next_ = 0;
  std::function<void(const std::string&)> atDone_;
  std::string file_;
};

TEST(DownloadFlowTest, ScriptedJobStates) {
  struct Case {
    const char* what;
    std::vector<int> states;
    const char* archiveAtDone;  // version.txt of the archive the job writes at 100; "-" none, "" no member
    std::vector<std::string> expected;
    bool replaced;  // the job's archive took the local copy's place
  };
  const std::vector<Case> cases = {
      {"first poll already done, same version", {100}, "-", {"local 1", "process 100"}, false},
      {"first poll already done, new version", {100}, "3", {"local 1", "process 100", "remote 3"}, true},
      {"first poll already failed", {255}, "-", {"local 1", "fail 1", "process -1"}, false},
      {"each new state once", {0, 10, 10, 10, 40, 40, 100}, "-",
       {"local 1", "process 0", "process 10", "process 40", "process 100"}, false},
      {"job gone", {5, -1}, "-", {"local 1", "process 5", "fail 1", "process -1"}, false},
      {"the same version again: in place, not reloaded", {100}, "1", {"local 1", "process 100"}, true},
      {"version unreadable: the engine refuses it, the local copy stays", {100}, "",
       {"local 1", "process 100", "fail 3"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FacadeScene s(false);
    const std::string name = "venue";
    const std::string local = facade_test::VenueArchive("1");
    s.install(name, local);
    const std::string atDone = c.archiveAtDone;
    const std::string written = atDone == "-" ? "" : facade_test::VenueArchive(atDone);
    // As a job does: the whole file under another name first, then renamed.
    auto loader = std::make_shared<ScriptedLoader>(c.states, [atDone, written](const std::string& file) {
      if (atDone == "-") return;
      std::ofstream(file + ".part", std::ios::binary) << written;
      fs::rename(file + ".part", file);
    });
    s.managers.serverManager->setLoader(loader);
    s.makeCore(s.managers);
    const Outcome o = s.download(name, false, [](const Outcome& o) {
      return Ended(o) || o.has("process 100");
    });
    EXPECT_EQ(o.order, c.expected);
    EXPECT_GE(loader->stops.load(), 1) << "the job is left in the registry";
    EXPECT_TRUE(s.installed(name) == (c.replaced ? written : local));
    if (o.remote()) {
      EXPECT_FALSE(s.core->location()->sublocations.empty()) << "half a reload";
    }
  }
}

// Whatever the outcome, the flow lets go of the host's blocks right after its
// last callback: a host that must end (the README's) waits for that.
TEST(DownloadFlowTest, TheBlocksGoRightAfterTheLastCallback) {
  const struct {
    const char* what;
    std::vector<int> states;
    const char* archiveAtDone;  // as in ScriptedJobStates
    std::vector<std::string> expected;
  } cases[] = {
      {"up to date", {5, 100}, "-", {"local 1", "process 5", "process 100"}},
      {"a newer copy", {5, 100}, "3", {"local 1", "process 5", "process 100", "remote 3"}},
      {"the job failed", {5, -1010}, "-", {"local 1", "process 5", "fail 1", "process -1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FacadeScene s(false);
    s.install("venue", facade_test::VenueArchive("1"));
    const std::string atDone = c.archiveAtDone;
    const std::string written = atDone == "-" ? "" : facade_test::VenueArchive(atDone);
    s.managers.serverManager->setLoader(std::make_shared<ScriptedLoader>(c.states, [atDone, written](const std::string& file) {
      if (atDone == "-") return;
      std::ofstream(file + ".part", std::ios::binary) << written;
      fs::rename(file + ".part", file);
    }));
    s.makeCore(s.managers);
    const Outcome o = s.download("venue", false, [&](const Outcome& now) { return now.order == c.expected; });
    EXPECT_EQ(o.order, c.expected);
    ExpectLetGo(o);
  }
}

TEST(DownloadFlowTest, AJobThatStopsRisingFailsAfterEightSecondsOfClock) {
  FacadeScene s(false);
  s.install("venue", facade_test::VenueArchive("1"));
  auto loader = std::make_shared<ScriptedLoader>(std::vector<int>{1, 30}, nullptr);
  s.managers.serverManager->setLoader(loader);
  s.makeCore(s.managers);
  double risen = 0, failed = 0;
  const Outcome o = s.download("venue", false, Ended, [&](const Outcome& now) {
    if (risen == 0 && now.has("process 30")) risen = platform::Clock::nowSeconds();
    if (failed == 0 && !now.fails.empty()) failed = platform::Clock::nowSeconds();
  });
  EXPECT_EQ(o.order, (std::vector<std::string>{"local 1", "process 1", "process 30", "fail 13"}));
  EXPECT_GE(failed - risen, 8.0 - 0.06);
  EXPECT_LE(failed - risen, 8.0 + 0.11);
  EXPECT_GE(loader->stops.load(), 1);
}

}  // namespace
