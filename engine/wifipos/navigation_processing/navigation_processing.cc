#include "wifipos/navigation_processing/navigation_processing.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "wifipos/navigation_processing/fill_wsmsg_output.h"
#include "wifipos/navigation_processing/navigation_functions.h"
#include "wifipos/navigation_processing/prepare_navigation.h"

namespace {

// Seconds before the first message that the time base is placed, so that
// message times on the base are small positive numbers.
constexpr double kTimeBaseLeadSec = 10.0;
// A message this much earlier than the newest accepted one means the phone's
// clock was set back: the client starts over on a new time base. A smaller
// step back is absorbed into the time base, so the engine's own time keeps
// running forward and positioning goes on.
constexpr double kClockStepBackSec = 5.0;
// A message this much later than the newest accepted one is a clock set
// forward by years: the client starts over rather than carry a gap that
// large on its time base.
constexpr double kClockStepForwardSec = 1e9;
// Message times at or beyond this (the year 10000) are refused: no clock
// gives them, and their milliseconds would no longer be exact in a double.
constexpr double kLastMessageTimeSec = 253402300800.0;
// The kit's output smoothing tracks position and velocity by elapsed time;
// these are the walker's acceleration spectral densities (m^2/s^3) it
// allows while walking and while standing, where every wobble of the
// estimate is noise.
constexpr double kTrackingWalkingQ = 0.5;
constexpr double kTrackingStillQ = 0.05;
// Without motion sensors nothing tells walking from standing and the radio
// fixes are all there is: the tracking sits between the two, smoothing the
// fixes' scatter harder than a detected walk allows at the price of some
// lag after turns.
constexpr double kTrackingRadioOnlyQ = 0.1;
// How far the kit's output is read ahead along the tracked velocity: a
// second with motion samples, none without (see SmoothingInfo::setReadAhead).
constexpr double kReadAheadSec = 1.0;
constexpr double kRadioOnlyReadAheadSec = 0.0;
// The kit enters a zone once the output is this far inside it and leaves it
// once the output is this far outside, so that a position wobbling near a
// boundary does not report the zone over and over. Entry asks less, so that
// a corridor a couple of metres wide is still entered.
constexpr double kZoneEnterMetres = 0.5;
constexpr double kZoneLeaveMetres = 1.0;
// Defaults used in place of stored settings that cannot be used.
constexpr double kDefaultAccumulationSec = 1.5;
// s, the kit's longest signal window.
constexpr double kKitMaxAccumulationSec = 1.0;
constexpr double kDefaultLowPassSec = 0.297;

// The addresses of all constructed, not yet destroyed clients. This is the
// one process-wide object of the interface: it lets every entry point refuse
// the handle of a client that has been destroyed instead of touching freed
// memory.
class ClientRegistry {
 public:
  static ClientRegistry& instance() {
    static ClientRegistry registry;
    return registry;
  }
  void add(const ClientNavigationState* c) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.insert(c);
  }
  void remove(const ClientNavigationState* c) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(c);
  }
  bool contains(const ClientNavigationState* c) {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(c) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<const ClientNavigationState*> live_;
};

// Entry check of every function that needs a client.
bool Usable(const ClientNavigationState* client, const char* function) {
  if (client == nullptr) {
    MV_LOG(11, "ERROR: %s: client == 0\n", function);
    return false;
  }
  if (!IsLiveNavigationClient(client)) {
    MV_LOG(11, "ERROR: %s: client was destroyed\n", function);
    return false;
  }
  return true;
}

const RouteGraph* FindGraph(const ClientNavigationState* client, const std::string& tag) {
  for (const RouteGraph& g : client->navigationMap.getGraphs()) {
    if (g.getTag() == tag) return &g;
  }
  return nullptr;
}

RouteGraph* FindGraph(ClientNavigationState* client, const std::string& tag) {
  for (RouteGraph& g : client->navigationMap.getGraphs()) {
    if (g.getTag() == tag) return &g;
  }
  return nullptr;
}

void SetError(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
}

// Forgets everything tied to the old time base; the next step re-creates the
// positioning objects and chooses a new base from its own message.
void StartNewTimeBase(ClientNavigationState* client) {
  client->timeBase = 0;
  client->lastMessageTime = 0.0;
  client->isNavigationInitialized = false;
  client->sensorsStatus = ClientNavigationState::ClientSensorsStatus();
  client->smoothing.clear();
  client->motionState = 0;
}

