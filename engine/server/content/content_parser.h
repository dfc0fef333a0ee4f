// Parsers of the content server's XML lists. Pure functions; any thread.
#pragma once

#include <map>
#include <string>
#include <utility>

// Location id -> (title, archive version). ok (when given) is false when the
// root is missing or not <data>.
std::map<int, std::pair<std::string, int>> ParseMapsXml(const std::string& text, bool* ok = nullptr);
// Archive version -> file path.
std::map<int, std::string> ParseVersionsXml(const std::string& text, bool* ok = nullptr);
