// The navigation client: one per loaded map archive. It owns the parsed map,
// the signal side (Navigation), the particle filter, pedometer, output
// smoothing and sensor fusion, the route targets and the chosen route graph,
// and is driven through the plain functions below: creation and destruction,
// one positioning step per measurement message (Navigate), dead reckoning on
// and off, and the route-graph and target functions.
//
// Threads: every function that touches a client (all but GetGraphTags) holds
// the client's recursive mutex for its whole run, so they may be called from
// different threads. Destruction is the exception: the owner must make sure
// that no other thread is inside a function on that client when it calls
// DeleteNavigationClient.
//
// A null client, or a pointer to a client that has already been destroyed,
// is refused with a log line: Navigate returns 31, functions with a result
// give an empty one, the others do nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "server/route_path.h"
#include "server/utils.h"
#include "server/wscan.h"
#include "wifipos/bmp/particle_filter_methods.h"
#include "wifipos/motion/pedometer.h"
#include "wifipos/motion/sensor_fusion.h"
#include "wifipos/motion/smoothing.h"
#include "wifipos/navigation_class/navigation.h"
#include "wifipos/navigation_map/navigation_map.h"

// Result codes of the navigation interface besides those of the map readers.
constexpr int NAV_RC_NO_SOLUTION = 4;
constexpr int NAV_RC_NO_FLOOR = 9;
constexpr int NAV_RC_NULL_CLIENT = 31;
// Kept for callers that test for it; Navigate no longer returns it: a clock
// that steps back a little is absorbed into the time base.
constexpr int NAV_RC_STALE_MESSAGE = 32;
// A message time that cannot be put on the client's time base (not finite,
// or beyond what the time base can hold).
constexpr int NAV_RC_BAD_TIME = 33;

// Spread of the particles around the start point of dead reckoning, metres.
constexpr double INITIAL_RESAMPLING_NOIZE = 1.0;

class ClientNavigationState {
 public:
  // Which motion sensors of the phone are alive, and the newest sample time
  // seen of each kind (101 acc, 102 magn, 103 gyro, 106).
  struct ClientSensorsStatus {
    bool isAccPresent = false;
    bool isMagnPresent = false;
    bool isGyroPresent = false;
    bool isSensor106Present = false;
    bool isAllPresent = false;
    SensorTime accTime;
    SensorTime magnTime;
    SensorTime gyroTime;
    SensorTime sensor106Time;
  };

  ClientNavigationState();
  ~ClientNavigationState();
  ClientNavigationState(const ClientNavigationState&) = delete;
  ClientNavigationState& operator=(const ClientNavigationState&) = delete;

  // Same device: equal deviceId and deviceModel; nothing else is compared.
  bool operator==(const ClientNavigationState& other) const {
    return deviceId == other.deviceId && deviceModel == other.deviceModel;
  }

  // Updates the presence flags from the samples of one message; a kind whose
  // newest sample is more than 2.5 s from now counts as absent.
  void checkSensorPresense(std::vector<SensorValue>& values, const SensorTime& now);

  // Must stay the first member: the SDK layer locks a client through its
  // handle before destroying it.
  Mutex mutex;
  std::string deviceId;
  std::string deviceModel;
  bool isTracking = false;
  // The kit's behaviour unless the archive parameters ask for the original
  // one ("defaults=classic;"); the components below are made anew with the
  // map's behaviour once it is parsed (initClientNavigation).
  NavigationMap navigationMap{EngineBehaviour::kit()};
  Navigation navigation{navigationMap.behaviour()};
  ParticleFilter particleFilter{navigationMap.behaviour()};
  Pedometer pedometer{navigationMap.behaviour()};
  Smoothing smoothing;
  SensorFusion sensorFusion{navigationMap.behaviour()};
  // 0 standing, 1 standing and turning, 2 walking, 3 walking and turning.
  unsigned int motionState = 0;
  bool isMapInitialized = false;
  bool isNavigationInitialized = false;
  // Whole seconds subtracted from every message time; 0: not chosen yet.
  // 64 bits, so that message times past 2038 go on positioning.
  int64_t timeBase = 0;
  std::string graphTag = "default";
  std::vector<LocationPoint> targets;
  // The zones of the last output and their floor, for the kit's zone
  // hysteresis.
  std::vector<Zone> lastZones;
  int lastZonesFloor = 0;
  ClientSensorsStatus sensorsStatus;
  // Time of the newest message accepted, seconds on the time base; a later
  // message earlier than this means the phone's clock stepped back.
  double lastMessageTime = 0.0;
  // Seconds of the signal window the settings ask for (usable ones).
  double settingsWindow = 1.5;
  // The last steps the cloud was moved by: when each began (ms on the time
  // base) and how far it went (m on the floor), for the radio lead.
  struct StepMove {
    int64_t ms;
    double dx, dy;
  };
  std::deque<StepMove> recentSteps;
};

// Steps kept for the radio lead: more than a window's worth.
constexpr size_t kRecentStepsKept = 16;

// True while the object at this address is a constructed, not yet destroyed
// client. Used to refuse handles of destroyed clients; an address reused by a
// new client counts as that new client.
bool IsLiveNavigationClient(const ClientNavigationState* client);

// --- creation and initialisation --------------------------------------------

// Null for a null or empty archive path or device id, or when the map cannot
// be loaded or has no usable floor. The caller owns the result.
ClientNavigationState* CreateNavigationClient(const char* archivePath, const char* deviceId,
                                              const char* deviceModel, bool tracking,
                                              const char* parameters);
// Nothing for null. No other thread may be inside a function on the client.
void DeleteNavigationClient(ClientNavigationState* client);

int initClientMapAndNavigation(ClientNavigationState* client, const char* archivePath,
                               const char* parameters);
int initClientMap(const char* archivePath, const char* parameters,
                  ClientNavigationState* client);
// 0, or 9 when the map has no floor.
int initClientNavigation(ClientNavigationState* client);

// --- positioning -------------------------------------------------------------

// One positioning step. 0 on success; see the NAV_RC_ codes and the map error
// codes (7, 8, 30) for failures. error, when given, receives a short text on
// failure and is never cleared.
int Navigate(WScanMessage* message, ClientNavigationState* client, std::string* error);
// Dead reckoning from a known point of a floor (x, y >= 0).
void NavigateEnablePdr(ClientNavigationState* client, int sublocationId, double x, double y);
void NavigateDisablePdr(ClientNavigationState* client);

// --- route graphs and targets ------------------------------------------------

void SetGraphTag(ClientNavigationState* client, const std::string& tag);
std::string GetGraphTag(ClientNavigationState* client);
// Takes no lock: the graphs do not change after loading.
std::vector<std::string> GetGraphTags(ClientNavigationState* client);
std::string GetGraphDescription(const std::string& tag, ClientNavigationState* client);
RoutePath MakeRoute(const std::string& tag, const LocationPoint& from, const LocationPoint& to,
                    ClientNavigationState* client);
RoutePath MakeRoute(const LocationPoint& from, const LocationPoint& to,
                    ClientNavigationState* client);
void AddTarget(const LocationPoint& target, ClientNavigationState* client);
void CancelTargets(ClientNavigationState* client);
int CountTargets(ClientNavigationState* client);
bool SetGraphParam(const std::string& tag, const std::string& name, const std::string& value,
                   ClientNavigationState* client);
bool SetGraphParam(const std::string& name, const std::string& value,
                   ClientNavigationState* client);