// The radio's window stands for the walker where it was in the window's
// middle; the steps since then (each spread over the time to the next one)
// are how far it has gone on. In whole milliseconds, so that a walk positions
// alike on any time base. Set before each weighing of the cloud against the
// radio, which reads it.
void LeadRadioBySteps(ClientNavigationState& client, int64_t nowMs) {
  if (!client.navigationMap.behaviour().leadsRadioByHalfItsWindow()) return;
  const int64_t since = nowMs - std::llround(500.0 * client.navigation.getAccumulationTime());
  double dx = 0.0, dy = 0.0;
  const auto& steps = client.recentSteps;
  for (size_t i = 0; i < steps.size(); ++i) {
    const int64_t end = i + 1 < steps.size() ? steps[i + 1].ms : nowMs;
    if (end <= since) continue;
    const double share = end > steps[i].ms ? std::clamp(static_cast<double>(end - since) /
                                                            static_cast<double>(end - steps[i].ms),
                                                        0.0, 1.0)
                                           : 1.0;
    dx += share * steps[i].dx;
    dy += share * steps[i].dy;
  }
  client.particleFilter.setRadioLead(dx, dy);
}

// The kit's tracking strength for this tick.
double TrackingQ(const ClientNavigationState& client) {
  if (!client.sensorsStatus.isAccPresent) return kTrackingRadioOnlyQ;
  return client.navigation.getIsStop() ? kTrackingStillQ : kTrackingWalkingQ;
}

void RoutesAndZones(WScanMessage* message, ClientNavigationState* client) {
  if (!client->targets.empty() && !client->navigationMap.getGraphs().empty()) {
    const RouteGraph* g = FindGraph(client, client->graphTag);
    if (g != nullptr) {
      const LocationPoint from(message->outSubLocation, message->outX, message->outY);
      message->outPaths = g->getPaths(from, client->targets);
    }
  }
  const ZoneMap& zones = client->navigationMap.getZones();
  if (!client->navigationMap.behaviour().holdsZonesWithHysteresis()) {
    message->outZones = zones.getZones(message->outSubLocation, message->outX, message->outY);
    return;
  }
  if (client->lastZonesFloor != message->outSubLocation) client->lastZones.clear();
  message->outZones = zones.getZones(message->outSubLocation, message->outX, message->outY,
                                     client->lastZones, kZoneEnterMetres, kZoneLeaveMetres);
  client->lastZones = message->outZones;
  client->lastZonesFloor = message->outSubLocation;
}

// ------------------------------------------------------ the steps of a tick

// One positioning step's message and client, and what its steps hand on to
// each other.
struct Tick {
  Tick(WScanMessage* m, ClientNavigationState* c, std::string* e)
      : message(m),
        client(c),
        error(e),
        prevSub(c->navigation.getCurSublocIndex()),
        algorithm(c->navigation.getNavigationProperties().Use_algorithm),
        curSub(prevSub) {}
  WScanMessage* message;
  ClientNavigationState* client;
  std::string* error;
  // The floor and the method as the step found them, before a re-made
  // navigation object could reset them.
  const int prevSub;
  const int algorithm;
  // The message time in seconds since 1970, then on the time base in seconds,
  // whole milliseconds and as a sensor time.
  double unixTime = 0.0;
  double curTime = 0.0;
  int64_t totalMs = 0;
  SensorTime curSensorTime;
  std::vector<AccessPoint> accessPoints;
  int curSub;
  bool goodSignal = false;  // a radio fix or a Gaussian-process result this tick
  bool stepDone = false;    // a step moved the cloud this tick
};

// How a tick ends once positioning is over: an output written (rc 0), or no
// indoor solution (rc says why) and the GPS fallback has the last word.
struct StepOutcome {
  int rc = 0;
  bool toGps = false;
};

StepOutcome Written(int rc) { return {rc, rc != 0}; }

