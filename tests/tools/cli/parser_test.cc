// The shared parser on its own: values that look like options or numbers,
// options that take several values, required options, and refusals that say
// which option and which value.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Bound {
  std::string out;
  double level = 0;
  long long count = 3;
  bool quiet = false;
  std::vector<std::string> targets;
};

cli::Parser Make(Bound* b) {
  cli::Parser p("prog", "--out PATH [options]", "A program.");
  p.text("--out", "PATH", "where", &b->out);
  p.require("--out");
  p.real("--level", "DBM", "a level", &b->level, -200, 0);
  p.whole("--count", "N", "how many", &b->count, 1, 9);
  p.flag("--quiet", "say less", &b->quiet);
  p.custom("--target", "T ...", "targets", [b](const std::string& v, std::string* why) {
    if (v.find(',') == std::string::npos) {
      *why = "bad target \"" + v + "\"";
      return false;
    }
    b->targets.push_back(v);
    return true;
  }, true);
  return p;
}

TEST(CliParserTest, ReadsValuesAndNamesWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    cli::Parser::Outcome outcome;
    std::string error;  // expected in the message
  } cases[] = {
      {{"--out", "a", "--level", "-60", "--count", "9", "--quiet", "--target", "1,2", "-3,4"}, cli::Parser::kRun, ""},
      {{"--out", "-"}, cli::Parser::kRun, ""},  // a lone dash is a value (standard output, to some programs)
      {{}, cli::Parser::kBad, "--out PATH is required"},
      {{"--out"}, cli::Parser::kBad, "--out needs a value"},
      {{"--out", ""}, cli::Parser::kBad, "--out needs a value"},
      {{"--out", "--quiet"}, cli::Parser::kBad, "--out needs a value"},
      {{"--out", "a", "-x"}, cli::Parser::kBad, "unknown option -x"},
      {{"--out", "a", "stray"}, cli::Parser::kBad, "unexpected argument \"stray\""},
      {{"--out", "a", "--level", "1"}, cli::Parser::kBad, "--level needs a number from -200 to 0, not \"1\""},
      {{"--out", "a", "--level", "-6O"}, cli::Parser::kBad, "not \"-6O\""},
      {{"--out", "a", "--count", "2.5"}, cli::Parser::kBad, "--count needs a number from 1 to 9, not \"2.5\""},
      {{"--out", "a", "--count", " 3"}, cli::Parser::kBad, "--count needs a number"},
      {{"--out", "a", "--count", "+3"}, cli::Parser::kBad, "--count needs a number"},
      {{"--out", "a", "--count", "99999999999999999999"}, cli::Parser::kBad, "--count needs a number"},
      {{"--out", "a", "--target", "1,2", "x"}, cli::Parser::kBad, "bad target \"x\""},
      {{"--out", "a", "--target"}, cli::Parser::kBad, "--target needs a value"},
      {{"--out", "a", "--target", "1,2", ""}, cli::Parser::kBad, "unexpected argument \"\""},
      {{"--bogus", "--help"}, cli::Parser::kHelp, ""},
      {{"--out", "--version"}, cli::Parser::kVersion, ""},
      // --name=value beside --name value.
      {{"--out=a", "--level=-60", "--target=1,2", "-3,4"}, cli::Parser::kRun, ""},
      {{"--out=a=b"}, cli::Parser::kRun, ""},
      {{"--out="}, cli::Parser::kBad, "--out needs a value"},
      {{"--out=a", "--quiet=1"}, cli::Parser::kBad, "--quiet takes no value"},
      {{"--out=a", "--level=1"}, cli::Parser::kBad, "--level needs a number from -200 to 0, not \"1\""},
      {{"--out=a", "--bogus=1"}, cli::Parser::kBad, "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += " [" + a + "]";
    SCOPED_TRACE(joined);
    Bound b;
    cli::Parser p = Make(&b);
    std::string error;
    EXPECT_EQ(p.parse(c.args, &error), c.outcome) << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (c.outcome != cli::Parser::kBad) {
      EXPECT_EQ(error, "");
    }
  }
  Bound b;
  cli::Parser p = Make(&b);
  ASSERT_EQ(p.parse({"--out", "a", "--level", "-60", "--count", "9", "--quiet", "--target", "1,2", "-3,4"}, nullptr),
            cli::Parser::kRun);
  EXPECT_EQ(b.out, "a");
  EXPECT_EQ(b.level, -60);
  EXPECT_EQ(b.count, 9);
  EXPECT_TRUE(b.quiet);
  EXPECT_EQ(b.targets, (std::vector<std::string>{"1,2", "-3,4"}));

  Bound e;
  cli::Parser q = Make(&e);
  ASSERT_EQ(q.parse({"--out=a=b", "--level=-60", "--target=1,2", "-3,4"}, nullptr), cli::Parser::kRun);
  EXPECT_EQ(e.out, "a=b");
  EXPECT_EQ(e.level, -60);
  EXPECT_EQ(e.targets, (std::vector<std::string>{"1,2", "-3,4"}));
}

}  // namespace
