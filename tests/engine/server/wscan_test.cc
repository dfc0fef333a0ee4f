#include "server/wscan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/server/log_capture.h"
#include "text_mutation.h"
#include "server/utils.h"

namespace {

// What a value reads back as after the writer printed it with `format`.
double Written(const char* format, double v) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, v);
  return std::strtod(buf, nullptr);
}

// Texts that exercise the writer's escaping and the reader's entity decoding.
std::string RandomText(std::mt19937& rng, size_t maxLen) {
  // clang-format off
  static const char* const kPieces[] = {
      "a", "Z", "0", " ", "-", ":", ",", "(", "\"", "'", "<", ">", "&", "&amp;", "&#65;", "\\",
      "\xc3\xa9", "\xd0\xb6", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "]]>", "<!--"};
  // clang-format on
  std::string s;
  for (size_t n = rng() % (maxLen + 1); n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
  return s;
}

WScanMessage RandomMessage(std::mt19937& rng) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto real = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  WScanMessage m;
  m.mode = pick(0, 2);
  m.packetNumber = pick(-5, 1000000);
  m.deviceType = pick(0, 4);
  m.deviceId = RandomText(rng, 12);
  m.deviceModel = RandomText(rng, 12);
  m.checkPoint = RandomText(rng, 6);
  m.tmYear = pick(1970, 2099);
  m.tmMonth = pick(1, 12);
  m.tmDay = pick(1, 31);
  m.tmHour = pick(0, 23);
  m.tmMinute = pick(0, 59);
  m.tmSecond = pick(0, 59);
  m.tmMillisecond = pick(0, 999);
  for (int i = pick(0, 25); i > 0; --i) {
    WScanEntry e;
    e.type = pick(0, 2);
    e.bssid = RandomText(rng, 20);
    e.offset = pick(0, 3) == 0 ? pick(0, 3) : static_cast<int64_t>(rng()) * 3 - 6000000000LL;
    e.rssi = real(-120.0, 0.0);
    e.power = real(-100.0, 10.0);
    e.frequency = real(2400.0, 5900.0);
    e.distance = real(0.0, 80.0);
    m.entries.push_back(e);
  }
  for (int i = pick(0, 30); i > 0; --i) {
    SensorEntry s;
    s.type = pick(101, 108);
    s.offset = pick(-100000, 100000);
    for (double& v : s.values) v = real(-2000.0, 2000.0);
    m.sensorEntries.push_back(s);
  }
  return m;
}

// Every field the text form carries, printed exactly, one item per line.
std::string Describe(const WScanMessage& m) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "mode %d packet %d device %d time %d-%d-%d %d:%d:%d.%d unix %lld\n", m.mode,
                m.packetNumber, m.deviceType, m.tmYear, m.tmMonth, m.tmDay, m.tmHour, m.tmMinute,
                m.tmSecond, m.tmMillisecond, static_cast<long long>(m.tmUnixTime));
  std::string out = buf + m.deviceId + "|" + m.deviceModel + "|" + m.checkPoint + "\n";
  for (const WScanEntry& e : m.entries) {
    std::snprintf(buf, sizeof buf, "entry %d %lld %.17g %.17g %.17g %.17g |", e.type,
                  static_cast<long long>(e.offset), e.rssi, e.frequency, e.power, e.distance);
    out += buf + e.bssid + "|" + e.ssid + "\n";
  }
  for (const SensorEntry& s : m.sensorEntries) {
    std::snprintf(buf, sizeof buf, "sensor %d %lld %.17g %.17g %.17g %.17g\n", s.type,
                  static_cast<long long>(s.offset), s.values[0], s.values[1], s.values[2],
                  s.values[3]);
    out += buf;
  }
  return out;
}

// The message the reader must produce from the writer's text of `m`.
WScanMessage ExpectedReadBack(const WScanMessage& m) {
  WScanMessage e = m;
  e.mode = m.mode == 2 ? 2 : 1;
  e.tmUnixTime = GetUnixTime(m.tmYear, m.tmMonth, m.tmDay, m.tmHour, m.tmMinute, m.tmSecond);
  e.entries.clear();
  for (const WScanEntry& w : m.entries) {
    WScanEntry r;
    r.type = w.type;
    r.bssid = w.bssid;
    r.offset = w.offset;
    r.rssi = Written("%.2f", w.rssi);
    if (w.type == 0) r.frequency = Written("%.2f", w.frequency);
    if (w.type == 2) r.power = Written("%.2f", w.power);
    if (w.type == 2) r.distance = Written("%.2f", w.distance);
    e.entries.push_back(r);
  }
  std::stable_sort(e.entries.begin(), e.entries.end());
  for (SensorEntry& s : e.sensorEntries) {
    if (s.type > 105) s.type = 0;
    for (double& v : s.values) v = Written("%lf", v);
  }
  return e;
}

