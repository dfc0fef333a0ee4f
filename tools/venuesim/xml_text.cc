#include "venuesim/xml_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace venuesim {

std::string FormatDouble(double v) {
  if (!std::isfinite(v)) return "0";
  if (v == 0.0) return "0";  // also folds -0
  char buf[400];
  // Plain decimals read best; exponents only where no short plain form exists.
  if (std::fabs(v) < 1e15 && std::fabs(v) >= 1e-6) {
    for (int decimals = 0; decimals <= 17; ++decimals) {
      std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
      if (std::strtod(buf, nullptr) == v) return buf;
    }
  }
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

double RoundTo(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  const double r = std::round(v * scale) / scale;
  return r == 0.0 ? 0.0 : r;
}

std::string FormatRounded(double v, int decimals) { return FormatDouble(RoundTo(v, decimals)); }

tinyxml2::XMLElement* StartLocationDocument(tinyxml2::XMLDocument& doc, int locationId) {
  doc.InsertFirstChild(doc.NewDeclaration());
  tinyxml2::XMLElement* root = doc.NewElement("Location");
  root->SetAttribute("id", locationId);
  doc.InsertEndChild(root);
  return root;
}

std::string DocumentText(const tinyxml2::XMLDocument& doc) {
  tinyxml2::XMLPrinter printer;
  doc.Print(&printer);
  return std::string(printer.CStr(), printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0);
}

}  // namespace venuesim
