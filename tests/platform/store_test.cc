// User defaults and keychain: persistence across reloads, atomic rewrites, status codes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "platform/keychain.h"
#include "platform/keyed_archiver.h"
#include "platform/paths.h"
#include "platform/testing.h"
#include "platform/user_defaults.h"
#include "utf8_texts.h"

namespace platform {
namespace {

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Makes every file write past `limit` bytes fail part-way, as a crash mid-write would leave it.
struct FileSizeLimit {
  rlimit saved{};
  void (*oldHandler)(int);
  explicit FileSizeLimit(rlim_t limit) {
    oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit r = saved;
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
  }
};

KeychainItem item(const std::string& service, const std::string& account, const std::string& data) {
  KeychainItem it;
  it.service = service;
  it.account = account;
  it.data = bytes(data);
  return it;
}

TEST(UserDefaults, SurvivesAReloadAndAFailedRewriteKeepsTheOldFile) {
  testing::ScopedHome home;
  auto d = UserDefaults::standardUserDefaults();
  d->setObject("h4sh", "userHash");
  d->setObject(3600, "config_update_timeout");
  d->setObject(true, "fast_scan_enabled");
  d->setObject(1767225600.25, "localTime");
  ASSERT_TRUE(d->synchronize());
  std::string before = slurp(d->file());

  UserDefaults reloaded(d->file());
  EXPECT_EQ(reloaded.stringForKey("userHash"), "h4sh");
  EXPECT_EQ(reloaded.integerForKey("config_update_timeout"), 3600);
  EXPECT_TRUE(reloaded.boolForKey("fast_scan_enabled"));
  EXPECT_DOUBLE_EQ(reloaded.doubleForKey("localTime"), 1767225600.25);
  EXPECT_TRUE(reloaded.objectForKey("absent").is_null());
  EXPECT_EQ(reloaded.integerForKey("userHash"), 0);  // wrong type reads as zero

  d->setObject(std::string(100000, 'x'), "big");
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(d->synchronize());
  }
  EXPECT_EQ(slurp(d->file()), before);
  d->removeObjectForKey("big");
  d->setObject(nullptr, "userHash");
  ASSERT_TRUE(d->synchronize());
  EXPECT_TRUE(UserDefaults(d->file()).objectForKey("userHash").is_null());

  EXPECT_FALSE(writeFileAtomically(home.path() / "no-such-dir" / "f", "x", 1));
  std::ofstream(d->file()) << "{not json";
  EXPECT_TRUE(UserDefaults(d->file()).objectForKey("config_update_timeout").is_null());
}

// A write that fails at any step leaves the folder as it found it: the old content in
// place and no temporary file beside it.
TEST(AtomicWrite, AFailedWriteLeavesNoTemporaryFileBehind) {
  testing::ScopedHome home;
  const std::filesystem::path dir = home.path() / "store";
  std::filesystem::create_directories(dir / "taken" / "inside");
  const std::string big(100000, 'x');
  const struct {
    const char* name;
    std::filesystem::path target;
    const std::string& data;
    rlim_t sizeLimit;  // 0: none
  } cases[] = {
      {"rename onto a folder that is not empty", dir / "taken", big, 0},
      {"write cut short by the file size limit", dir / "file", big, 4096},
  };
  ASSERT_TRUE(writeFileAtomically(dir / "file", "old", 3));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::optional<FileSizeLimit> limit;
      if (c.sizeLimit) limit.emplace(c.sizeLimit);
      EXPECT_FALSE(writeFileAtomically(c.target, c.data.data(), c.data.size()));
    }
    EXPECT_EQ(slurp(dir / "file"), "old");
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST(Keychain, StatusCodesOfEachOperation) {
  testing::ScopedHome home;
  KeychainQuery one{"app", "MCUUID"}, other{"app", "nobody"}, all{};
  KeychainItem got;
  std::vector<KeychainItem> list;
  struct Step {
    const char* what;
    std::function<OSStatus()> op;
    OSStatus want;
  } steps[] = {
      {"copy from an empty keychain", [&] { return Keychain::copyMatching(one, &got); }, errSecItemNotFound},
      {"delete from an empty keychain", [&] { return Keychain::remove(one); }, errSecItemNotFound},
      {"add", [&] { return Keychain::add(item("app", "MCUUID", "id-1")); }, errSecSuccess},
      {"add the same again", [&] { return Keychain::add(item("app", "MCUUID", "id-2")); }, errSecDuplicateItem},
      {"add another service", [&] { return Keychain::add(item("other", "MCUUID", "x")); }, errSecSuccess},
      {"update a missing item", [&] { return Keychain::update(other, bytes("y")); }, errSecItemNotFound},
      {"update", [&] { return Keychain::update(one, bytes("id-3")); }, errSecSuccess},
      {"copy", [&] { return Keychain::copyMatching(one, &got); }, errSecSuccess},
      {"list every service", [&] { return Keychain::copyAllMatching(all, &list); }, errSecSuccess},
      {"delete", [&] { return Keychain::remove(one); }, errSecSuccess},
      {"copy after delete", [&] { return Keychain::copyMatching(one, &got); }, errSecItemNotFound},
      {"embedded NUL in a name", [&] { return Keychain::add(item(std::string("a\0b", 3), "c", "")); }, errSecParam},
  };
  for (auto& s : steps) EXPECT_EQ(s.op(), s.want) << s.what;
  EXPECT_EQ(got.data, bytes("id-3"));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].service, "other");
  EXPECT_GT(list[0].modifiedAt, 0);
}