// The message's time in seconds since 1970. False (logged, error set) for a
// time no time base can hold.
bool ReadMessageTime(Tick& tick) {
  const WScanMessage* message = tick.message;
  const double t = message->tmMillisecond / 1000.0 + static_cast<double>(message->tmUnixTime);
  if (!std::isfinite(t) || t < kTimeBaseLeadSec + 1.0 || t >= kLastMessageTimeSec ||
      std::fabs(static_cast<double>(message->tmMillisecond)) > 1e6) {
    MV_LOG(11, "ERROR: deviceId:%s bad message time %lld.%d\n", tick.client->deviceId.c_str(),
           static_cast<long long>(message->tmUnixTime), message->tmMillisecond);
    SetError(tick.error, "Bad message time");
    return false;
  }
  tick.unixTime = t;
  return true;
}

// A phone clock set back a little moves the time base back with it; a larger
// step either way starts the client over on a new base.
void FollowClockSteps(ClientNavigationState* client, double t) {
  if (client->timeBase == 0) return;
  const double rel = t - static_cast<double>(client->timeBase);
  const double back = client->lastMessageTime - rel;
  if (rel < 0.0 || back > kClockStepBackSec || -back > kClockStepForwardSec) {
    // Unsigned times on the old base would wrap or stand still; the window
    // would never move again. Everything starts over on a new base.
    MV_LOG(11, "ERROR: deviceId:%s clock stepped by %lf s; navigation restarts\n",
           client->deviceId.c_str(), -back);
    StartNewTimeBase(client);
  } else if (back > 0.0) {
    // The base moves back by whole seconds so that this message lands no
    // earlier than the newest one; later messages follow on from it.
    const int64_t shift = static_cast<int64_t>(std::ceil(back));
    MV_LOG(11, "WARNING: deviceId:%s clock stepped back %lf s; time base moved by %lld s\n",
           client->deviceId.c_str(), back, static_cast<long long>(shift));
    client->timeBase -= shift;
  }
}

// Chooses the time base at the first message and puts the message's time on
// it.
void PlaceOnTimeBase(Tick& tick) {
  ClientNavigationState* client = tick.client;
  const WScanMessage* message = tick.message;
  if (client->timeBase == 0) {
    client->timeBase = static_cast<int64_t>(std::floor(tick.unixTime - kTimeBaseLeadSec));
  }
  tick.curTime = tick.unixTime - static_cast<double>(client->timeBase);
  tick.totalMs = (message->tmUnixTime - client->timeBase) * 1000 + message->tmMillisecond;
  tick.curSensorTime = SensorTime(static_cast<uint64_t>(tick.totalMs / 1000),
                                  static_cast<unsigned int>(tick.totalMs % 1000));
  client->lastMessageTime = std::max(client->lastMessageTime, tick.curTime);
  client->navigation.setCurTime(tick.curSensorTime);
}

// True when the map leaves nothing to position on: without a usable floor
// only the GPS fallback may give an output (out says so); a map without any
// floor, which its check should have reported, gives the routes and zones of
// the message's own output point.
bool MapStopsPositioning(const Tick& tick, StepOutcome& out) {
  const ClientNavigationState* client = tick.client;
  if (const int mapError = client->navigation.getMapErrorCode(); mapError != 0) {
    MV_LOG(11, "ERROR: deviceId:%s there are no any sublocations at the map\n",
           client->deviceId.c_str());
    SetError(tick.error, "No sublocations");
    out = {mapError, true};
    return true;
  }
  if (client->navigationMap.getNSublocations() == 0) {
    MV_LOG(11, "WARNING: strange. 0 sublocations, but MapErrorCode != 0\n");
    SetError(tick.error, "Strange error");
    return true;
  }
  return false;
}

// After a loss of signal longer than the dead-reckoning time the positioning
// objects are made anew. 0, or the code of the failed re-initialisation.
int RestartAfterLongLoss(const Tick& tick) {
  ClientNavigationState* client = tick.client;
  MV_LOG(11, "curTime = %lf packet number = %d\n", tick.curTime, tick.message->packetNumber);
  MV_LOG(11, "time min = %d sec = %d\n", tick.message->tmMinute, tick.message->tmSecond);
  checkConnectionTime(client, tick.curTime);
  if (client->isNavigationInitialized) return 0;
  const int rc = initClientNavigation(client);
  if (rc != 0) {
    MV_LOG(11, "ERROR: Unable to reinitialize navigation. ErrorCode = %d\n", rc);
    SetError(tick.error, "Unable to reinitialize navigation");
    return rc;
  }
  client->navigation.setCurTime(tick.curSensorTime);
  return 0;
}

