#include "venuesim/measure_xml.h"

#include <cstdio>

#include "venuesim/rng.h"
#include "venuesim/xml_text.h"

namespace venuesim {

std::string HistogramText(const std::map<int, int>& histogram) {
  std::string text;
  char buf[32];
  for (const auto& [level, count] : histogram) {
    std::snprintf(buf, sizeof buf, "%s%d:%d", text.empty() ? "" : " ", level, count);
    text += buf;
  }
  return text;
}

std::string SurveyDeviceModel() { return "venuesim"; }

std::string SurveyDeviceId(const VenueSpec& setup) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "SIM-%016llX",
                static_cast<unsigned long long>(DeriveSeed(setup.seed, {0x444556ULL})));
  return buf;
}

std::string MeasureXml(const Venue& venue) {
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  const std::string model = SurveyDeviceModel(), device = SurveyDeviceId(venue.setup);
  for (const VenueFloor& floor : venue.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", floor.id);
    for (const SurveyPoint& p : floor.points) {
      tinyxml2::XMLElement* e = sub->InsertNewChildElement("point");
      e->SetAttribute("name", p.name.c_str());
      e->SetAttribute("deviceModel", model.c_str());
      e->SetAttribute("deviceId", device.c_str());
      e->SetAttribute("kx", FormatDouble(p.kx).c_str());
      e->SetAttribute("ky", FormatDouble(p.ky).c_str());
      e->SetAttribute("quality", "1");
      e->SetAttribute("duration", p.durationMs);
      e->SetAttribute("status", "ok");
      for (const SurveyEntry& entry : p.entries) {
        tinyxml2::XMLElement* x = e->InsertNewChildElement("entry");
        x->SetAttribute("type", "BEACON");
        x->SetAttribute("bssid", entry.key.c_str());
        x->SetAttribute("power", entry.power);
        x->SetAttribute("battery", entry.battery);
        x->SetAttribute("value", HistogramText(entry.histogram).c_str());
      }
      tinyxml2::XMLElement* magnet = e->InsertNewChildElement("entry");
      magnet->SetAttribute("type", "MAGNET");
      magnet->SetAttribute("value", FormatDouble(p.magnet).c_str());
    }
  }
  return DocumentText(doc);
}

}  // namespace venuesim
