#include "replay/log_records.h"

#include <gtest/gtest.h>

#include <string>

#include "server/wscan.h"
#include "text_mutation.h"

namespace {

using replay::LogRecords;
using replay::SplitLogRecords;

const char* kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string Message(int packet, const char* time = "2020-02-09 12:00:01.500") {
  return std::string("<message request=\"navigate\" packetNumber=\"") + std::to_string(packet) +
         "\">\n  <device type=\"iOS\" id=\"d\" time=\"" + time +
         "\"/>\n  <entries>\n    <entry type=\"BEACON\" bssid=\"(00001,00101,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)\" "
         "rssi=\"-80.00\" offset=\"5\"/>\n  </entries>\n  <sensors>\n  </sensors>\n</message>\n";
}

int Packet(std::string_view record) {
  bool ok = false;
  const WScanMessage m = WScanMessage::parse(std::string(record), &ok);
  return ok ? m.packetNumber : -1;
}

TEST(LogRecordsTest, SplitsOnDeclarationsAndMessageStarts) {
  // The usual form, with blank lines between records and a blank tail.
  std::string log = "\n" + std::string(kDecl) + Message(0) + "\n\n" + kDecl + Message(1) + "\n\n";
  LogRecords r = SplitLogRecords(log);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.empty, 0);
  EXPECT_EQ(Packet(r.records[0]), 0);
  EXPECT_EQ(Packet(r.records[1]), 1);

  // Without declarations; a declaration with nothing after it; a record cut
  // short does not swallow the next one; "<messages" is no message start.
  log = Message(0) + Message(1) + kDecl + "\n" + kDecl + Message(2).substr(0, 60) + Message(3) +
        "<messages/>";
  r = SplitLogRecords(log);
  ASSERT_EQ(r.records.size(), 4u);
  EXPECT_EQ(r.empty, 1);
  EXPECT_EQ(Packet(r.records[0]), 0);
  EXPECT_EQ(Packet(r.records[1]), 1);
  EXPECT_EQ(Packet(r.records[2]), -1);
  EXPECT_EQ(Packet(r.records[3]), 3) << "trailing elements after the message are ignored";

  // A stray line after a message's closing tag does not spoil the message.
  log = std::string(kDecl) + Message(4) + "recorder paused\n" + kDecl + Message(5) + "</x>\n";
  r = SplitLogRecords(log);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(Packet(r.records[0]), 4);
  EXPECT_EQ(Packet(r.records[1]), 5);

  EXPECT_TRUE(SplitLogRecords("").records.empty());
  EXPECT_EQ(SplitLogRecords("  \n").empty, 0);
  EXPECT_EQ(SplitLogRecords("garbage").empty, 1);
  EXPECT_EQ(SplitLogRecords("<message").records.size(), 0u);
}

// Mutated logs: splitting and parsing every record stay inside the text and
// never report more records than message starts.
TEST(LogRecordsTest, MutatedLogsSplitAndParseSafely) {
  std::string base;
  for (int i = 0; i < 4; ++i) base += std::string(kDecl) + Message(i) + "\n";
  std::mt19937 rng(20261206);
  const std::vector<std::string> tokens = {"<", ">", "?", "/", "\"", "=", " ", "\n", "<message",
                                           "</message>", "<?xml", "xml"};
  for (int round = 0; round < 1000; ++round) {
    const std::string text = testmut::Mutate(base, rng, tokens, 12);
    const LogRecords r = SplitLogRecords(text);
    size_t total = 0;
    for (std::string_view rec : r.records) {
      ASSERT_GE(rec.data(), text.data());
      ASSERT_LE(rec.data() + rec.size(), text.data() + text.size());
      total += rec.size();
      bool ok = false;
      WScanMessage::parse(std::string(rec), &ok);
    }
    EXPECT_LE(total, text.size());
    size_t starts = 0;
    for (size_t p = text.find("<message"); p != std::string::npos; p = text.find("<message", p + 1)) ++starts;
    EXPECT_LE(r.records.size(), starts);
  }
}

}  // namespace