// The message's radio readings become access points; its motion samples
// update the sensors' presence, the heading, the steps and the stop.
void ReadMessageReadings(Tick& tick) {
  const Navigation& nav = tick.client->navigation;
  MV_LOG(11, "CurTime = %lf\n", tick.curSensorTime.getTimeInSeconds());
  preprocessSensorMeasurements(tick.client, tick.message, tick.accessPoints, tick.curSensorTime);
  if (tick.message->packetNumber % 5 == 0) {
    if (nav.getLastMeasTime() != 0.0) {
      MV_LOG(11, "Last RSSI measurement was %lf seconds ago\n", tick.curTime - nav.getLastMeasTime());
    } else {
      MV_LOG(11, "There was no any RSSI measurements!\n");
    }
  }
}

// The fix is the mean over the window, so it trails a walker by about half of
// it. Where steps carry the cloud between fixes a shorter window costs little;
// radio alone needs the longer one. Where the short window hears too few
// beacons it reaches back to the stored length.
void SizeSignalWindow(ClientNavigationState* client) {
  if (!client->navigationMap.behaviour().capsSignalWindow()) return;
  Navigation& nav = client->navigation;
  nav.setMeasAccumulationTime(client->sensorsStatus.isAccPresent
                                  ? std::min(client->settingsWindow, kKitMaxAccumulationSec)
                                  : client->settingsWindow);
  nav.setWindowReach(client->settingsWindow);
}

// The floor, and the signal position from the window of radio readings; a
// floor change re-seeds the cloud, and with Gaussian processes their
// correction weighs it. Skipped while dead reckoning: no reading then moves
// the floor or the position.
StepOutcome SolveSignals(Tick& tick) {
  ClientNavigationState* client = tick.client;
  Navigation& nav = client->navigation;
  if (nav.mIsPdr) return {};
  SensorTime windowTime = tick.curSensorTime;
  nav.updateSignals(tick.accessPoints, windowTime);
  if (tick.algorithm == NAV_ALG_GP) {
    // The position comes later, from the correction of the cloud.
    if (nav.detectSublocation() != 0 && tick.prevSub < 0) {
      MV_LOG(11, "ERROR: Cannot detect sublocation in GP\n");
    }
  } else {
    if (const int rc = nav.calculateCoordinates(); rc != 0) {
      MV_LOG(11, "ERROR code = %d: no solution from navigation class\n", rc);
    } else {
      client->particleFilter.setGoodSignalSolution();
      tick.goodSignal = true;
      nav.mSolutionInfo.x = nav.getX();
      nav.mSolutionInfo.y = nav.getY();
    }
    if (nav.getCurSublocIndex() < 0) {
      SetError(tick.error, "No solution");
      return {NAV_RC_NO_SOLUTION, true};
    }
  }
  tick.curSub = nav.getCurSublocIndex();
  if (nav.isSublocChanged()) changeSublocation(client, tick.curSub);
  if (tick.algorithm == NAV_ALG_GP && tick.curSub >= 0 && nav.getIsGoodSignals()) {
    LeadRadioBySteps(*client, tick.totalMs);
    executeGaussianProcesses(client, tick.goodSignal);
  }
  return {};
}

// Each step the pedometer found since the last tick moves the cloud.
void MoveCloudBySteps(Tick& tick) {
  ClientNavigationState* client = tick.client;
  const CommonNavProperties& s = client->navigation.getNavigationProperties();
  while (s.Use_particle_filter && client->pedometer.getNumOfSteps() != 0 &&
         client->sensorsStatus.isGyroPresent) {
    makeStep(client, tick.stepDone);
  }
}

