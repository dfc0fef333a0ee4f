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

TEST(VenueSpecTest, RejectsUnusableParameters) {
  struct Case {
    const char* what;
    void (*change)(VenueSpec&);
  } cases[] = {
      {"no floors", [](VenueSpec& s) { s.floors = 0; }},
      {"six floors", [](VenueSpec& s) { s.floors = 6; }},
      {"NaN width", [](VenueSpec& s) { s.width = std::numeric_limits<double>::quiet_NaN(); }},
      {"infinite height", [](VenueSpec& s) { s.height = std::numeric_limits<double>::infinity(); }},
      {"zero rp spacing", [](VenueSpec& s) { s.rpSpacing = 0; }},
      {"negative beacon spacing", [](VenueSpec& s) { s.beaconSpacing = -8; }},
      {"method 111", [](VenueSpec& s) { s.method = 111; }},
      {"linear mean model", [](VenueSpec& s) { s.meanModel = 105; }},
      {"gp mode 120", [](VenueSpec& s) { s.gpMode = 120; }},
      {"pole latitude", [](VenueSpec& s) { s.latitude = 89.5; }},
      {"bitmap of billions of pixels", [](VenueSpec& s) { s.width = s.height = 2000; s.resolution = 0.02; }},
      {"malformed uuid", [](VenueSpec& s) { s.uuid = "not-a-uuid"; }},
      {"empty name", [](VenueSpec& s) { s.locationName.clear(); }},
  };
  for (const Case& c : cases) {
    VenueSpec s = SmallSpec();
    c.change(s);
    std::string error;
    EXPECT_EQ(ValidateSpec(s, &error), kBadSpec) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    Venue v;
    EXPECT_EQ(GenerateVenue(s, &v, &error), kBadSpec) << c.what;
    EXPECT_TRUE(v.floors.empty()) << c.what;
  }
  std::string error;
  EXPECT_EQ(ValidateSpec(VenueSpec(), &error), kOk) << error;
}

