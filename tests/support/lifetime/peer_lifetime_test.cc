// A peer never outlives its test: a test process that starts peers is killed as ctest kills
// one at its time limit (SIGKILL) or as a user stops it (SIGTERM), and every process of each
// peer's group goes with it, the peer's own children (nginx's workers) included.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/peers.h"

extern char** environ;

namespace {

struct Member {
  int pid, parent;
  std::string name;
};

// The live processes of a process group (zombies are gone already: only their exit status stays).
std::vector<Member> Members(int group) {
  std::vector<Member> out;
  DIR* d = opendir("/proc");
  while (dirent* e = d ? readdir(d) : nullptr) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    const std::string stat = peers::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    int parent = 0, pgrp = 0;
    if (rest >> state >> parent >> pgrp && pgrp == group && state != 'Z')
      out.push_back({pid, parent, stat.substr(open + 1, close - open - 1)});
  }
  if (d) closedir(d);
  return out;
}

bool WaitFor(const std::function<bool()>& done, double seconds) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (done()) return true;
  return done();
}

std::string Listing(const std::vector<Member>& members) {
  std::string out;
  for (const auto& m : members) out += " " + std::to_string(m.pid) + " " + m.name + " (parent " + std::to_string(m.parent) + ");";
  return out;
}

}  // namespace

// Run by the test below as a process of its own: starts the peer named in its environment,
// waits until the peer has a child of its own, writes the peer's group to a file and then
// waits to be killed. Disabled, so that a run of the suite lists it as not run.
TEST(PeerLifetime, DISABLED_Holder) {
  const char* peer = std::getenv("MARVISTO_PEER_HOLDER");
  const char* dir = std::getenv("MARVISTO_PEER_HOLDER_DIR");
  if (!peer || !dir) GTEST_SKIP() << "runs only as the child of PeerLifetime.EveryProcessOfAPeerEndsWithTheTestProcess";
  std::unique_ptr<peers::Nginx> nginx;
  std::unique_ptr<peers::Child> child;
  int group = -1;
  if (std::string(peer) == "nginx") {
    const int port = peers::freePort();
    nginx = std::make_unique<peers::Nginx>(dir, "server { listen 127.0.0.1:" + std::to_string(port) + "; }\n", port);
    ASSERT_TRUE(nginx->ok()) << nginx->errorLog();
    ASSERT_TRUE(WaitFor([&] { return (group = std::atoi(peers::readFile(std::string(dir) + "/nginx.pid").c_str())) > 0; }, 10));
  } else {
    child = std::make_unique<peers::Child>(std::vector<std::string>{"sh", "-c", "sleep 120 & wait"});
    group = child->pid();
  }
  // Ready once the peer has a child of its own (nginx's worker, the shell's sleep).
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& m : Members(group))
      if (m.parent == group) return true;
    return false;
  }, 20));
  peers::writeFile(std::string(dir) + "/group.tmp", std::to_string(group));
  std::rename((std::string(dir) + "/group.tmp").c_str(), (std::string(dir) + "/group").c_str());
  std::this_thread::sleep_for(std::chrono::seconds(120));  // killed long before
}

TEST(PeerLifetime, EveryProcessOfAPeerEndsWithTheTestProcess) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  struct Case { const char* peer; int signal; } cases[] = {
      {"nginx", SIGKILL}, {"nginx", SIGTERM}, {"a shell with a child", SIGKILL}, {"a shell with a child", SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + ", test process ended by " + strsignal(c.signal));
    peers::TempDir dir("lifetime");
    std::vector<std::string> env = {std::string("MARVISTO_PEER_HOLDER=") + (std::string(c.peer) == "nginx" ? "nginx" : "shell"),
                                    "MARVISTO_PEER_HOLDER_DIR=" + dir.path().string()};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    std::string a0 = self, a1 = "--gtest_also_run_disabled_tests", a2 = "--gtest_filter=PeerLifetime.DISABLED_Holder";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    const std::string output = dir.file("holder.out");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t holder = -1;
    ASSERT_EQ(posix_spawn(&holder, self.c_str(), &fa, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    int group = -1;
    const bool ready = WaitFor([&] { return (group = std::atoi(peers::readFile(dir.path() / "group").c_str())) > 0; }, 60);
    if (ready) kill(holder, c.signal);
    else kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
    ASSERT_TRUE(ready) << peers::readFile(output);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    EXPECT_TRUE(WaitFor([&] { return Members(group).empty(); }, 10)) << "left running:" << Listing(Members(group));
    if (!Members(group).empty()) kill(-group, SIGKILL);  // nothing stays behind this test
  }
}