// Exactly as the writer prints it (the tests rely on that).
const char kValid[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<message request=\"navigate\" packetNumber=\"7\">\n"
    "  <device type=\"android\" osVersion=\"13\" model=\"Pixel\" id=\"dev-1\" buildVersion=\"b\" "
    "location=\"9001:1\" checkPoint=\"cp\" time=\"2020-02-09 12:00:01.500\" serverTime=\"\"/>\n"
    "  <entries>\n"
    "    <entry type=\"BEACON\" bssid=\"(1,2,U)\" rssi=\"-70.50\" power=\"-59.00\" "
    "distance=\"2.50\" offset=\"10\"/>\n"
    "    <entry type=\"BLE\" bssid=\"cc\" rssi=\"-80.00\" offset=\"20\"/>\n"
    "    <entry type=\"WIFI\" bssid=\"aa\" rssi=\"-60.00\" frequency=\"2412.00\" offset=\"30\"/>\n"
    "  </entries>\n"
    "  <sensors>\n"
    "    <sensor type=\"GYROSCOPE\" values=\"(0.100000, 0.200000, 0.300000, 0.000000)\" "
    "offset=\"5\"/>\n"
    "    <sensor type=\"ACCELEROMETER\" values=\"(1.000000, 2.000000, 9.810000, 0.000000)\" "
    "offset=\"50\"/>\n"
    "  </sensors>\n"
    "</message>\n";
const char kGyro[] = "(0.100000, 0.200000, 0.300000, 0.000000)";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(WScanMessageText, RandomMessagesRoundTripToWrittenPrecision) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    WScanMessage m = RandomMessage(rng);
    std::string arg = RandomText(rng, 5);
    std::string text = m.toString(arg.c_str(), arg.c_str(), arg.c_str(), arg.c_str());
    bool ok = false;
    WScanMessage back = WScanMessage::parse(text, &ok);
    ASSERT_TRUE(ok && back.isValid()) << text;
    EXPECT_EQ(back.xml, text);
    ASSERT_EQ(Describe(ExpectedReadBack(m)), Describe(back)) << text;
  }
}