// Random specs, most of them broken, must be refused or generated, never crash.
TEST(VenueSpecTest, MutatedSpecsNeverCrash) {
  Rng rng(20240601);
  const double odd[] = {0.0, -1.0, 1e-300, 1e300, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(), 0.3, 7.0};
  for (int i = 0; i < 300; ++i) {
    VenueSpec s = SmallSpec(static_cast<uint64_t>(i));
    s.floors = 1;
    double* fields[] = {&s.width, &s.height, &s.resolution, &s.wallThickness, &s.corridorWidth, &s.roomWidth,
                        &s.doorWidth, &s.beaconSpacing, &s.rpSpacing, &s.txA, &s.txB, &s.shadowSigma,
                        &s.shadowCell, &s.temporalSigma, &s.sensitivity, &s.surveySeconds, &s.scanRateHz};
    const int n = sizeof fields / sizeof fields[0];
    for (int k = rng.uniformInt(1, 3); k > 0; --k) *fields[rng.uniformInt(0, n - 1)] = odd[rng.uniformInt(0, 7)];
    Venue v;
    std::string error;
    const int code = GenerateVenue(s, &v, &error);
    if (code == kOk) {
      ASSERT_EQ(v.floors.size(), 1u);
    } else {
      EXPECT_EQ(code, kBadSpec);
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(VenueGeneratorTest, OtherSeedOtherVenueAndLayoutMatchesTheVenue) {
  Venue a, c;
  std::string error;
  ASSERT_EQ(GenerateVenue(SmallSpec(5), &a, &error), kOk) << error;
  ASSERT_EQ(GenerateVenue(SmallSpec(6), &c, &error), kOk) << error;
  std::vector<ArchiveMember> ma, mc;
  ASSERT_EQ(BuildArchiveMembers(a, &ma, &error), kOk) << error;
  ASSERT_EQ(BuildArchiveMembers(c, &mc, &error), kOk) << error;
  EXPECT_NE(a.uuid, c.uuid);
  // The layout alone places the same points and beacons, without readings.
  Venue layout;
  ASSERT_EQ(GenerateLayout(SmallSpec(5), &layout, &error), kOk) << error;
  ASSERT_EQ(layout.floors.size(), a.floors.size());
  for (size_t f = 0; f < a.floors.size(); ++f) {
    ASSERT_EQ(layout.floors[f].points.size(), a.floors[f].points.size());
    for (size_t i = 0; i < a.floors[f].points.size(); ++i) {
      EXPECT_EQ(layout.floors[f].points[i].name, a.floors[f].points[i].name);
      EXPECT_TRUE(layout.floors[f].points[i].entries.empty());
    }
    EXPECT_EQ(layout.floors[f].beacons.size(), a.floors[f].beacons.size());
  }
  EXPECT_NE(ma[3].data, mc[3].data);  // another seed surveys differently
}

// Walls, outside strips and door-less partitions block; every reference point
// and every room interior is walkable; beacons sit clear of the walls.
TEST(VenueGeneratorTest, WallsBlockAndSurveyPointsAreWalkable) {
  for (int floors = 1; floors <= 5; ++floors) {
    VenueSpec s = SmallSpec(100 + floors);
    s.floors = floors;
    Venue v;
    std::string error;
    ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
    ASSERT_EQ(static_cast<int>(v.floors.size()), floors);
    std::set<std::string> keys;
    for (size_t f = 0; f < v.floors.size(); ++f) {
      const VenueFloor& floor = v.floors[f];
      EXPECT_EQ(floor.id, static_cast<int>(f) + 1);
      ASSERT_GT(floor.rooms.size(), 1u);  // 20 m deep: corridor with rooms
      for (const Wall& w : floor.walls) {
        for (double t = 0.0; t <= 1.0; t += 0.05) {
          const double x = w.a.x + t * (w.b.x - w.a.x), y = w.a.y + t * (w.b.y - w.a.y);
          EXPECT_FALSE(floor.grid.walkable(x, y)) << "wall at " << x << "," << y;
        }
      }
      EXPECT_FALSE(floor.grid.walkable(0.01, s.height / 2));
      EXPECT_FALSE(floor.grid.walkable(s.width - 0.01, s.height / 2));
      EXPECT_FALSE(floor.grid.walkable(s.width / 2, -0.5));
      for (const Room& r : floor.rooms)
        EXPECT_TRUE(floor.grid.walkable((r.x0 + r.x1) / 2, (r.y0 + r.y1) / 2)) << r.name;
      ASSERT_FALSE(floor.points.empty());
      for (const SurveyPoint& p : floor.points) {
        EXPECT_TRUE(floor.grid.walkable(p.x, p.y)) << p.name;
      }
      ASSERT_FALSE(floor.beacons.empty());
      for (const VenueBeacon& b : floor.beacons) {
        EXPECT_TRUE(keys.insert(b.key()).second) << b.key();
        EXPECT_EQ(b.key().size(), 50u);
        for (const Wall& w : floor.walls) {
          const double d = std::fabs(w.a.y == w.b.y ? b.y - w.a.y : b.x - w.a.x);
          const bool alongside = w.a.y == w.b.y
                                     ? b.x >= std::min(w.a.x, w.b.x) && b.x <= std::max(w.a.x, w.b.x)
                                     : b.y >= std::min(w.a.y, w.b.y) && b.y <= std::max(w.a.y, w.b.y);
          if (alongside) {
            EXPECT_GE(d, w.thickness / 2) << b.name;
          }
        }
      }
    }
  }
}

TEST(VenueGeneratorTest, ShallowFloorIsOneOpenHall) {
  VenueSpec s = SmallSpec();
  s.height = 6.0;
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  ASSERT_EQ(v.floors[0].rooms.size(), 1u);
  EXPECT_EQ(v.floors[0].walls.size(), 4u);
  EXPECT_FALSE(v.floors[0].points.empty());
}

TEST(VenueCommandLineTest, OptionsSetTheSpecAndBadOnesAreRefused) {
  CommandLine cl;
  std::string error;
  ASSERT_EQ(ParseCommandLine({"--out", "x.mvz", "--seed", "42", "--floors", "3", "--width", "80.5", "--method", "109",
                              "--sigma", "6", "--uuid", "f06fbf1d-87ad-4264-b38c-ed211baa401e", "--name", "Mall"},
                             &cl, &error),
            kArgsOk)
      << error;
  EXPECT_EQ(cl.setup.seed, 42u);
  EXPECT_EQ(cl.setup.width, 80.5);
  EXPECT_EQ(VenueUuid(cl.setup), "F06FBF1D-87AD-4264-B38C-ED211BAA401E");
  EXPECT_EQ(ParseCommandLine({}, &cl, &error), kArgsOk);
  EXPECT_EQ(cl.setup.floors, 2);  // defaults again
  EXPECT_EQ(ParseCommandLine({"--help"}, &cl, &error), kArgsHelp);
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--width", "12m"}, {"--width", "nan"}, {"--width", "1e999"},
                                             {"--floors", "2.5"}, {"--seed", "-1"}, {"--seed"}, {"--bogus", "1"},
                                             {"--out", ""}, {"--floors", "99999999999"}}) {
    EXPECT_EQ(ParseCommandLine(bad, &cl, &error), kArgsBad) << bad[0];
    EXPECT_FALSE(error.empty());
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
