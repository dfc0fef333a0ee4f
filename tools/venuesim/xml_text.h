// Number formatting and document printing shared by the member writers.
#pragma once

#include <string>

#include <tinyxml2.h>

namespace venuesim {

// Shortest decimal text that reads back as exactly v ("60", "0.1", "-62.5").
std::string FormatDouble(double v);
// v rounded to `decimals` places, written in the shortest form of that value.
std::string FormatRounded(double v, int decimals);
// The value FormatRounded writes, as a double.
double RoundTo(double v, int decimals);

// A new document with the XML declaration and a root element "Location" with
// the given id; returns the root.
tinyxml2::XMLElement* StartLocationDocument(tinyxml2::XMLDocument& doc, int locationId);

// The document as text (UTF-8, indented).
std::string DocumentText(const tinyxml2::XMLDocument& doc);

}  // namespace venuesim
