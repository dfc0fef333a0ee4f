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

// Steps 16 to 22 of a positioning step share these exits.
struct StepOutcome {
  int rc = 0;
  bool toGps = false;
};

// The radio's window stands for the walker where it was in the window's
// middle; the steps since then (each spread over the time to the next one)
// are how far it has gone on. In whole milliseconds, so that a walk positions
// alike on any time base.
void SetRadioLead(ClientNavigationState& client, int64_t nowMs) {
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
  client->particleFilter = ParticleFilter();
  client->navigation = Navigation();
  client->pedometer = Pedometer();
  client->recentSteps.clear();
  client->sensorFusion = SensorFusion();
  const EngineBehaviour& behaviour = client->navigationMap.behaviour();
  client->pedometer.setBehaviour(behaviour);
  client->sensorFusion.setBehaviour(behaviour);

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
  client->particleFilter.setBehaviour(behaviour);
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

  // Time of the message on the client's time base.
  const double t = message->tmMillisecond / 1000.0 + static_cast<double>(message->tmUnixTime);
  if (!std::isfinite(t) || t < kTimeBaseLeadSec + 1.0 || t >= kLastMessageTimeSec ||
      std::fabs(static_cast<double>(message->tmMillisecond)) > 1e6) {
    MV_LOG(11, "ERROR: deviceId:%s bad message time %lld.%d\n", client->deviceId.c_str(),
           static_cast<long long>(message->tmUnixTime), message->tmMillisecond);
    SetError(error, "Bad message time");
    return NAV_RC_BAD_TIME;
  }
  if (client->timeBase != 0) {
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

  Navigation* nav = &client->navigation;
  const int prevSub = nav->getCurSublocIndex();
  const int algorithm = nav->getNavigationProperties().Use_algorithm;

  if (client->timeBase == 0) {
    client->timeBase = static_cast<int64_t>(std::floor(t - kTimeBaseLeadSec));
  }
  double curTime = t - static_cast<double>(client->timeBase);
  const int64_t totalMs =
      (message->tmUnixTime - client->timeBase) * 1000 + message->tmMillisecond;
  const SensorTime curSensorTime(static_cast<uint64_t>(totalMs / 1000),
                                 static_cast<unsigned int>(totalMs % 1000));
  client->lastMessageTime = std::max(client->lastMessageTime, curTime);
  nav->setCurTime(curSensorTime);

  int rc = 0;
  bool toGps = false;
  bool strange = false;
  if (nav->getMapErrorCode() != 0) {
    MV_LOG(11, "ERROR: deviceId:%s there are no any sublocations at the map\n",
           client->deviceId.c_str());
    SetError(error, "No sublocations");
    rc = nav->getMapErrorCode();
    toGps = true;
  } else if (client->navigationMap.getNSublocations() == 0) {
    MV_LOG(11, "WARNING: strange. 0 sublocations, but MapErrorCode != 0\n");
    SetError(error, "Strange error");
    strange = true;
  }

  if (!toGps && !strange) {
    MV_LOG(11, "curTime = %lf packet number = %d\n", curTime, message->packetNumber);
    MV_LOG(11, "time min = %d sec = %d\n", message->tmMinute, message->tmSecond);
    checkConnectionTime(client, curTime);
    if (!client->isNavigationInitialized) {
      rc = initClientNavigation(client);
      if (rc != 0) {
        MV_LOG(11, "ERROR: Unable to reinitialize navigation. ErrorCode = %d\n", rc);
        SetError(error, "Unable to reinitialize navigation");
        return rc;
      }
      nav = &client->navigation;
      nav->setCurTime(curSensorTime);
    }
    SolutionInfo& solution = nav->mSolutionInfo;
    const CommonNavProperties& s = nav->getNavigationProperties();

    MV_LOG(11, "CurTime = %lf\n", curSensorTime.getTimeInSeconds());
    std::vector<AccessPoint> accessPoints;
    preprocessSensorMeasurements(client, message, accessPoints, curSensorTime);
    if (message->packetNumber % 5 == 0) {
      if (nav->getLastMeasTime() != 0.0) {
        MV_LOG(11, "Last RSSI measurement was %lf seconds ago\n",
               curTime - nav->getLastMeasTime());
      } else {
        MV_LOG(11, "There was no any RSSI measurements!\n");
      }
    }

    bool goodSignal = false;
    bool stepDone = false;
    int curSub = prevSub;
    if (client->navigationMap.behaviour().capsSignalWindow()) {
      // The fix is the mean over the window, so it trails a walker by about
      // half of it. Where steps carry the cloud between fixes a shorter
      // window costs little; radio alone needs the longer one. Where the short
      // window hears too few beacons it reaches back to the stored length.
      nav->setMeasAccumulationTime(client->sensorsStatus.isAccPresent
                                       ? std::min(client->settingsWindow, kKitMaxAccumulationSec)
                                       : client->settingsWindow);
      nav->setWindowReach(client->settingsWindow);
    }
    if (client->navigationMap.behaviour().leadsRadioByHalfItsWindow()) SetRadioLead(*client, totalMs);
    if (!nav->mIsPdr) {
      SensorTime windowTime = curSensorTime;
      nav->updateSignals(accessPoints, windowTime);
      if (algorithm == NAV_ALG_GP) {
        rc = nav->detectSublocation();
        if (rc != 0 && prevSub < 0) MV_LOG(11, "ERROR: Cannot detect sublocation in GP\n");
      } else {
        rc = nav->calculateCoordinates();
        if (rc != 0) {
          MV_LOG(11, "ERROR code = %d: no solution from navigation class\n", rc);
        } else {
          client->particleFilter.setGoodSignalSolution();
          goodSignal = true;
          solution.x = nav->getX();
          solution.y = nav->getY();
        }
        if (nav->getCurSublocIndex() < 0) {
          rc = NAV_RC_NO_SOLUTION;
          SetError(error, "No solution");
          toGps = true;
        }
      }
      if (!toGps) {
        curSub = nav->getCurSublocIndex();
        if (nav->isSublocChanged()) changeSublocation(client, curSub);
        if (algorithm == NAV_ALG_GP && curSub >= 0 && nav->getIsGoodSignals()) {
          executeGaussianProcesses(client, goodSignal);
        }
      }
    }

    if (!toGps) {
      MV_LOG(13, "Floor = %d time = %lf\n", curSub, curTime);
      if (curSub < 0) {
        client->pedometer.clearStepsHistory();
        rc = NAV_RC_NO_SOLUTION;
        SetError(error, "No solution");
        toGps = true;
      } else if (algorithm == NAV_ALG_ZONE) {
        // No filter runs for the zone method: its estimate is the position,
        // also where the output would take the filtered one.
        solution.filteredX = solution.x;
        solution.filteredY = solution.y;
        rc = fillOutput(message, solution, *nav, client);
        toGps = rc != 0;
      } else {
        while (s.Use_particle_filter && client->pedometer.getNumOfSteps() != 0 &&
               client->sensorsStatus.isGyroPresent) {
          makeStep(client, stepDone);
        }
        if (client->navigationMap.behaviour().leadsRadioByHalfItsWindow()) SetRadioLead(*client, totalMs);
        // How far the radio moves the cloud teaches the step length.
        double meanX = 0.0, meanY = 0.0;
        const bool dragged = s.Use_particle_filter && goodSignal &&
                             client->navigationMap.behaviour().calibratesStepLength() &&
                             client->particleFilter.cloudMean(&meanX, &meanY);
        if (s.Use_particle_filter) executeParticleFilter(client, solution, curTime);
        if (double x = 0.0, y = 0.0; dragged && client->particleFilter.cloudMean(&x, &y))
          client->pedometer.noteRadioDrag(x - meanX, y - meanY);
        if (nav->mIsPdr && client->pedometer.getTotalStepsNumber() == 0) {
          client->particleFilter.getSolution();
          solution = client->particleFilter.getSolutionInfo();
        }
        double radiusBefore = 0.0;
        const bool tracking = client->navigationMap.behaviour().tracksOutput();
        if (tracking) {
          // Every tick, so that the output moves on between radio windows
          // instead of jumping once per window.
          client->smoothing.setTracking(TrackingQ(*client));
          client->smoothing.setReadAhead(client->sensorsStatus.isAccPresent ? kReadAheadSec
                                                                            : kRadioOnlyReadAheadSec);
        }
        if (tracking) {
          // The smoothed track goes to the output only: the particle filter
          // takes its solution back on the next tick, and a smoothed value
          // fed back there would come out again as a new sample.
          SolutionInfo output = solution;
          if (s.Use_smoothing) performSmoothing(client->smoothing, output, curTime, radiusBefore);
          rc = fillOutput(message, output, *nav, client);
        } else {
          if (s.Use_smoothing && (goodSignal || stepDone || nav->getIsStop())) {
            performSmoothing(client->smoothing, solution, curTime, radiusBefore);
          }
          rc = fillOutput(message, solution, *nav, client);
        }
        toGps = rc != 0;
      }
    }
  }

  if (toGps) {
    if (!nav->getNavigationProperties().Use_gps) return rc;
    rc = fillGpsOutput(message, nav->mSolutionInfo, *nav, client);
    if (rc != 0) return rc;
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
