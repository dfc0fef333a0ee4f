#include "server/mqueue/mqueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "content_server/content_server.h"
#include "engine/server/log_capture.h"
#include "engine/server/mqueue/child/test_message.h"
#include "server/content/content_helper.h"

namespace {

extern "C" char** environ;

namespace fs = std::filesystem;
using contentserver::ContentServer;

std::string Slurp(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }

contentserver::ServerOptions Options(int port) {
  contentserver::ServerOptions o;
  o.port = port;
  o.ipv6 = false;
  return o;
}

bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
  for (int i = 0; i < seconds * 200 && !done(); ++i) usleep(5000);
  return done();
}

// A listening socket on 127.0.0.1: closes every connection at once (a server
// that is down but reachable) and counts them.
struct Closer {
  Closer() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n), listen(fd, 64), getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    worker = std::thread([this] {
      for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; ++count) close(c);
    });
  }
  ~Closer() { shutdown(fd, SHUT_RDWR), close(fd), worker.join(); }
  int fd = socket(AF_INET, SOCK_STREAM, 0), port;
  std::atomic<int> count{0};
  std::thread worker;
};

class MQueue : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }
  std::string Url(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/xmlParserInsert"; }
  std::unique_ptr<MQueueManager> Queue(int port, int maxBytes, int maxFiles, int retryMs) {
    auto q = std::make_unique<MQueueManager>(Url(port), dir_, maxBytes, maxFiles);
    q->setSleepTimeout(1);
    q->setRetryTimeout(retryMs, retryMs * 4);
    q->setParameter("userHash", "u1");
    return q;
  }
  // The lines of the batches a server accepted, in arrival order.
  static std::string Accepted(const ContentServer& s) {
    std::string all;
    for (const auto& r : s.records()) all += r.status == 200 && r.userHash == "u1" ? r.xml : "";
    return all;
  }
  std::string dir_ = mkdtemp(std::string("/tmp/mv_mqueue_XXXXXX").data());
  LogCapture log_;
};

TEST_F(MQueue, BatchesCloseBetweenLinesAndKeepTheNewest) {
  const std::string e(3000, 'e'), nul("x\0y", 3);
  struct Case { int maxBytes, maxFiles; std::vector<std::string> lines; std::string rawTail; std::map<std::string, std::string> files; } cases[] = {
      {10, 9, {"aaaa", "bbbb", "cccc", "dddd", e}, "", {{"upload.0001.xml", "aaaa\nbbbb\ncccc\n"}, {"upload.xml", "dddd\n" + e + "\n"}}},
      {4, 2, {"a1234", "b1234", "c1234", "d"}, "", {{"upload.0002.xml", "b1234\n"}, {"upload.0001.xml", "c1234\n"}, {"upload.xml", "d\n"}}},
      {100, 9, {nul}, "cut", {{"upload.xml", nul + "\ncut\n"}}},
  };
  Closer down;
  for (const Case& c : cases) {
    auto q = Queue(down.port, c.maxBytes, c.maxFiles, 3600 * 1000);
    for (const auto& l : c.lines) q->addMessage(l);
    std::ofstream(dir_ + "/queue.xml", std::ios::app) << c.rawTail;
    q->start();
    ASSERT_TRUE(WaitUntil([&] { return down.count >= 1 && !fs::exists(dir_ + "/queue.xml"); }));
    for (const auto& [name, text] : c.files) EXPECT_EQ(Slurp(dir_ + "/" + name), text) << name;
    for (const auto& f : fs::directory_iterator(dir_)) EXPECT_TRUE(c.files.count(f.path().filename()) || f.path().filename() == "queue.lock") << f.path();
    // Later cycles go on batching without posting again before the retry delay.
    q->addMessage("late");
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(dir_ + "/queue.xml"); }));
    q.reset();
    EXPECT_EQ(down.count, 1);
    fs::remove_all(dir_), fs::create_directory(dir_), down.count = 0;
  }
}