// The particle filter weighs the moved cloud against the radio and takes its
// solution from it; how far the radio drags the cloud teaches the step
// length.
void WeighCloudByRadio(Tick& tick) {
  ClientNavigationState* client = tick.client;
  ParticleFilter& pf = client->particleFilter;
  if (!client->navigation.getNavigationProperties().Use_particle_filter) return;
  LeadRadioBySteps(*client, tick.totalMs);
  double meanX = 0.0, meanY = 0.0;
  const bool dragged = tick.goodSignal && client->navigationMap.behaviour().calibratesStepLength() &&
                       pf.cloudMean(&meanX, &meanY);
  executeParticleFilter(client, client->navigation.mSolutionInfo, tick.curTime);
  if (double x = 0.0, y = 0.0; dragged && pf.cloudMean(&x, &y)) {
    client->pedometer.noteRadioDrag(x - meanX, y - meanY);
  }
}

// Dead reckoning puts out the cloud around its start point until the first
// step.
void HoldDeadReckoningStart(ClientNavigationState* client) {
  if (!client->navigation.mIsPdr || client->pedometer.getTotalStepsNumber() != 0) return;
  client->particleFilter.getSolution();
  client->navigation.mSolutionInfo = client->particleFilter.getSolutionInfo();
}

// Smooths the solution and writes it into the message; 0, or the output's
// failure code.
int SmoothAndWriteOutput(Tick& tick) {
  ClientNavigationState* client = tick.client;
  Navigation& nav = client->navigation;
  SolutionInfo& solution = nav.mSolutionInfo;
  const CommonNavProperties& s = nav.getNavigationProperties();
  double radiusBefore = 0.0;
  if (!client->navigationMap.behaviour().tracksOutput()) {
    if (s.Use_smoothing && (tick.goodSignal || tick.stepDone || nav.getIsStop())) {
      performSmoothing(client->smoothing, solution, tick.curTime, radiusBefore);
    }
    return fillOutput(tick.message, solution, nav, client);
  }
  // Tracked every tick, so that the output moves on between radio windows
  // instead of jumping once per window.
  client->smoothing.setTracking(TrackingQ(*client));
  client->smoothing.setReadAhead(client->sensorsStatus.isAccPresent ? kReadAheadSec
                                                                    : kRadioOnlyReadAheadSec);
  // The smoothed track goes to the output only: the particle filter takes its
  // solution back on the next tick, and a smoothed value fed back there would
  // come out again as a new sample.
  SolutionInfo output = solution;
  if (s.Use_smoothing) performSmoothing(client->smoothing, output, tick.curTime, radiusBefore);
  return fillOutput(tick.message, output, nav, client);
}

// With the floor known, the output: the zone method's estimate as it is, any
// other method's cloud moved by the steps, weighed by the radio and smoothed.
StepOutcome PositionOnFloor(Tick& tick) {
  ClientNavigationState* client = tick.client;
  MV_LOG(13, "Floor = %d time = %lf\n", tick.curSub, tick.curTime);
  if (tick.curSub < 0) {
    client->pedometer.clearStepsHistory();
    SetError(tick.error, "No solution");
    return {NAV_RC_NO_SOLUTION, true};
  }
  if (tick.algorithm == NAV_ALG_ZONE) {
    // No filter runs for the zone method: its estimate is the position,
    // also where the output would take the filtered one.
    SolutionInfo& solution = client->navigation.mSolutionInfo;
    solution.filteredX = solution.x;
    solution.filteredY = solution.y;
    return Written(fillOutput(tick.message, solution, client->navigation, client));
  }
  MoveCloudBySteps(tick);
  WeighCloudByRadio(tick);
  HoldDeadReckoningStart(client);
  return Written(SmoothAndWriteOutput(tick));
}

// Without an indoor solution the last GPS fix gives the output when GPS is
// used; 0, or the code that ends the tick.
int FallBackToGps(const Tick& tick, int rc) {
  Navigation& nav = tick.client->navigation;
  if (!nav.getNavigationProperties().Use_gps) return rc;
  return fillGpsOutput(tick.message, nav.mSolutionInfo, nav, tick.client);
}

}  // namespace

// --------------------------------------------------------------------- client

ClientNavigationState::ClientNavigationState() { ClientRegistry::instance().add(this); }

ClientNavigationState::~ClientNavigationState() { ClientRegistry::instance().remove(this); }

bool IsLiveNavigationClient(const ClientNavigationState* client) {
  return client != nullptr && ClientRegistry::instance().contains(client);
}

// ------------------------------------------------------- creation and set-up

