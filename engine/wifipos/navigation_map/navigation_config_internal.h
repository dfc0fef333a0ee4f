// What the settings member's readers share (internal): the words of the
// word-valued settings with their codes, and the text helpers.
#pragma once

#include <cstddef>
#include <string>

#include <tinyxml2.h>

#include "wifipos/navigation_map/navigation_settings.h"

namespace navigation_config_internal {

constexpr int kLogLevel = 11;

struct WordCode {
  const char* word;
  int code;
};

// Current form: compared after lower-casing.
const WordCode kSignalWords[] = {{"both", NAV_SIGNALS_BOTH}, {"wifi", NAV_SIGNALS_WIFI},
                                 {"ble", NAV_SIGNALS_BLE}};
const WordCode kAlgorithmWords[] = {{"knn", NAV_ALG_KNN},         {"gp", NAV_ALG_GP},
                                    {"histogram", NAV_ALG_HISTOGRAM}, {"gauss", NAV_ALG_GAUSS},
                                    {"trilat", NAV_ALG_TRILAT},   {"rp", NAV_ALG_RP},
                                    {"zone", NAV_ALG_ZONE},       {"zones", NAV_ALG_ZONE}};
const WordCode kMeanModelWords[] = {
    {"const", GP_MEAN_CONST}, {"linear", GP_MEAN_LINEAR}, {"log", GP_MEAN_LOG}};
const WordCode kGpModeWords[] = {
    {"full", GP_MODE_FULL}, {"normal", GP_MODE_NORMAL}, {"fixed", GP_MODE_FIXED}};
const WordCode kHistogramWords[] = {{"weibull", HISTOGRAM_WEIBULL}, {"binned", HISTOGRAM_BINNED}};

// Legacy form: exact, case-sensitive.
const WordCode kLegacyAlgorithmWords[] = {
    {"KNN", NAV_ALG_KNN},         {"knn", NAV_ALG_KNN},      {"GP", NAV_ALG_GP},
    {"gp", NAV_ALG_GP},           {"HISTOGRAM", NAV_ALG_HISTOGRAM},
    {"histogram", NAV_ALG_HISTOGRAM}, {"GAUSS", NAV_ALG_GAUSS}, {"TRILAT", NAV_ALG_TRILAT},
    {"RP", NAV_ALG_RP},           {"ZONE", NAV_ALG_ZONE},    {"Zone", NAV_ALG_ZONE}};
const WordCode kLegacyGpModeWords[] = {
    {"Full", GP_MODE_FULL}, {"Fixed", GP_MODE_FIXED}, {"Normal", GP_MODE_NORMAL}};
const WordCode kLegacyHistogramWords[] = {{"Binned", HISTOGRAM_BINNED},
                                          {"Weibull", HISTOGRAM_WEIBULL}};

template <size_t N>
bool codeOfWord(const WordCode (&table)[N], const std::string& word, int& code) {
  for (const WordCode& w : table) {
    if (word == w.word) {
      code = w.code;
      return true;
    }
  }
  return false;
}

template <size_t N>
const char* wordOfCode(const WordCode (&table)[N], int code) {
  for (const WordCode& w : table)
    if (w.code == code) return w.word;
  return nullptr;
}

template <size_t N>
std::string wordList(const WordCode (&table)[N]) {
  std::string list;
  for (const WordCode& w : table) {
    if (!list.empty()) list += ", ";
    list += w.word;
  }
  return list;
}

inline std::string lowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

inline std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  const char* ws = " \t\n\r\v\f";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// A flag written as a word. "true" must not read as false just because it is
// not a number.
inline bool flagWord(const char* text, bool& value) {
  std::string t = lowerCase(trimmed(text));
  if (t == "true") {
    value = true;
    return true;
  }
  if (t == "false") {
    value = false;
    return true;
  }
  return false;
}

// The legacy form's reader: values are attributes. -1 for a missing element,
// which changes nothing.
int fillCommonNavProperties(const tinyxml2::XMLElement* e, CommonNavProperties& p);

}  // namespace navigation_config_internal