// A server process killed mid-post, then down, then failing: every line arrives
// once, in order, except the batch the dead server stored but never answered.
TEST_F(MQueue, EverythingArrivesOnceInOrderThroughKillDownTimeAndASecondQueue) {
  int port = Closer().port, pid = 0;  // nothing listens there once the probe is gone
  std::string log = dir_ + "/server.log", expected;
  FILE* p = popen((CONTENT_SERVER " --port " + std::to_string(port) + " --log " + log +
                   " --never-answer-posts >/dev/null 2>&1 & echo $!").c_str(), "r");
  ASSERT_EQ(fscanf(p, "%d", &pid), 1);
  pclose(p);
  std::shared_ptr<void> killer(nullptr, [pid](void*) { kill(pid, SIGKILL); });
  auto first = Queue(port, 100, 50, 5), second = Queue(port, 100, 50, 5);  // second only appends
  for (int i = 0; i < 90; ++i) {
    std::string line = "<m n=\"" + std::to_string(i) + "\"/>";
    (i % 2 && first ? first : second)->addMessage(line);
    expected += line + "\n";
    if (i == 29) {
      first->start(), second->start();
      ASSERT_TRUE(WaitUntil([&] { return Slurp(log).find("xmlSha256") != std::string::npos; }));
      kill(pid, SIGKILL);
    }
    if (i == 60) first.reset();  // mid-post maybe; the other queue takes the directory over
  }
  ContentServer server(Options(port));
  contentserver::Misbehaviour bad;
  bad.failFirstPosts = 2;
  server.setMisbehaviour(bad);
  std::string error;
  ASSERT_TRUE(WaitUntil([&] { return server.start(&error); })) << error;
  ASSERT_TRUE(WaitUntil([&] { return Accepted(server).size() >= expected.size(); }));
  EXPECT_EQ(Accepted(server), expected);
  EXPECT_GT(second->getUploadTime(), 0u);
  std::string dead = Slurp(log);
  int again = 0;
  for (const auto& r : server.records()) again += r.status == 200 && dead.find(contentserver::Sha256Hex(r.xml)) != std::string::npos;
  EXPECT_EQ(std::count(dead.begin(), dead.end(), '\n'), 1);
  EXPECT_EQ(again, 1);
}

TEST_F(MQueue, TenThousandFailedRetriesKeepMemoryAndJobRecordsFlat) {
  Closer down;
  auto q = Queue(down.port, 1000, 5, 0);
  q->setSleepTimeout(0);
  q->addMessage("<m/>");
  int before = StartUrlPoster("bad", "", "");
  q->start();
  auto rss = [] {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
  };
  ASSERT_TRUE(WaitUntil([&] { return down.count >= 1000; }, 600));
  [[maybe_unused]] long early = rss();
  ASSERT_TRUE(WaitUntil([&] { return down.count >= 10000; }, 1200));
  [[maybe_unused]] long late = rss();
  std::printf("resident after 1,000 failed posts %ld bytes, after 10,000 %ld bytes\n", early, late);
  q.reset();
  int after = StartUrlPoster("bad", "", ""), kept = 0;
  for (int id = before + 1; id < after; ++id) kept += CheckLocationLoader(id) != -1;
  EXPECT_LE(kept, kMaxReportedLoaders + 2);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators hold freed memory
  EXPECT_LT(late - early, 4 << 20) << early << " -> " << late;
#endif
  EXPECT_TRUE(fs::exists(dir_ + "/upload.xml"));
}

// The queue stores one message per line: a message with a line feed in it
// would reach the server as two, each half in a post of its own at worst.
TEST_F(MQueue, AMessageWithALineFeedIsRefusedWhole) {
  struct Case { std::string message; bool stored; } cases[] = {
      {"<a/>", true}, {"<b>one\ntwo</b>", false}, {"<c>one\r\ntwo</c>", false}, {"\n", false},
      {"<d/>\n", false}, {"<e>one\rtwo</e>", true}, {"", true},
  };
  auto q = Queue(1, 1000, 9, 1000);  // never started
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(q->addMessage(c.message), c.stored) << c.message;
    if (c.stored) expected += c.message + "\n";
  }
  EXPECT_EQ(Slurp(dir_ + "/queue.xml"), expected);
  EXPECT_TRUE(log_.contains("a line feed would split it"));
}