ClientNavigationState* CreateNavigationClient(const char* archivePath, const char* deviceId,
                                              const char* deviceModel, bool tracking,
                                              const char* parameters) {
  if (archivePath == nullptr || archivePath[0] == '\0') {
    MV_LOG(11, "ERROR: Bad archive path\n");
    return nullptr;
  }
  if (deviceId == nullptr || deviceId[0] == '\0') {
    MV_LOG(11, "ERROR: invalid device identifier\n");
    return nullptr;
  }
  ClientNavigationState* client = new ClientNavigationState();
  int rc = 0;
  {
    LockGuard<Mutex> lock(client->mutex);
    client->deviceId = deviceId;
    client->deviceModel = deviceModel != nullptr ? deviceModel : "";
    client->isTracking = tracking;
    rc = initClientMapAndNavigation(client, archivePath, parameters);
  }
  if (rc != 0) {
    delete client;
    return nullptr;
  }
  return client;
}

void DeleteNavigationClient(ClientNavigationState* client) {
  if (client == nullptr) return;
  if (!IsLiveNavigationClient(client)) {
    MV_LOG(11, "ERROR: DeleteNavigationClient: client was already destroyed\n");
    return;
  }
  // Waits for a step still running on another thread, then releases the
  // mutex: a held mutex must not be destroyed. Nobody may enter after this;
  // that is the owner's part.
  client->mutex.lock();
  client->mutex.unlock();
  delete client;
}

int initClientMapAndNavigation(ClientNavigationState* client, const char* archivePath,
                               const char* parameters) {
  if (!Usable(client, "initClientMapAndNavigation")) return NAV_RC_NULL_CLIENT;
  LockGuard<Mutex> lock(client->mutex);
  if (!client->isMapInitialized) {
    const int rc = initClientMap(archivePath, parameters, client);
    if (rc != 0) return rc;
  }
  if (client->isTracking) {
    for (SublocationMap& floor : client->navigationMap.getSublocationsVector()) {
      floor.getBeacons() = floor.getLocators();
    }
  }
  if (client->isNavigationInitialized) return 0;
  return initClientNavigation(client);
}

int initClientMap(const char* archivePath, const char* parameters,
                  ClientNavigationState* client) {
  if (!Usable(client, "initClientMap")) return NAV_RC_NULL_CLIENT;
  LockGuard<Mutex> lock(client->mutex);
  NavigationMap& map = client->navigationMap;
  int rc = map.setPathToNavArchive(archivePath);
  if (rc != 0) return rc;
  rc = map.setParameters(parameters);
  if (rc != 0) return rc;
  rc = map.parseAllFiles(client->isTracking);
  if (rc != 0) return rc;
  if (client->isTracking) map.setNavigationProperties(map.getTrackingProperties());
  client->isMapInitialized = true;
  return 0;
}