TEST(Keychain, SurvivesAReloadIsPrivateAndAFailedRewriteKeepsTheOldFile) {
  testing::ScopedHome home;
  ASSERT_EQ(Keychain::add(item("app", "MCUUID", "keep-me")), errSecSuccess);
  auto file = Paths::library() / "keychain.plist";
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string before = slurp(file);
  {
    FileSizeLimit limit(before.size() + 16);
    EXPECT_EQ(Keychain::add(item("app", "big", std::string(100000, 'z'))), errSecIO);
  }
  EXPECT_EQ(slurp(file), before);
  KeychainItem got;
  ASSERT_EQ(Keychain::copyMatching({"app", "MCUUID"}, &got), errSecSuccess);
  EXPECT_EQ(got.data, bytes("keep-me"));

  // A damaged file is reported and left alone, never replaced by an empty keychain.
  std::ofstream(file, std::ios::trunc) << "bplist00 damaged";
  EXPECT_EQ(Keychain::copyMatching({"app", "MCUUID"}, &got), errSecDecode);
  EXPECT_EQ(Keychain::add(item("app", "new", "n")), errSecDecode);
  EXPECT_EQ(slurp(file), "bplist00 damaged");
}

TEST(Keychain, ConcurrentWritersLoseNoItem) {
  testing::ScopedHome home;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        auto acct = std::to_string(t) + "." + std::to_string(i);
        EXPECT_EQ(Keychain::add(item("svc", acct, acct)), errSecSuccess);
        EXPECT_EQ(Keychain::update({"svc", acct}, bytes(acct + "!")), errSecSuccess);
      }
    });
  for (auto& t : threads) t.join();
  std::vector<KeychainItem> all;
  ASSERT_EQ(Keychain::copyAllMatching({"svc", std::nullopt}, &all), errSecSuccess);
  ASSERT_EQ(all.size(), 60u);
  for (auto& it : all) EXPECT_EQ(it.data, bytes(it.account + "!"));
}

// An object that encodes whatever its test gives it and reads back the text under "text".
struct Probe {
  std::function<void(KeyedArchiver&)> encode;
  std::string text;
  std::vector<std::string> keys;
  static const char* className() { return "Probe"; }
  void encodeWithCoder(KeyedArchiver& coder) const {
    if (encode) encode(coder);
  }
  static std::shared_ptr<Probe> initWithCoder(const KeyedUnarchiver& coder) {
    auto p = std::make_shared<Probe>();
    p->text = coder.decodeStringForKey("text");
    p->keys = coder.allKeys();
    return p;
  }
};