// A malformed server address is refused before anything is posted: the
// default log level keeps the reason at every try, the lines stay for a queue
// with a usable address, and no code (-1110 among them) reaches anyone.
TEST_F(MQueue, AMalformedAddressIsLoggedAtEveryTryAndKeepsTheLines) {
  Closer down;  // the port the addresses name: nothing may connect to it
  const std::string at = "127.0.0.1:" + std::to_string(down.port);
  const std::string addresses[] = {at + "/xmlParserInsert", "Http://" + at + "/xmlParserInsert",
                                   "http://" + at + "/xml Parser", "http:///xmlParserInsert"};
  for (const std::string& address : addresses) {
    SCOPED_TRACE(address);
    log_.reset();
    auto q = std::make_unique<MQueueManager>(address, dir_, 1000, 9);
    q->setSleepTimeout(1);
    q->setRetryTimeout(1, 4);
    ASSERT_TRUE(q->addMessage("<m/>"));
    q->start();
    const std::string told = "Upload failed: invalid url: " + address + "\n";
    auto tries = [&] {
      const std::string text = log_.text();
      int n = 0;
      for (size_t i = 0; (i = text.find(told, i)) != std::string::npos; i += told.size()) ++n;
      return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return tries() >= 3; }));
    q.reset();
    EXPECT_EQ(Slurp(dir_ + "/upload.xml"), "<m/>\n");
    EXPECT_EQ(log_.text().find("1110"), std::string::npos);
    EXPECT_EQ(down.count, 0);
    fs::remove_all(dir_), fs::create_directory(dir_);
  }
}

// A server out of reach for long: beyond the batch files kept, the oldest
// batch goes whole, and the log counts every line lost that way.
TEST_F(MQueue, BatchesBeyondTheLimitAreDroppedOldestFirstAndCounted) {
  struct Case { int maxBytes, maxFiles, messages; bool drops; } cases[] = {
      {100, 3, 60, true}, {300, 1, 40, true}, {100, 5, 12, false}};
  Closer down;
  const std::regex told("dropped the oldest batch, (\\d+) messages");
  size_t toldBefore = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxFiles);
    auto q = Queue(down.port, c.maxBytes, c.maxFiles, 3600 * 1000);
    std::vector<std::string> all;
    for (int n = 0; n < c.messages; ++n) {
      all.push_back("<m n=\"" + std::to_string(n) + "\"/>" + std::string(n % 7 * 5, 'x'));
      ASSERT_TRUE(q->addMessage(all.back()));
    }
    q->start();
    ASSERT_TRUE(WaitUntil([&] { return down.count >= 1 && !fs::exists(dir_ + "/queue.xml"); }));
    q.reset();
    std::string kept;  // oldest first
    for (int n = c.maxFiles; n >= 0; --n) {
      char name[32];
      std::snprintf(name, sizeof name, n ? "/upload.%04d.xml" : "/upload.xml", n);
      kept += Slurp(dir_ + name);
    }
    const std::string text = log_.text();
    size_t told_ = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), told); it != std::sregex_iterator(); ++it)
      told_ += std::stoul((*it)[1]);
    const size_t dropped = told_ - toldBefore;
    toldBefore = told_;
    std::string newest;  // what must be left: the lines after the dropped ones, in order
    for (size_t n = dropped; n < all.size(); ++n) newest += all[n] + "\n";
    EXPECT_EQ(kept, newest) << dropped << " dropped";
    EXPECT_EQ(dropped > 0, c.drops) << dropped;
    std::printf("%d batch files of %d bytes: %zu of %d messages dropped\n", c.maxFiles, c.maxBytes, dropped,
                c.messages);
    fs::remove_all(dir_), fs::create_directory(dir_), down.count = 0;
  }
}

// A small tmpfs of its own at `path`: in a mount namespace of this thread's
// own where the kernel allows (a crashed test then leaves no mount behind);
// the processes the test starts see it too.
struct SmallDisk {
  SmallDisk(const std::string& at, size_t bytes) : path(at) {
    if (unshare(CLONE_NEWNS) == 0) mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    ok = mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
  }
  ~SmallDisk() {
    if (ok) umount2(path.c_str(), MNT_DETACH);
  }
  std::string path;
  bool ok = false;
};

