#include "venuesim/beacons_xml.h"

#include "venuesim/propagation.h"
#include "venuesim/xml_text.h"

namespace venuesim {

double WrittenBeaconA(const VenueBeacon& beacon) { return RoundTo(beacon.A, 2); }
double WrittenBeaconB(const VenueBeacon& beacon) { return RoundTo(EngineSlope(beacon.B), 4); }

std::string BeaconsXml(const Venue& venue) {
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  for (const VenueFloor& floor : venue.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", floor.id);
    for (const VenueBeacon& b : floor.beacons) {
      tinyxml2::XMLElement* e = sub->InsertNewChildElement("beacon");
      e->SetAttribute("id", b.baseId);
      e->SetAttribute("kx", FormatDouble(b.kx).c_str());
      e->SetAttribute("ky", FormatDouble(b.ky).c_str());
      e->SetAttribute("A", FormatDouble(WrittenBeaconA(b)).c_str());
      e->SetAttribute("B", FormatDouble(WrittenBeaconB(b)).c_str());
      e->SetAttribute("power", b.power);
      e->SetAttribute("battery", b.battery);
      e->SetAttribute("uuid", b.uuid.c_str());
      e->SetAttribute("name", b.name.c_str());
      e->SetAttribute("major", b.major);
      e->SetAttribute("minor", b.minor);
      e->SetAttribute("status", b.status.c_str());
    }
  }
  return DocumentText(doc);
}

}  // namespace venuesim
