// The in-memory model of one location, loaded from its map archive: the two
// settings records, the archive member names, zones, route graphs, the
// location's identity and version, and its floors. parseAllFiles reads
// config.xml here and calls the readers of the other members in a fixed order.
//
// Result codes of the readers: 0 success; 25 no archive path, an archive that
// cannot be opened or a member that is missing, empty or damaged; 21 a member
// that does not parse as XML or has the wrong root; 5 missing or invalid
// content; 9 a missing child or attribute, a bad transmitter entry or no usable
// floor; 10 a bad floor bitmap; 1 (parseAllFiles only) the floor bitmaps,
// images or version could not be loaded.
#pragma once

#include <string>
#include <vector>

#include <tinyxml2.h>

#include "server/route_graph/route_graph.h"
#include "server/zones/zones.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/navigation_map/navigation_settings.h"
#include "wifipos/navigation_map/sublocation_map.h"

// The archive path and the names of the archive members; every name can be
// overridden through the parameters string under the key of the same name.
struct NavigationFiles {
  std::string pathToArchive;
  std::string configFile = "config.xml";
  std::string barriersFile = "barriers.xml";
  std::string navigationFile = "navigation.xml";
  std::string trackingFile = "tracking.xml";
  std::string measuringFile = "measure.xml";
  std::string beaconsFile = "beacons.xml";
  std::string locatorsFile = "locators.xml";
  std::string gpFile = "gp.xml";
  std::string graphFile = "graph.xml";
  std::string zonesFile = "zones.xml";
  std::string versionFile = "version.txt";
};

class NavigationMap {
 public:
  // An empty map that runs the given behaviour unless its parameters ask
  // for another.
  explicit NavigationMap(const EngineBehaviour& behaviour) : behaviour_(behaviour) {}
  NavigationMap(const NavigationMap&) = default;
  NavigationMap& operator=(const NavigationMap&) = default;

  // Null logs and returns 25.
  int setPathToNavArchive(const char* path);
  // "key=value;" pairs override member names; a pair not ended by ';', with
  // two '=' or with an unknown key is ignored. "defaults=classic;" asks for the
  // engine's original behaviour wherever the kit has since improved on it
  // (see engine_behaviour.h), "defaults=kit;" the kit's; without such a pair
  // the map keeps the behaviour it was made with.
  // Always 0.
  int setParameters(const char* text);
  // The behaviour the map was made with or its parameters asked for; the
  // original one replays earlier recorded figures unchanged.
  const EngineBehaviour& behaviour() const { return behaviour_; }
  // Loads the location. A tracking load stops after the settings, locators and
  // floor bitmaps. 0 or the first fatal code.
  int parseAllFiles(bool tracking);

  // Reads one member whole into a newly malloc'ed, zero-terminated buffer of
  // size + 1 bytes (release with free). 25 when the path is null, the archive
  // does not open, or the member is missing, empty or cannot be read in full;
  // data is untouched then. *size receives the member size once the archive
  // opened.
  int getDataFromZip(const char* archivePath, const char* memberName, char*& data, int* size);
  // Parses a member text and checks its root: "Location" with an id equal to
  // this location's id. 0, 21 (no parse, wrong root) or 5 (id missing/other).
  int parseXmlTopNodes(const char* text, tinyxml2::XMLDocument& document);
  // From a "Sublocation" element, moves element to the first Sublocation
  // sibling (itself included) whose id is the floor's. 0, 5 or 9.
  int findSublocationHandle(tinyxml2::XMLElement*& element, const SublocationMap& floor);

  int parseConfigXML();
  int parseVersion();
  int getImages();

  // Transmitters: beacons.xml and locators.xml. A floor with a bad entry is
  // removed from the map.
  int parseBeaconsXML();
  int parseLocatorsXML();
  int fillBeaconsOnFloor(tinyxml2::XMLElement* sublocation, SublocationMap& floor);
  int fillLocatorsOnFloor(tinyxml2::XMLElement* sublocation, SublocationMap& floor);
  int parseBeaconNode(const tinyxml2::XMLElement* element, SublocationMap& floor);
  int parseLocatorNode(const tinyxml2::XMLElement* element, SublocationMap& floor);
  // Reads a transmitter member and fills each floor from its "Sublocation"
  // element with fill; a floor whose fill fails is removed. 0, the member's
  // read or parse code, 5 or 9.
  int parseTransmittersXML(const std::string& memberName,
                           int (NavigationMap::*fill)(tinyxml2::XMLElement*, SublocationMap&));