// Takes the free space of the file system holding dir, giving back `leave` bytes.
struct Filler {
  explicit Filler(const std::string& dir, off_t leave = 0) : path(dir + "/filler") {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const std::string chunk(65536, 'f');
    for (size_t piece : {chunk.size(), size_t{512}})
      while (write(fd, chunk.data(), piece) > 0) {
      }
    const off_t size = lseek(fd, 0, SEEK_END);
    if (leave > 0 && ftruncate(fd, std::max<off_t>(0, size - leave)) != 0) ADD_FAILURE() << "cannot give space back";
    close(fd);
  }
  ~Filler() { unlink(path.c_str()); }
  std::string path;
};

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// Every file of the queue directory that holds lines not yet posted.
std::multiset<std::string> QueuedLines(const std::string& dir) {
  std::multiset<std::string> lines;
  for (const auto& f : fs::directory_iterator(dir)) {
    const std::string name = f.path().filename();
    if (name == "queue.lock" || name == "filler") continue;
    std::istringstream in(Slurp(f.path()));
    for (std::string line; std::getline(in, line);) lines.insert(line);
  }
  return lines;
}

TEST_F(MQueue, FieldsAndMessagesCannotChangeTheFormsShape) {
  ContentServer server(Options(0));
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  auto q = Queue(server.port(), 100000, 9, 5);
  const std::string boundary = "iuJiWoa6hiGud8hi";
  struct Param { std::string name, value; bool taken; } params[] = {
      // A user hash that used to inject a field of its own.
      {"userHash2", "x\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"deviceId\"\r\n\r\nforged", false},
      {"line\nname", "v", false},
      {"quote\"name", "v", false},
      {"note", "carriage\rreturn", false},
      {"note", "plain value", true},
      {"note", "second value", true},  // accepted, the first one stays
  };
  for (const Param& p : params) EXPECT_EQ(q->setParameter(p.name, p.value), p.taken) << p.name;
  EXPECT_EQ(q->getParameter("note"), "plain value");
  EXPECT_EQ(q->getParameter("userHash2"), "");
  const std::pair<std::string, bool> messages[] = {
      {"<a>--" + boundary + "--</a>", true},  // the closing boundary made the next message vanish
      {"<b>\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"deviceId\"\r\n\r\nforged</b>", false},
      {"<b>\r--" + boundary + "\rContent-Disposition: form-data; name=\"deviceId\"\r\rforged</b>", true},
      {"<c>" + boundary + "9e3779b1 " + boundary + "3c6ef362</c>", true},  // the next candidates too
      {"<d>after them</d>", true},
  };
  std::string expected;
  for (const auto& [m, stored] : messages) {
    EXPECT_EQ(q->addMessage(m), stored);
    if (stored) expected += m + "\n";
  }
  q->start();
  ASSERT_TRUE(WaitUntil([&] { return Accepted(server).size() >= expected.size(); }, 20));
  EXPECT_EQ(Accepted(server), expected);
  for (const auto& r : server.records()) {
    EXPECT_EQ(r.formFields, "localTime,note,packetNumber,userHash,xml");
    EXPECT_EQ(r.userHash, "u1");
  }
}

TEST_F(MQueue, AFailedOrCutAppendLeavesOnlyWholeLines) {
  SmallDisk disk(dir_, 256 << 10);
  const std::string big(10000, 'x');  // more than the page a full tmpfs still has room in
  struct Case { std::string before; bool full; std::string message; bool stored; std::string after; } cases[] = {
      {"one\ntw", false, "three", true, "one\nthree\n"},  // a writer died mid-append
      {"tw", false, "three", true, "three\n"},
      {"one\n", false, "two", true, "one\ntwo\n"},
      {"", false, "", true, "\n"},
      {"one\n", true, big, false, "one\n"},  // disk full: the cut part is taken back
      {"one\ntw", true, big, false, "one\n"},
  };
  const std::string queue = dir_ + "/queue.xml";
  for (const Case& c : cases) {
    if (c.full && !disk.ok) continue;
    std::ofstream(queue, std::ios::trunc) << c.before;
    {
      auto q = Queue(1, 1000, 9, 1000);
      std::unique_ptr<Filler> filler(c.full ? new Filler(dir_) : nullptr);
      EXPECT_EQ(q->addMessage(c.message), c.stored) << c.before;
      EXPECT_EQ(Slurp(queue), c.after) << c.before;
      filler.reset();
      EXPECT_TRUE(q->addMessage("next"));
      EXPECT_EQ(Slurp(queue), c.after + "next\n");
    }
  }
  EXPECT_FALSE(MQueueManager(Url(1), dir_ + "/missing", 1000, 9).addMessage("lost")) << "no directory";
  if (!disk.ok) GTEST_SKIP() << "cannot mount a small tmpfs here: the disk-full cases did not run";
}