// The reader refuses NULs in keys and strings, and libplist would write them cut short: an
// archive given one is refused whole, and a file already there is left as it was.
TEST(KeyedArchiver, RefusesAnArchiveHoldingANulAndKeepsTheFileThere) {
  testing::ScopedHome home;
  const std::string nul(1, '\0');
  auto probe = [](std::function<void(KeyedArchiver&)> f) {
    auto p = std::make_shared<Probe>();
    p->encode = std::move(f);
    return p;
  };
  struct Case { const char* name; std::shared_ptr<Probe> object; } refused[] = {
      {"a text", probe([&](KeyedArchiver& c) { c.encodeString("v" + nul + "x", "text"); })},
      {"a key", probe([&](KeyedArchiver& c) { c.encodeInt(1, "k" + nul + "a"); })},
      {"a key of a text", probe([&](KeyedArchiver& c) { c.encodeString("second", "text" + nul + "b"); })},
      {"a nested object's text", probe([&](KeyedArchiver& c) {
         KeyedArchiver sub("Inner");
         sub.encodeString(nul, "name");
         c.adopt("inner", std::move(sub));
       })},
      {"a nested object's class", probe([&](KeyedArchiver& c) { c.adopt("inner", KeyedArchiver("In" + nul + "ner")); })},
      {"an array element's key", probe([&](KeyedArchiver& c) {
         std::vector<KeyedArchiver> subs;
         subs.emplace_back("Inner");
         subs.back().encodeData({1, 0, 2}, "d" + nul);
         c.adoptArray("list", std::move(subs));
       })},
  };
  const auto file = home.path() / "probe.archive";
  auto kept = probe([](KeyedArchiver& c) { c.encodeString("kept", "text"); });
  ASSERT_TRUE(KeyedArchiver::archiveRootObject(kept, file));
  const std::string before = slurp(file);
  for (const auto& c : refused) {
    EXPECT_TRUE(KeyedArchiver::archivedDataWithRootObject(c.object).empty()) << c.name;
    EXPECT_FALSE(KeyedArchiver::archiveRootObject(c.object, file)) << c.name;
    EXPECT_EQ(slurp(file), before) << c.name;
  }
  // Bytes may hold NULs, and other control characters are stored whole.
  auto whole = probe([&](KeyedArchiver& c) {
    c.encodeData({0, 1, 0}, "bytes");
    c.encodeString("a\x01\tb", "text");
  });
  auto back = KeyedUnarchiver::unarchiveObjectWithData<Probe>(KeyedArchiver::archivedDataWithRootObject(whole));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->text, "a\x01\tb");
  EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithFile<Probe>(file)->text, "kept");
}

// The binary writer converts text to UTF-16 and cuts or drops what is not UTF-8: an archive or
// keychain item given such text is refused whole and the file there stays; valid text, single
// or multi-byte, reads back as given, as a key and as a text.
TEST(KeyedArchiver, RefusesTextThatIsNotUTF8AndKeepsTheFileThere) {
  testing::ScopedHome home;
  const auto file = home.path() / "probe.archive";
  auto kept = std::make_shared<Probe>();
  kept->encode = [](KeyedArchiver& c) { c.encodeString("kept", "text"); };
  ASSERT_TRUE(KeyedArchiver::archiveRootObject(kept, file));
  const std::string before = slurp(file);
  ASSERT_EQ(Keychain::add(item("app", "kept", "k")), errSecSuccess);
  const auto keychain = Paths::library() / "keychain.plist";
  for (const auto& t : testtexts::kUtf8Texts) {
    SCOPED_TRACE(t.name);
    auto asText = std::make_shared<Probe>(), asKey = std::make_shared<Probe>();
    asText->encode = [&](KeyedArchiver& c) { c.encodeString(t.text, "text"); };
    asKey->encode = [&](KeyedArchiver& c) { c.encodeInt(7, t.text); };
    const std::string account = "acct " + t.text;
    const std::string keychainBefore = slurp(keychain);
    if (!t.valid) {
      for (const auto& probe : {asText, asKey}) {
        EXPECT_TRUE(KeyedArchiver::archivedDataWithRootObject(probe).empty());
        EXPECT_FALSE(KeyedArchiver::archiveRootObject(probe, file));
      }
      EXPECT_EQ(slurp(file), before);
      EXPECT_EQ(Keychain::add(item("app", account, "x")), errSecParam);
      EXPECT_EQ(slurp(keychain), keychainBefore);
      continue;
    }
    auto readBack = [](const std::shared_ptr<Probe>& p) {
      return KeyedUnarchiver::unarchiveObjectWithData<Probe>(KeyedArchiver::archivedDataWithRootObject(p));
    };
    auto text = readBack(asText), key = readBack(asKey);
    ASSERT_TRUE(text && key);
    EXPECT_EQ(text->text, t.text);
    EXPECT_EQ(key->keys, std::vector<std::string>{t.text});
    KeychainItem got;
    ASSERT_EQ(Keychain::add(item("app", account, "x")), errSecSuccess);
    ASSERT_EQ(Keychain::copyMatching({"app", account}, &got), errSecSuccess);
    EXPECT_EQ(got.account, account);
  }
}

}  // namespace
}  // namespace platform
