// The behaviour the archive parameters ask for reaches every component of a
// client, at creation and again when the client re-creates its components.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "navigate_test_support.h"
#include "wifipos/gaussian_processes/gp_methods.h"
#include "wifipos/histogramm/histogramm.h"

namespace client_test {
namespace {

// No component can be made without saying which behaviour it runs, so none
// silently runs another one than its client, test or benchmark meant.
static_assert(!std::is_default_constructible_v<EngineBehaviour>);
static_assert(!std::is_default_constructible_v<NavigationMap>);
static_assert(!std::is_default_constructible_v<Navigation>);
static_assert(!std::is_default_constructible_v<ParticleFilter>);
static_assert(!std::is_default_constructible_v<Pedometer>);
static_assert(!std::is_default_constructible_v<SensorFusion>);
static_assert(!std::is_default_constructible_v<Histogram>);
static_assert(!std::is_default_constructible_v<SublocationGP>);

// Which behaviour each component of the client runs, in one line per
// component, so that a mismatch names the component.
std::string Behaviours(const ClientNavigationState& c) {
  auto word = [](const EngineBehaviour& b) { return b.isOriginal() ? "original" : "kit"; };
  std::string s;
  s += std::string("map ") + word(c.navigationMap.behaviour()) + "\n";
  s += std::string("navigation ") + word(c.navigation.behaviour()) + "\n";
  // Only the histogram method builds the histograms' layout.
  if (c.navigation.getAlgorithm() == NAV_ALG_HISTOGRAM)
    s += std::string("histogram ") + word(c.navigation.mHistogram.behaviour()) + "\n";
  for (const SublocationGP& floor : c.navigation.mGp.getSublocations())
    s += std::string("gp floor ") + word(floor.behaviour()) + "\n";
  s += std::string("particle filter ") + word(c.particleFilter.behaviour()) + "\n";
  s += std::string("pedometer ") + word(c.pedometer.behaviour()) + "\n";
  s += std::string("sensor fusion ") + word(c.sensorFusion.behaviour()) + "\n";
  return s;
}

std::string All(const ClientNavigationState& c, const char* word) {
  std::string s = std::string("map ") + word + "\nnavigation " + word + "\n";
  if (c.navigation.getAlgorithm() == NAV_ALG_HISTOGRAM) s += std::string("histogram ") + word + "\n";
  for (size_t i = 0; i < c.navigation.mGp.getSublocations().size(); ++i)
    s += std::string("gp floor ") + word + "\n";
  return s + "particle filter " + word + "\npedometer " + word + "\nsensor fusion " + word + "\n";
}

TEST(ClientBehaviour, EveryComponentRunsTheBehaviourTheParametersAskFor) {
  struct Case {
    const char* parameters;
    int method;
    bool original;
  };
  for (const Case& c : {Case{nullptr, 107, false}, Case{"defaults=classic;", 107, true},
                        Case{"defaults=kit;", 109, false}, Case{"defaults=classic;", 109, true},
                        Case{"", 108, false}, Case{"defaults=classic;", 108, true}}) {
    SCOPED_TRACE(std::string(c.parameters ? c.parameters : "null") + " method " +
                 std::to_string(c.method));
    ClientNavigationState* client =
        CreateNavigationClient(SharedVenue(c.method).path.c_str(), "dev-1", "SimPhone", false, c.parameters);
    ASSERT_NE(client, nullptr);
    const char* word = c.original ? "original" : "kit";
    EXPECT_EQ(Behaviours(*client), All(*client, word));
    if (c.method == 108) {
      EXPECT_FALSE(client->navigation.mGp.getSublocations().empty());
    }
    // Leaving dead reckoning builds every component anew.
    NavigateEnablePdr(client, 1, 1.0, 1.0);
    NavigateDisablePdr(client);
    EXPECT_EQ(Behaviours(*client), All(*client, word));
    DeleteNavigationClient(client);
  }
}

}  // namespace
}  // namespace client_test