// A full disk during batching used to leave lines both in a batch and in
// "queue.xml"; now a line is in exactly one file at every moment.
TEST_F(MQueue, BatchingOnAFullDiskKeepsEveryLineInOneFile) {
  SmallDisk disk(dir_, 512 << 10);
  if (!disk.ok) GTEST_SKIP() << "cannot mount a small tmpfs here";
  Closer down;
  std::multiset<std::string> all;
  std::string open;
  for (int n = 0; n < 4; ++n) open += TestMessage(n) + "\n", all.insert(TestMessage(n));
  std::ofstream(dir_ + "/upload.xml") << open;
  auto q = Queue(down.port, 20000, 50, 3600 * 1000);
  for (int n = 4; n < 64; ++n) {
    ASSERT_TRUE(q->addMessage(TestMessage(n)));
    all.insert(TestMessage(n));
  }
  auto snapshot = [&] {  // batching holds the queue's lock for its whole run
    q->lock();
    auto lines = QueuedLines(dir_);
    q->unlock();
    return lines;
  };
  {
    Filler filler(dir_, 24 << 10);  // room for some lines, not for all
    q->start();
    ASSERT_TRUE(WaitUntil([&] { return down.count >= 1 && log_.contains("cannot batch"); }));
    EXPECT_EQ(snapshot(), all);
    usleep(50000);  // more cycles that fail the same way
    EXPECT_EQ(snapshot(), all);
  }
  ASSERT_TRUE(WaitUntil([&] { return !fs::exists(dir_ + "/queue.xml") && !fs::exists(dir_ + "/queue.batching"); }));
  EXPECT_EQ(snapshot(), all);
  std::string posted;  // in the order they will be posted: highest number first
  for (int n = 50; n >= 0; --n) posted += Slurp(dir_ + (n ? "/upload.000" + std::to_string(n) + ".xml" : "/upload.xml"));
  std::string expected;
  for (int n = 0; n < 64; ++n) expected += TestMessage(n) + "\n";
  EXPECT_EQ(posted, expected);
}

std::set<int> ReadAcks(const std::vector<std::string>& files) {
  std::set<int> acked;
  for (const auto& f : files) {
    std::istringstream in(Slurp(f));
    for (std::string line; std::getline(in, line);)
      if (!in.eof() && !line.empty() && line.find_first_not_of("0123456789") == std::string::npos) acked.insert(std::stoi(line));
  }
  return acked;
}