int initClientNavigation(ClientNavigationState* client) {
  if (!Usable(client, "initClientNavigation")) return NAV_RC_NULL_CLIENT;
  LockGuard<Mutex> lock(client->mutex);
  // Every component is made anew with the behaviour the map's parameters
  // chose.
  const EngineBehaviour& behaviour = client->navigationMap.behaviour();
  client->particleFilter = ParticleFilter(behaviour);
  client->navigation = Navigation(behaviour);
  client->pedometer = Pedometer(behaviour);
  client->recentSteps.clear();
  client->sensorFusion = SensorFusion(behaviour);

  Navigation& nav = client->navigation;
  nav.specifyNavigationMap(client->navigationMap);
  nav.setAutoClearingOldMeas(true);
  const CommonNavProperties& s = client->navigationMap.getNavigationProperties();
  double accumulation = s.Sig_averaging_time;
  if (!std::isfinite(accumulation) || accumulation <= 0.0) {
    MV_LOG(11, "ERROR: Sig_averaging_time = %lf unusable, %lf used\n", accumulation,
           kDefaultAccumulationSec);
    accumulation = kDefaultAccumulationSec;
  }
  client->settingsWindow = accumulation;
  nav.setMeasAccumulationTime(accumulation);
  nav.setUseTriangulation(true);

  if (client->navigationMap.getNSublocations() == 0) {
    MV_LOG(11, "There is no any correct sublocations at the map\n");
    return NAV_RC_NO_FLOOR;
  }
  client->particleFilter.setFilterProperties(s);
  client->particleFilter.setMotionParameters(s.motion);
  nav.setCutoffRss(static_cast<double>(s.Cutoff_rss));
  nav.initializeGp();
  nav.initializeHistogram();
  client->sensorFusion.setAutoClearOldMeasurements(true);
  SensorFusion::Properties fp;
  fp.accCoef = s.sensorFusion.Fusion_acc_coef;
  fp.magnCoef = s.sensorFusion.Fusion_magn_coef;
  fp.lowPassTime = s.sensorFusion.Low_pass_time;
  // The low pass divides by lowPassTime + sample period and the blends by
  // coef + dt: values that are negative or not finite fall back to defaults.
  if (!std::isfinite(fp.accCoef) || fp.accCoef < 0.0) fp.accCoef = 1.0;
  if (!std::isfinite(fp.magnCoef) || fp.magnCoef < 0.0) fp.magnCoef = 1.0;
  if (!std::isfinite(fp.lowPassTime) || fp.lowPassTime < 0.0) {
    MV_LOG(11, "ERROR: Low_pass_time = %lf unusable, %lf used\n", fp.lowPassTime,
           kDefaultLowPassSec);
    fp.lowPassTime = kDefaultLowPassSec;
  }
  client->sensorFusion.setProperties(fp);
  client->smoothing.setTracking(behaviour.tracksOutput() ? kTrackingWalkingQ : 0.0);
  client->isNavigationInitialized = true;
  return 0;
}

// -------------------------------------------------------------- positioning

int Navigate(WScanMessage* message, ClientNavigationState* client, std::string* error) {
  if (client == nullptr || !IsLiveNavigationClient(client)) {
    SetError(error, "NULL client");
    MV_LOG(11, "ERROR: client == 0\n");
    return NAV_RC_NULL_CLIENT;
  }
  if (message == nullptr) {
    SetError(error, "NULL message");
    MV_LOG(11, "ERROR: message == 0\n");
    return NAV_RC_NO_SOLUTION;
  }
  LockGuard<Mutex> lock(client->mutex);
  Tick tick(message, client, error);
  if (!ReadMessageTime(tick)) return NAV_RC_BAD_TIME;
  FollowClockSteps(client, tick.unixTime);
  PlaceOnTimeBase(tick);
  StepOutcome out;
  if (!MapStopsPositioning(tick, out)) {
    if (const int rc = RestartAfterLongLoss(tick); rc != 0) return rc;
    ReadMessageReadings(tick);
    SizeSignalWindow(client);
    out = SolveSignals(tick);
    if (!out.toGps) out = PositionOnFloor(tick);
  }
  if (out.toGps) {
    if (const int rc = FallBackToGps(tick, out.rc); rc != 0) return rc;
  }
  RoutesAndZones(message, client);
  return 0;
}

void NavigateEnablePdr(ClientNavigationState* client, int sublocationId, double x, double y) {
  if (!Usable(client, "NavigateEnablePdr")) return;
  LockGuard<Mutex> lock(client->mutex);
  Navigation& nav = client->navigation;
  const int index = nav.getSublocIndexById(sublocationId);
  SublocationMap* floor = nav.getSublocationPtrById(sublocationId);
  if (index < 0 || floor == nullptr) {
    MV_LOG(11, "ERROR: there is no sublocation with id = %d\n", sublocationId);
    return;
  }
  // Also refuses NaN, which the plain comparisons would let through.
  if (!(x >= 0.0) || !(y >= 0.0) || !std::isfinite(x) || !std::isfinite(y)) {
    MV_LOG(11, "ERROR: Bad x = %lf y = %lf coordinates\n", x, y);
    return;
  }
  nav.mIsPdr = true;
  SublocationNavProperties props = floor->getProperties();
  props.Resampling_noise_meters = 1.0;
  props.Resampling_treshold_persantage = 50.0;
  ParticleFilter& pf = client->particleFilter;
  pf.setSublocationProperties(props);
  pf.setMotionParameters(nav.getNavigationProperties().motion);
  pf.setBmpState(std::as_const(*floor).getBmpState());
  pf.initializeParticles();
  pf.reinitializeParticles();
  pf.nulifyStopTime();
  pf.setDeadReckoning(true);
  client->smoothing.clear();
  nav.setCutoffRss(0.0);
  nav.setCurSublocInd(index);
  nav.getNavigationProperties().Dead_reckon_time = 1e9;
  nav.getNavigationProperties().Use_smoothing = false;
  pf.resampleAroundPoint(x, y, INITIAL_RESAMPLING_NOIZE);
  pf.getSolution();
  MV_LOG(11, "X = %lf Y = %lf id = %d\n", x, y, sublocationId);
}

