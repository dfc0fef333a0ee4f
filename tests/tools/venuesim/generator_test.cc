#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "venue_test_util.h"
#include "venuesim/command_line.h"
#include "venuesim/generator.h"
#include "venuesim/layout.h"
#include "venuesim/rng.h"
#include "venuesim/venue_archive.h"

using namespace venuesim;
using venuesim_test::SmallSpec;

// The radio and placement options reach the setup, and a value out of its
// range is refused by the setup check, which names it.
TEST(VenueCommandLineTest, OptionsSetTheSetupAndOutOfRangeValuesAreNamed) {
  const struct {
    const char* option;
    double VenueSpec::*field;
    const char* good;
    const char* bad;
    const char* name;
  } cases[] = {
      {"--temporal-sigma", &VenueSpec::temporalSigma, "3.5", "25", "temporal sigma"},
      {"--wall-loss", &VenueSpec::wallLoss, "7", "60", "wall loss"},
      {"--floor-loss", &VenueSpec::floorLoss, "20", "150", "floor loss"},
      {"--scan-rate", &VenueSpec::scanRateHz, "4", "0.01", "scan rate"},
      {"--lat", &VenueSpec::latitude, "50", "95", "latitude"},
      {"--lon", &VenueSpec::longitude, "30", "200", "longitude"},
      {"--azimuth", &VenueSpec::azimuth, "45", "400", "azimuth"},
      {"--declination", &VenueSpec::magneticDeclination, "-10", "190", "magnetic declination"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    for (const char* value : {c.good, c.bad}) {
      CommandLine cl;
      std::string error;
      ASSERT_EQ(kArgsOk, ParseCommandLine({"--out", "m.mvz", c.option, value}, &cl, &error)) << error;
      EXPECT_EQ(std::stod(value), cl.setup.*c.field);
      const bool good = value == c.good;
      EXPECT_EQ(good ? kOk : kBadSpec, ValidateSpec(cl.setup, &error));
      if (!good) {
        EXPECT_NE(std::string::npos, error.find(c.name)) << error;
      }
    }
  }
}

// Command lines mutated from a valid one (characters replaced, dropped or
// duplicated, arguments swapped) are parsed or refused, never crash; what
// parses either validates or is refused by the setup check.
TEST(VenueCommandLineTest, MutatedCommandLinesNeverCrash) {
  const std::vector<std::string> valid = {"--out", "m.mvz", "--seed", "7", "--floors", "2", "--width", "40",
                                          "--rp-spacing", "2.5", "--method", "108", "--sigma", "3.5"};
  Rng rng(777);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> args = valid;
    for (int k = rng.uniformInt(1, 4); k > 0; --k) {
      std::string& a = args[rng.uniformInt(0, static_cast<int>(args.size()) - 1)];
      switch (rng.uniformInt(0, 4)) {
        case 0:
          if (!a.empty()) {
            a[rng.uniformInt(0, static_cast<int>(a.size()) - 1)] = static_cast<char>(rng.uniformInt(0, 255));
          }
          break;
        case 1:
          if (!a.empty()) a.erase(rng.uniformInt(0, static_cast<int>(a.size()) - 1), 1);
          break;
        case 2:
          a += a;
          break;
        case 3:
          std::swap(a, args[rng.uniformInt(0, static_cast<int>(args.size()) - 1)]);
          break;
        default:
          args.erase(args.begin() + rng.uniformInt(0, static_cast<int>(args.size()) - 1));
          if (args.empty()) args.push_back("--");
          break;
      }
    }
    CommandLine cl;
    std::string error;
    const int code = ParseCommandLine(args, &cl, &error);
    ASSERT_TRUE(code == kArgsOk || code == kArgsBad || code == kArgsHelp);
    if (code == kArgsOk) {
      const int checked = ValidateSpec(cl.setup, &error);
      EXPECT_TRUE(checked == kOk || checked == kBadSpec);
    }
  }
}