TEST(WScanMessageText, MalformedInputFailsWithItsMessage) {
  LogCapture log;
  struct Case {
    std::string text, logged;
    bool cleared;  // a missing section empties the whole message
  } cases[] = {
      {std::string(kValid).substr(0, 300), "Parse error: no <message> element!\n", false},
      {"", "Parse error: no <message> element!\n", false},
      {"<msg/>", "Parse error: no <message> element!\n", false},
      {Replace(kValid, "<device ", "<devise "),
       "Parse error: 'device' Node was not found in message # 7 \n", true},
      {Replace(Replace(kValid, "<entries>", "<e>"), "</entries>", "</e>"),
       "Parse error: 'entries' Node was not found in message # 7 \n", true},
      {Replace(Replace(kValid, "<sensors>", "<s>"), "</sensors>", "</s>"),
       "Parse error: 'sensors' Node was not found in message # 7 \n", true},
      {Replace(kValid, "2020-02-09 12:00:01.500", "2100-01-01 00:00:00.000"),
       "Parse error: invalid time: 2100-01-01 00:00:00.000", false},
      {Replace(kValid, "2020-02-09", "2020-13-09"),
       "Parse error: invalid time: 2020-13-09 12:00:01.500", false},
      {Replace(kValid, kGyro, "(1, 2, 3)"), "Parse error: invalid sensor value: (1, 2, 3)\n",
       false},
      {Replace(kValid, kGyro, "1, 2, 3, 4"), "Parse error: invalid sensor value: 1, 2, 3, 4\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    log.reset();
    bool ok = true;
    WScanMessage m = WScanMessage::parse(c.text, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(m.isValid());
    EXPECT_TRUE(log.contains(c.logged)) << log.text();
    EXPECT_EQ(m.xml, c.cleared ? "" : c.text);
    if (c.cleared) {
      EXPECT_EQ(m.deviceId, "");
    }
    EXPECT_FALSE(WScanMessage::parse(c.text.c_str(), nullptr).isValid());
  }
  EXPECT_FALSE(WScanMessage::parse(static_cast<const char*>(nullptr), nullptr).isValid());

  // What was read before an invalid time stays; later attributes are not read.
  WScanMessage m = WScanMessage::parse(
      "<message><device id=\"d\" time=\"1969-01-01 00:00:00.000\" checkPoint=\"c\"/></message>",
      nullptr);
  EXPECT_EQ(m.deviceId, "d");
  EXPECT_EQ(m.checkPoint, "");
}

// Cuts, flips and insertions of valid messages: no crash or out-of-bounds
// read (ASan), failure reported consistently, and whatever is accepted must
// survive being written and read again.
TEST(WScanMessageText, MutatedMessagesNeverCrash) {
  std::mt19937 rng(777);
  std::vector<std::string> seeds = {kValid};
  for (int i = 0; i < 8; ++i) seeds.push_back(RandomMessage(rng).toString("b", "l", "o", "s"));
  const std::vector<std::string> tokens = {"<", ">", "\"", "'", "&", "/", "=", ";", "#", "x", "0",
                                           "9", " ", "\n", "(", ",", ".", "-", "e", "&#"};
  int parsed = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = testmut::Mutate(seeds[static_cast<size_t>(i) % seeds.size()], rng, tokens, 4);
    bool ok = false;
    WScanMessage m = WScanMessage::parse(text, &ok);
    ASSERT_EQ(ok, m.isValid());
    // A message without time is accepted but writes the invalid time 0000-00-00.
    if (!ok || GetUnixTime(m.tmYear, m.tmMonth, m.tmDay, m.tmHour, m.tmMinute, m.tmSecond) < 0)
      continue;
    ++parsed;
    WScanMessage back = WScanMessage::parse(m.toString("", "", "", ""), &ok);
    EXPECT_TRUE(ok) << text;
    EXPECT_EQ(back.deviceId, m.deviceId);
  }
  EXPECT_GT(parsed, 100);
}

// The reader's conversions must give what "%lf", "%lld" and
// "%04d-%02d-%02d %02d:%02d:%02d.%03d" give with sscanf.
TEST(WScanMessageText, ConversionsReadLikeScanf) {
  // clang-format off
  for (const char* n : {"1.5", "-0.000000", "+2.25", "  7", ".5", "5.", "1e3", "-1.25E-2", "0x1p4",
                        "inf", "-nan", "1e400", "123456789012345678901", "0.1", "999999999999999.9",
                        "4.9e-324", "-.75", "00000000000000000001.5", "12abc", "-", "x1"}) {
    // clang-format on
    SCOPED_TRACE(n);
    const std::string values = std::string("(") + n + ", " + n + ",  " + n + "," + n + ")";
    WScanMessage m = WScanMessage::parse(Replace(Replace(kValid, kGyro, values), "offset=\"5\"",
                                                 std::string("offset=\"") + n + "\""),
                                         nullptr);
    double want[4];
    long long offset = 0;
    std::sscanf(n, "%lld", &offset);
    if (std::sscanf(values.c_str(), "(%lf, %lf, %lf, %lf)", &want[0], &want[1], &want[2],
                    &want[3]) != 4) {
      EXPECT_FALSE(m.isValid());
      continue;
    }
    ASSERT_TRUE(m.isValid());
    EXPECT_EQ(m.sensorEntries[0].offset, offset);
    for (int k = 0; k < 4; ++k) {
      const double got = m.sensorEntries[0].values[k];
      EXPECT_TRUE(got == want[k] || (std::isnan(got) && std::isnan(want[k])));
    }
  }

  std::mt19937 rng(8);
  const char pool[] = "0123456789-+ :.x";
  for (int i = 0; i < 3000; ++i) {
    std::string t = "2020-02-09 12:00:01.500";
    for (int k = 0; k < 3; ++k) t[rng() % t.size()] = pool[rng() % (sizeof pool - 1)];
    int f[7] = {0, 0, 0, 0, 0, 0, 0};
    std::sscanf(t.c_str(), "%04d-%02d-%02d %02d:%02d:%02d.%03d", &f[0], &f[1], &f[2], &f[3], &f[4],
                &f[5], &f[6]);
    bool ok = false;
    WScanMessage m = WScanMessage::parse(Replace(kValid, "2020-02-09 12:00:01.500", t), &ok);
    const int got[7] = {m.tmYear,   m.tmMonth,  m.tmDay,        m.tmHour,
                        m.tmMinute, m.tmSecond, m.tmMillisecond};
    ASSERT_TRUE(std::equal(f, f + 7, got)) << t;
    EXPECT_EQ(ok, GetUnixTime(f[0], f[1], f[2], f[3], f[4], f[5]) != -1) << t;
  }
}

}  // namespace
