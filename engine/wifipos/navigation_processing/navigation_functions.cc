#include "wifipos/navigation_processing/navigation_functions.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "server/utils.h"
#include "wifipos/navigation_processing/navigation_processing.h"
#include "wifipos/navigation_processing/prepare_navigation.h"

namespace {

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

// Places n particles around the floor's beacon that is heard strongest, then
// zeroes the resampling anchor so later resampling is not pulled to it. The
// count is a stored setting; it is kept within the particle count, and a
// count of 0 or less re-seeds nothing.
void ReseedAtStrongestBeacon(ClientNavigationState* client, const SublocationMap& floor,
                             const std::vector<BeaconMeas>& readings, int n) {
  const int best = StrongestBeaconIndex(readings);
  if (best < 0) return;
  const int particles = static_cast<int>(client->particleFilter.getParticles().size());
  n = std::min(n, particles);
  if (n <= 0) return;
  const std::string id = readings[static_cast<size_t>(best)].getBeaconId();
  for (const Beacon& b : floor.getBeacons()) {
    if (b.getId() != id) continue;
    if (!std::isfinite(b.getX()) || !std::isfinite(b.getY())) return;
    client->particleFilter.setResamplingParameters(b.getX(), b.getY(), n);
    client->particleFilter.resampleParticles();
    client->particleFilter.setResamplingParameters(0.0, 0.0, 0);
    return;
  }
}

// With the cloud carried over from the floor left behind, only a share of
// the re-seeded particles go to the strongest beacon: a hedge in case the
// floors' plans do not line up, not a second guess that outweighs the cloud.
constexpr double kCarriedBeaconShare = 0.2;

int CarriedBeaconCount(int n, const ParticleFilter& pf) {
  const int most = static_cast<int>(kCarriedBeaconShare * static_cast<double>(pf.getParticles().size()));
  return std::min(n, most);
}

}  // namespace

int StrongestBeaconIndex(const std::vector<BeaconMeas>& readings) {
  if (readings.empty()) return -1;
  size_t best = 0;
  for (size_t i = 1; i < readings.size(); ++i) {
    if (readings[best] < readings[i]) best = i;
  }
  return static_cast<int>(best);
}

void changeSublocation(ClientNavigationState* client, int& subIndex) {
  if (client == nullptr) return;
  Navigation& nav = client->navigation;
  subIndex = nav.getCurSublocIndex();
  SublocationMap* floor = subIndex >= 0 ? nav.getSublocationPtrByIndex(subIndex) : nullptr;
  const SublocationNavProperties* props =
      subIndex >= 0 ? nav.getSublocPropertiesPtrByIndex(subIndex) : nullptr;
  if (floor == nullptr || props == nullptr) {
    MV_LOG(11, "ERROR: subloc == 0 || sublocPropPtr == 0\n");
    return;
  }
  nav.mIsStop = false;
  ParticleFilter& pf = client->particleFilter;
  // Gaussian processes keep the restart: their fixes, ungated, pull a carried
  // cloud off course after the stairs more often than the restart does.
  const bool carry = client->navigationMap.behaviour().carriesCloudAcrossFloors() && !nav.mIsPdr && nav.getAlgorithm() != 108;
  std::vector<Particle> before;
  if (carry) before = pf.getParticles();
  pf.setSublocationProperties(*props);
  pf.setBmpState(std::as_const(*floor).getBmpState());
  pf.initializeParticles();
  const bool carried = !before.empty() && pf.carryCloudOver(before);
  if (!carried) pf.reinitializeParticles();
  pf.nulifyStopTime();
  client->smoothing.clear();
  client->pedometer.clearStepsHistory();

  client->sensorFusion.setLocationParameters(props->azimuth_deg * kDegToRad,
                                             props->magnetic_declination_deg * kDegToRad);
  const CommonNavProperties& s = nav.getNavigationProperties();
  double orientation[3] = {0.0, 0.0, 0.0};
  client->sensorFusion.getFusedOrientation(orientation);
  if (std::isfinite(orientation[0])) {
    pf.setAngleDistribution(orientation[0],
                            s.Use_pf_estimated_angle ? s.sensorFusion.Pf_init_angle_noise : 0.0);
  }

  std::vector<AccessPoint> signals = nav.getNavAveragedSignals();
  std::vector<std::string> ids;
  ids.reserve(floor->getBeacons().size());
  for (const Beacon& b : floor->getBeacons()) ids.push_back(b.getId());
  nav.filterUnknownMeasurements(signals, ids);
  std::vector<BeaconMeas> readings;
  wscanAccessPointToBleSignals(signals, readings);
  if (readings.empty() || nav.mIsPdr) return;
  const int reseed = carried ? CarriedBeaconCount(s.N_particles_location_change, pf) : s.N_particles_location_change;
  ReseedAtStrongestBeacon(client, *floor, readings, reseed);
}

