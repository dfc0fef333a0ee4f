// The navigation client's function interface: creation, refusal of null and
// destroyed handles, route graphs and targets, and dead reckoning on and off.
#include <gtest/gtest.h>

#include <cmath>

#include "navigate_test_support.h"

namespace client_test {
namespace {

ClientNavigationState* NewClient(int method = 107) {
  return CreateNavigationClient(SharedVenue(method).path.c_str(), "dev-1", "SimPhone", false,
                                nullptr);
}

TEST(ClientCreation, RefusesBadArgumentsAndUnreadableArchives) {
  const std::string path = SharedVenue(107).path;
  EXPECT_EQ(CreateNavigationClient(nullptr, "d", "m", false, nullptr), nullptr);
  EXPECT_EQ(CreateNavigationClient("", "d", "m", false, nullptr), nullptr);
  EXPECT_EQ(CreateNavigationClient(path.c_str(), nullptr, "m", false, nullptr), nullptr);
  EXPECT_EQ(CreateNavigationClient(path.c_str(), "", "m", false, nullptr), nullptr);
  EXPECT_EQ(CreateNavigationClient("/nonexistent/map.zip", "d", "m", false, nullptr), nullptr);
  // A member name that the archive does not hold fails the load.
  EXPECT_EQ(CreateNavigationClient(path.c_str(), "d", "m", false, "configFile=missing.xml;"),
            nullptr);

  ClientNavigationState* a = CreateNavigationClient(path.c_str(), "d", nullptr, false, "");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->deviceModel, "");
  EXPECT_TRUE(a->isNavigationInitialized);
  EXPECT_EQ(a->navigation.getNSublocations(), 2u);
  DeleteNavigationClient(a);
}

TEST(ClientCreation, NullAndDestroyedHandlesAreRefused) {
  ClientNavigationState* dead = NewClient();
  ASSERT_NE(dead, nullptr);
  DeleteNavigationClient(dead);
  DeleteNavigationClient(dead);  // a second delete is refused, not a double free
  DeleteNavigationClient(nullptr);

  for (ClientNavigationState* c : {static_cast<ClientNavigationState*>(nullptr), dead}) {
    WScanMessage m;
    m.tmUnixTime = 1700000000;
    std::string error = "kept";
    EXPECT_EQ(Navigate(&m, c, &error), NAV_RC_NULL_CLIENT);
    EXPECT_EQ(error, "NULL client");
    EXPECT_EQ(Navigate(&m, c, nullptr), NAV_RC_NULL_CLIENT);
    EXPECT_EQ(m.outSubLocation, -1);
    NavigateEnablePdr(c, 1, 1.0, 1.0);
    NavigateDisablePdr(c);
    SetGraphTag(c, "x");
    EXPECT_EQ(GetGraphTag(c), "");
    EXPECT_TRUE(GetGraphTags(c).empty());
    EXPECT_EQ(GetGraphDescription("default", c), "");
    EXPECT_TRUE(MakeRoute(LocationPoint(1, 1, 1), LocationPoint(1, 2, 2), c).points.empty());
    EXPECT_TRUE(MakeRoute("default", LocationPoint(1, 1, 1), LocationPoint(1, 2, 2), c)
                    .points.empty());
    AddTarget(LocationPoint(1, 1, 1), c);
    CancelTargets(c);
    EXPECT_EQ(CountTargets(c), 0);
    EXPECT_FALSE(SetGraphParam("default", "smooth_radius", "1", c));
    EXPECT_FALSE(SetGraphParam("smooth_radius", "1", c));
    EXPECT_EQ(initClientNavigation(c), NAV_RC_NULL_CLIENT);
    EXPECT_EQ(initClientMap("x", nullptr, c), NAV_RC_NULL_CLIENT);
    EXPECT_EQ(initClientMapAndNavigation(c, "x", nullptr), NAV_RC_NULL_CLIENT);
  }
}

TEST(ClientDeadReckoning, EnableChecksItsArgumentsAndDisableRestoresSettings) {
  ClientNavigationState* c = NewClient();
  ASSERT_NE(c, nullptr);
  const CommonNavProperties stored = c->navigationMap.getNavigationProperties();

  NavigateEnablePdr(c, 99, 10.0, 14.0);  // no such floor
  EXPECT_FALSE(c->navigation.mIsPdr);
  NavigateEnablePdr(c, 1, -0.1, 14.0);
  EXPECT_FALSE(c->navigation.mIsPdr);
  NavigateEnablePdr(c, 1, NAN, 14.0);
  EXPECT_FALSE(c->navigation.mIsPdr);
  NavigateEnablePdr(c, 1, 0.0, 0.0);  // zero is a valid corner
  EXPECT_TRUE(c->navigation.mIsPdr);

  const venuesim::SurveyPoint& start = SharedVenue(107).venue.floors[1].points[7];
  const double x = start.x, y = start.y;
  NavigateEnablePdr(c, 2, x, y);
  EXPECT_EQ(c->navigation.getCurSublocId(), 2);
  EXPECT_EQ(c->navigation.getNavigationProperties().Dead_reckon_time, 1e9);
  EXPECT_FALSE(c->navigation.getNavigationProperties().Use_smoothing);
  EXPECT_EQ(c->navigationMap.getNavigationProperties(), stored);  // the map keeps its values

  // Before the first step the output is the cloud around the start point,
  // whatever the radio says.
  WScanMessage m;
  m.tmUnixTime = 1767268800;
  std::string error;
  EXPECT_EQ(Navigate(&m, c, &error), 0) << error;
  EXPECT_EQ(m.outSubLocation, 2);
  EXPECT_LT(std::hypot(m.outX - x, m.outY - y), 1.5);

  NavigateDisablePdr(c);
  EXPECT_FALSE(c->navigation.mIsPdr);
  EXPECT_EQ(c->navigation.getNavigationProperties().Dead_reckon_time, stored.Dead_reckon_time);
  EXPECT_EQ(c->navigation.getNavigationProperties().Use_smoothing, stored.Use_smoothing);
  DeleteNavigationClient(c);
}

}  // namespace
}  // namespace client_test