void NavigateDisablePdr(ClientNavigationState* client) {
  if (!Usable(client, "NavigateDisablePdr")) return;
  LockGuard<Mutex> lock(client->mutex);
  const int rc = initClientNavigation(client);
  if (rc != 0) {
    MV_LOG(11, "ERROR: Unable to reinitialize navigation. ErrorCode = %d\n", rc);
  } else {
    MV_LOG(11, "PDR disabled\n");
  }
}

// ------------------------------------------------------ graphs and targets

void SetGraphTag(ClientNavigationState* client, const std::string& tag) {
  if (!Usable(client, "SetGraphTag")) return;
  LockGuard<Mutex> lock(client->mutex);
  client->graphTag = tag;
}

std::string GetGraphTag(ClientNavigationState* client) {
  if (!Usable(client, "GetGraphTag")) return std::string();
  LockGuard<Mutex> lock(client->mutex);
  return client->graphTag;
}

std::vector<std::string> GetGraphTags(ClientNavigationState* client) {
  std::vector<std::string> tags;
  if (!Usable(client, "GetGraphTags")) return tags;
  for (const RouteGraph& g : client->navigationMap.getGraphs()) tags.push_back(g.getTag());
  return tags;
}

std::string GetGraphDescription(const std::string& tag, ClientNavigationState* client) {
  if (!Usable(client, "GetGraphDescription")) return std::string();
  LockGuard<Mutex> lock(client->mutex);
  const RouteGraph* g = FindGraph(static_cast<const ClientNavigationState*>(client), tag);
  return g != nullptr ? g->getDescription() : std::string();
}

RoutePath MakeRoute(const std::string& tag, const LocationPoint& from, const LocationPoint& to,
                    ClientNavigationState* client) {
  if (!Usable(client, "MakeRoute")) return RoutePath();
  LockGuard<Mutex> lock(client->mutex);
  const RouteGraph* g = FindGraph(static_cast<const ClientNavigationState*>(client), tag);
  return g != nullptr ? g->getPath(from, to) : RoutePath();
}

RoutePath MakeRoute(const LocationPoint& from, const LocationPoint& to,
                    ClientNavigationState* client) {
  if (!Usable(client, "MakeRoute")) return RoutePath();
  LockGuard<Mutex> lock(client->mutex);
  return MakeRoute(GetGraphTag(client), from, to, client);
}

void AddTarget(const LocationPoint& target, ClientNavigationState* client) {
  if (!Usable(client, "AddTarget")) return;
  LockGuard<Mutex> lock(client->mutex);
  client->targets.push_back(target);
}

void CancelTargets(ClientNavigationState* client) {
  if (!Usable(client, "CancelTargets")) return;
  LockGuard<Mutex> lock(client->mutex);
  client->targets.clear();
}

int CountTargets(ClientNavigationState* client) {
  if (!Usable(client, "CountTargets")) return 0;
  LockGuard<Mutex> lock(client->mutex);
  return static_cast<int>(client->targets.size());
}

bool SetGraphParam(const std::string& tag, const std::string& name, const std::string& value,
                   ClientNavigationState* client) {
  if (!Usable(client, "SetGraphParam")) return false;
  LockGuard<Mutex> lock(client->mutex);
  RouteGraph* g = FindGraph(client, tag);
  return g != nullptr && g->setParam(name, value);
}

bool SetGraphParam(const std::string& name, const std::string& value,
                   ClientNavigationState* client) {
  if (!Usable(client, "SetGraphParam")) return false;
  LockGuard<Mutex> lock(client->mutex);
  return SetGraphParam(GetGraphTag(client), name, value, client);
}