void executeGaussianProcesses(ClientNavigationState* client, bool& goodSignal) {
  if (client == nullptr) return;
  Navigation& nav = client->navigation;
  nav.setIsGoodSignals(false);
  const std::vector<AccessPoint> signals = nav.getNavAveragedSignals();
  if (signals.empty()) return;
  const int index = nav.getCurSublocIndex();
  SublocationMap* floor = index >= 0 ? nav.getSublocationPtrByIndex(index) : nullptr;
  if (floor == nullptr) return;
  GaussianProcesses& gp = nav.mGp;
  gp.setSublocationIndex(index);
  if (gp.getMode() == GP_MODE_NORMAL) {
    std::vector<BeaconMeas> readings;
    wscanAccessPointToBleSignals(signals, readings);
    if (readings.empty()) return;
    gp.setBleSignals(readings);
    const int n = nav.getNavigationProperties().N_particles_around_closest_AP;
    if (n != 0) ReseedAtStrongestBeacon(client, *floor, readings, n);
  } else {
    std::vector<double> current;
    wscanAccessPointToCurrentSignals(signals, floor, current);
    gp.setCurrentSignals(current);
  }
  client->particleFilter.giveParticlesTo(gp);
  gp.correction();
  // The fixed mode's result counts as one reading: counted as several, as the
  // full mode's are, it was no more accurate on venues nobody tuned on (better
  // for most walkers, worse where beacons are sparse and the radio noisy).
  client->particleFilter.setNewWeights(gp.getNewWeights(), gp.getMode() != 123);
  client->particleFilter.setGoodSignalSolution();
  nav.setLastSignalSolutionTime(nav.getLastMeasTime());
  goodSignal = true;
}

void makeStep(ClientNavigationState* client, bool& stepDone) {
  if (client == nullptr) return;
  Pedometer& ped = client->pedometer;
  Navigation& nav = client->navigation;
  if (ped.getNumOfSteps() == 0) return;
  MV_LOG(11, "\n----------------STEP number = %d, StepLength = %lf----------------- \n\n",
         ped.getTotalStepsNumber(), ped.getLastStepLength());
  const CommonNavProperties& s = nav.getNavigationProperties();
  const double angleNoise =
      (ped.getStepTime(0) - nav.mPrevStepTime) * s.sensorFusion.Gyro_bias_degpersec +
      s.motion.Angle_noise;
  const double length = ped.getStepLength(0) * s.Step_multiplier;
  client->particleFilter.setPredictionInfo(length, angleNoise);
  double offset = 0.0;
  if (client->navigationMap.behaviour().stepsAlongTheirOwnHeading()) {
    // The step was detected a moment after it began, perhaps already turning
    // into the next corner: it goes along the heading of its own time.
    double now[3] = {0.0, 0.0, 0.0};
    client->sensorFusion.getFusedOrientation(now);
    offset = std::remainder(client->sensorFusion.headingAt(ped.getStepTime(0)) - now[0], 2.0 * M_PI);
    client->particleFilter.setStepHeadingOffset(offset);
  }
  client->particleFilter.moveParticles();
  const double heading = client->particleFilter.getSolutionInfo().filteredAngle + offset;
  if (client->navigationMap.behaviour().leadsRadioByHalfItsWindow()) {
    auto& recent = client->recentSteps;
    recent.push_back({std::llround(1000.0 * ped.getStepTime(0)), length * std::sin(heading),
                      length * std::cos(heading)});
    while (recent.size() > kRecentStepsKept) recent.pop_front();
  }
  ped.noteStepTaken(length, heading, ped.getStepTime(0));
  nav.mPrevStepTime = ped.getStepTime(0);
  client->particleFilter.setStep();
  ped.clearFirstStep();
  stepDone = true;
}

void executeParticleFilter(ClientNavigationState* client, SolutionInfo& solution,
                           double& curTime) {
  if (client == nullptr) return;
  Navigation& nav = client->navigation;
  ParticleFilter& pf = client->particleFilter;
  if (nav.getNavigationProperties().Use_stops_PF) {
    pf.checkStop(curTime, nav.mIsStop);
  } else {
    pf.checkStop(curTime, false);
  }
  pf.setStanding(nav.mIsStop);
  solution.time = curTime;
  pf.setSolutionInfo(solution);
  pf.executeFilter(nav.mGp);
  solution = pf.getSolutionInfo();
}

void performSmoothing(Smoothing& smoothing, SolutionInfo& solution, const double& curTime,
                      double& radiusBefore) {
  radiusBefore = solution.radius;
  if (solution.filteredX == 0.0 || solution.filteredY == 0.0) return;
  smoothing.addData(0, solution.filteredX, curTime);
  smoothing.addData(1, solution.filteredY, curTime);
  smoothing.addData(2, solution.radius, curTime);
  const double x = smoothing.getValue(0, curTime);
  const double y = smoothing.getValue(1, curTime);
  const double r = smoothing.getValue(2, curTime);
  // A channel that could not give a value (non-finite input is refused by
  // the smoothing) must not replace a usable solution.
  if (std::isfinite(x) && std::isfinite(y)) {
    solution.filteredX = x;
    solution.filteredY = y;
  }
  if (std::isfinite(r)) solution.radius = r;
}
