#include "venuesim/config_xml.h"

#include "venuesim/route_layout.h"
#include "venuesim/xml_text.h"

namespace venuesim {

std::string ConfigXml(const Venue& venue) {
  const VenueSpec& s = venue.setup;
  tinyxml2::XMLDocument doc;
  doc.InsertFirstChild(doc.NewDeclaration());
  tinyxml2::XMLElement* root = doc.NewElement("Location");
  root->SetAttribute("id", s.locationId);
  root->SetAttribute("name", s.locationName.c_str());
  doc.InsertEndChild(root);
  tinyxml2::XMLElement* description = root->InsertNewChildElement("Description");
  description->SetText(s.description.c_str());
  for (const VenueFloor& floor : venue.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", floor.id);
    sub->SetAttribute("name", floor.name.c_str());
    tinyxml2::XMLElement* files = sub->InsertNewChildElement("Files");
    tinyxml2::XMLElement* bmp = files->InsertNewChildElement("File");
    bmp->SetAttribute("type", "BMP");
    bmp->SetAttribute("name", Venue::BitmapName(floor.id).c_str());
    tinyxml2::XMLElement* png = files->InsertNewChildElement("File");
    png->SetAttribute("type", "PNG");
    png->SetAttribute("name", Venue::ImageName(floor.id).c_str());
    tinyxml2::XMLElement* metrics = sub->InsertNewChildElement("Metrics");
    metrics->SetAttribute("width_meters", FormatDouble(s.width).c_str());
    metrics->SetAttribute("height_meters", FormatDouble(s.height).c_str());
    tinyxml2::XMLElement* gps = sub->InsertNewChildElement("GPS");
    gps->SetAttribute("latitude_deg", FormatDouble(s.latitude).c_str());
    gps->SetAttribute("longitude_deg", FormatDouble(s.longitude).c_str());
    gps->SetAttribute("azimuth_deg", FormatDouble(s.azimuth).c_str());
    gps->SetAttribute("magnetic_declination_deg", FormatDouble(s.magneticDeclination).c_str());
    gps->SetAttribute("altitude", FormatDouble(FloorAltitude(floor.id)).c_str());
  }
  AddGraphFileEntry(root);
  return DocumentText(doc);
}

}  // namespace venuesim