  // Walkable-area bitmap of every floor: 0, 10 for a bad bitmap or the
  // archive read's code.
  int parseBmp();

  // Readers kept in their own source files.
  int parseNavigationConfigXML(const std::string& memberName, CommonNavProperties& props);
  // Writes a settings member into the archive; part of the interface,
  // nothing in the kit calls it.
  int createNavFileInArchieve(const std::string& content, const std::string& memberName);
  int parseSignalsMapXML();
  int clearUnknownBeacons();
  int parseGpXML();
  int parseGraph(std::string* error);
  int parseZones(std::string* error);

  // Location identity.
  int getLocationId() const { return locationId_; }
  void setLocationId(int id) { locationId_ = id; }
  std::string getLocationName() const { return name_; }
  std::string getLocationDescription() const { return description_; }
  int getLocationVersion() const { return version_; }

  // Settings, member names, zones and route graphs.
  CommonNavProperties& getNavigationProperties() { return navigation_; }
  const CommonNavProperties& getNavigationProperties() const { return navigation_; }
  void setNavigationProperties(const CommonNavProperties& p) { navigation_ = p; }
  CommonNavProperties& getTrackingProperties() { return tracking_; }
  const CommonNavProperties& getTrackingProperties() const { return tracking_; }
  NavigationFiles& getFiles() { return files_; }
  const NavigationFiles& getFiles() const { return files_; }
  ZoneMap& getZones() { return zones_; }
  const ZoneMap& getZones() const { return zones_; }
  std::vector<RouteGraph>& getGraphs() { return graphs_; }
  const std::vector<RouteGraph>& getGraphs() const { return graphs_; }

  // Floors, in config.xml order.
  unsigned getNSublocations() const { return static_cast<unsigned>(sublocations_.size()); }
  std::vector<SublocationMap>& getSublocationsVector() { return sublocations_; }
  const std::vector<SublocationMap>& getSublocationsVector() const { return sublocations_; }
  // Null (with a log line) for an index at or beyond the number of floors.
  SublocationMap* getSublocationPtrByIndex(unsigned index);
  const SublocationNavProperties* getSublocPropertiesPtrByIndex(unsigned index) const;
  // The first floor with that id, or null (with a log line).
  SublocationMap* getSublocationPtrById(int id);
  // Part of the interface; nothing in the kit calls it.
  const SublocationNavProperties* getSublocPropertiesPtrById(int id) const;
  // Index of the first floor with that id; an unknown id logs and gives 0.
  int getSublocIndexById(int id) const;
  // 0 with *out set, or -1 for an index out of range. Part of the
  // interface; nothing in the kit calls it.
  int getSublocationPtr(const SublocationMap** out, unsigned index) const;

  void addSublocation(const SublocationMap& floor);
  // Remove one floor, later floors move down; the iterator at the removed
  // position (end() and nothing removed for a position out of range).
  std::vector<SublocationMap>::iterator removeSublocation(int index);
  std::vector<SublocationMap>::iterator removeSublocation(
      std::vector<SublocationMap>::iterator& position);
  // Removes the floor at index and steps index back by one (wrapping below 0),
  // so that a loop which then advances the index visits the floor that moved
  // into the removed one's place. Returns the new index.
  unsigned int deleteBadFloor(unsigned int& index);

 private:
  CommonNavProperties navigation_;
  CommonNavProperties tracking_;
  NavigationFiles files_;
  EngineBehaviour behaviour_;
  ZoneMap zones_;
  std::vector<RouteGraph> graphs_;
  int locationId_ = 0;
  std::string name_;
  std::string description_;
  std::vector<SublocationMap> sublocations_;
  int version_ = 0;
};
