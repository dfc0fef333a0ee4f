// Owner of the engine's navigation client: creates it over a map archive, runs
// the positioning step on it, switches dead reckoning, destroys it, describes
// the loaded location and converts floor coordinates to and from degrees.
//
// Threads: navigate() runs on the navigation tick's thread; creation and
// clearClient() normally run under the coordinator's mutex, but every
// operation is safe for concurrent use: clearClient() waits for a step or a
// graph call in progress and no call reaches a destroyed client; a creation
// publishes its client, graph engine and description in one step, so
// whatever races it, the three always belong to one client. No callbacks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/marvisto_error.h"
#include "Navigation/location_info.h"
#include "Navigation/m_graph_engine.h"
#include "Navigation/navigation_client.h"
#include "platform/mutex.h"
#include "server/wscan.h"

class MNavigationEngine {
 public:
  MNavigationEngine() = default;  // init: no client, no graph engine, no description
  ~MNavigationEngine();
  MNavigationEngine(const MNavigationEngine&) = delete;
  MNavigationEngine& operator=(const MNavigationEngine&) = delete;

  // The positioning step; on a non-zero status a given error receives it in
  // the kit's domain with the engine's text. Returns the status.
  int32_t navigate(WScanMessage& message, std::optional<platform::Error>* error);
  // Destroys any previous client first (once the archive is known to exist).
  // Texts of the description are UTF-8 (other bytes become U+FFFD).
  // Errors: 2 no file at the path (nothing changes), 3 the engine refused it.
  void createNavigationClient(const std::string& path, const std::string& clientId,
                              const std::string& model, std::optional<platform::Error>* error);
  void clearClient();
  void enablePDR(int32_t sublocation, double x, double y);
  void disablePDR();
  void fillLocationClass(const std::string& path);

  // Keys "latitude" and "longitude"; the floor's azimuth is given as is.
  static std::map<std::string, double> localToGps(double latitude, double longitude,
                                                  double azimuth, double x, double y);
  // Keys "x" and "y", metres from the anchor.
  static std::map<std::string, double> gpsToLocal(double anchorLatitude, double anchorLongitude,
                                                  double azimuth, double latitude,
                                                  double longitude);

  std::shared_ptr<MNavigationClient> client();
  void setClient(std::shared_ptr<MNavigationClient> client);
  std::shared_ptr<MGraphEngine> graphEngine();
  // Offered to hosts; the kit sets the graph engine with the client it
  // creates and does not call this.
  void setGraphEngine(std::shared_ptr<MGraphEngine> graphEngine);
  std::shared_ptr<const MLocationInfo> locationInfo();
  void setLocationInfo(std::shared_ptr<const MLocationInfo> info);

 private:
  platform::Mutex mutex_;  // guards the three fields, never held across an engine call
  std::shared_ptr<MNavigationClient> client_ GUARDED_BY(mutex_);
  std::shared_ptr<MGraphEngine> graphEngine_ GUARDED_BY(mutex_);
  std::shared_ptr<const MLocationInfo> locationInfo_ GUARDED_BY(mutex_);
};