// The writer and the poster run as processes of their own on a 1 MiB disk,
// are killed at random moments (fixed seed) and the disk is filled now and
// then: every message whose add returned success reaches the server, none is
// merged with another, and a line posted twice is only ever a batch posted
// again after its reply was lost (the earlier post a prefix of the later).
TEST_F(MQueue, StoredMessagesArriveWholeThroughFullDisksAndKills) {
  SmallDisk disk(dir_, 1 << 20);
  if (!disk.ok) GTEST_SKIP() << "cannot mount a small tmpfs here";
  contentserver::ServerOptions o = Options(0);
  o.maxRecordBytes = 2ull << 30;
  ContentServer server(o);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  const std::string acks = mkdtemp(std::string("/tmp/mv_acks_XXXXXX").data());
  std::shared_ptr<void> cleanup(nullptr, [acks](void*) { fs::remove_all(acks); });
  std::vector<std::string> ackFiles;
  pid_t writer = -1, poster = -1;
  std::mt19937 rng(23);
  // Every other writer dies on its own in the middle of an append: its files
  // may not grow beyond a few KiB.
  auto startWriter = [&] {
    ackFiles.push_back(acks + "/" + std::to_string(ackFiles.size()));
    const std::string limit = std::to_string(ackFiles.size() % 2 ? 0 : 2000 + rng() % 8000);
    writer = Spawn({MQUEUE_CHILD, "writer", dir_, std::to_string(ackFiles.size() * 1000000), "900000", limit,
                    acks + "/writers.log"},
                   ackFiles.back());
  };
  auto startPoster = [&] { poster = Spawn({MQUEUE_CHILD, "poster", dir_, Url(server.port()), acks + "/posters.log"}, "/dev/null"); };
  auto kill9 = [](pid_t& pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  };
  startWriter(), startPoster();
  ASSERT_GT(writer, 0);
  ASSERT_GT(poster, 0);
  std::unique_ptr<Filler> filler;
  int writerKills = 0, writerDeaths = 0, posterKills = 0, fills = 0;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10); std::chrono::steady_clock::now() < end;) {
    usleep(10000 + rng() % 150000);
    int status = 0;
    if (waitpid(writer, &status, WNOHANG) == writer) {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
      ++writerDeaths;
      startWriter();
    }
    switch (rng() % 5) {
      case 0: kill9(writer), ++writerKills, startWriter(); break;
      case 1: kill9(poster), ++posterKills, startPoster(); break;
      case 2: filler ? filler.reset() : (filler = std::make_unique<Filler>(dir_), void(++fills)); break;
      default: break;
    }
  }
  kill9(writer);
  filler.reset();
  const std::set<int> acked = ReadAcks(ackFiles);
  std::vector<contentserver::RequestRecord> posts;
  std::map<int, std::vector<size_t>> seenIn;  // message -> posts that held it whole
  std::vector<std::string> faults;
  int fragments = 0;
  auto tally = [&] {
    posts = server.records();
    seenIn.clear(), faults.clear(), fragments = 0;
    for (size_t i = 0; i < posts.size(); ++i) {
      if (posts[i].status != 200) continue;
      std::istringstream in(posts[i].xml);
      std::set<int> here;
      for (std::string line; std::getline(in, line);) {
        int n = -1;
        std::sscanf(line.c_str(), "<m n=\"%d\">", &n);
        const std::string whole = n >= 0 ? TestMessage(n) : "";
        if (n >= 0 && line == whole) {
          if (!here.insert(n).second) faults.push_back("twice in one post: " + std::to_string(n));
          seenIn[n].push_back(i);
        } else if (n >= 0 && whole.compare(0, line.size(), line) == 0 && !acked.count(n)) {
          ++fragments;  // the cut end of a line whose add never returned
        } else {
          faults.push_back("merged or broken line: " + line.substr(0, 40) + "..." + line.substr(std::max<size_t>(line.size(), 40) - 40));
        }
      }
    }
    size_t missing = 0;
    for (int n : acked) missing += seenIn.count(n) == 0;
    return missing;
  };
  size_t missing = 0;
  for (int i = 0; i < 600 && (missing = tally()) > 0; ++i) usleep(200000);
  kill9(poster);
  EXPECT_EQ(missing, 0u) << "of " << acked.size() << " stored messages";
  for (const auto& f : faults) ADD_FAILURE() << f;
  int doubled = 0;
  for (const auto& [n, in] : seenIn)
    for (size_t k = 1; k < in.size(); ++k, ++doubled)
      if (posts[in[k]].xml.compare(0, posts[in[k - 1]].xml.size(), posts[in[k - 1]].xml) != 0)
        ADD_FAILURE() << "message " << n << " batched twice: posts " << in[k - 1] << " and " << in[k];
  const std::string writers = Slurp(acks + "/writers.log");
  int cutLinesDropped = 0, failedAdds = 0;
  for (size_t at = 0; (at = writers.find("dropped", at)) != std::string::npos; ++at) ++cutLinesDropped;
  for (size_t at = 0; (at = writers.find("cannot queue", at)) != std::string::npos; ++at) ++failedAdds;
  std::printf("%zu messages stored, %d adds refused, %d writers killed, %d died mid-append, %d cut lines dropped, "
              "%d poster kills, %d disk fills; %zu posts, %d lines posted again, %d cut ends posted\n",
              acked.size(), failedAdds, writerKills, writerDeaths, cutLinesDropped, posterKills, fills, posts.size(),
              doubled, fragments);
  EXPECT_GT(acked.size(), 1000u);
  EXPECT_GT(writerKills + posterKills + fills, 20);
}

}  // namespace
