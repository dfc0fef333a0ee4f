#include "server/wscan.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/utils.h"

namespace {

// Appends printf-style text of any length (a long device id or argument is
// neither cut nor allowed to overflow a fixed buffer).
void AppendF(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendF(std::string& out, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n > 0) {
    if (static_cast<size_t>(n) < sizeof small) {
      out.append(small, static_cast<size_t>(n));
    } else {
      size_t old = out.size();
      out.resize(old + static_cast<size_t>(n) + 1);
      std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, args);
      out.resize(old + static_cast<size_t>(n));
    }
  }
  va_end(args);
}


const char* DeviceTypeName(int type) {
  switch (type) {
    case 1:
      return "windows";
    case 2:
      return "android";
    case 3:
      return "iOS";
    case 4:
      return "raspberry";
    default:
      return "";
  }
}

const char* SensorName(int code) {
  switch (code) {
    case SENSOR_ACCELEROMETER:
      return "ACCELEROMETER";
    case SENSOR_MAGNETOMETER:
      return "MAGNETOMETER";
    case SENSOR_GYROSCOPE:
      return "GYROSCOPE";
    case SENSOR_ORIENTATION:
      return "ORIENTATION";
    case SENSOR_LOCATION:
      return "LOCATION";
    case SENSOR_GRAVITY:
      return "GRAVITY";
    case SENSOR_USER_ACC:
      return "USER_ACC";
    default:
      return "";
  }
}

// Codes 106..108 are written but not read back: recorded logs and their
// replays rely on that.
int SensorCodeOf(const char* name) {
  if (std::strcmp(name, "ACCELEROMETER") == 0) return SENSOR_ACCELEROMETER;
  if (std::strcmp(name, "MAGNETOMETER") == 0) return SENSOR_MAGNETOMETER;
  if (std::strcmp(name, "GYROSCOPE") == 0) return SENSOR_GYROSCOPE;
  if (std::strcmp(name, "ORIENTATION") == 0) return SENSOR_ORIENTATION;
  if (std::strcmp(name, "LOCATION") == 0) return SENSOR_LOCATION;
  return 0;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The conversions below behave as the scanf conversions "%d", "%lld" and
// "%lf": leading blanks skipped, the readable prefix taken, the target left
// as it was when nothing is readable. They are hand-made because the reader
// spent most of its own time in strtod / strtol.

// "%lld"-like; returns the end of the number or null.
const char* ScanInteger(const char* s, long long* out) {
  while (IsSpace(*s)) ++s;
  const char* p = s;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  const char* digits = p;
  unsigned long long v = 0;
  while (IsDigit(*p) && p - digits < 18) v = v * 10 + static_cast<unsigned>(*p++ - '0');
  if (p == digits) return nullptr;
  if (IsDigit(*p)) {
    // Long enough to overflow: let strtoll saturate the way scanf does.
    char* end = nullptr;
    *out = std::strtoll(s, &end, 10);
    return end;
  }
  *out = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  return p;
}

bool ScanInt(const char* s, int* out) {
  long long v = 0;
  if (ScanInteger(s, &v) == nullptr) return false;
  *out = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
  return true;
}

bool ScanInt64(const char* s, int64_t* out) {
  long long v = 0;
  if (ScanInteger(s, &v) == nullptr) return false;
  *out = v;
  return true;
}

// "%lf"-like; returns the end of the number or null. Plain decimals of up to
// 15 significant digits (all that the writer produces) are exact as
// digits / 10^k, one correctly rounded division of two exact doubles, so the
// result is the one strtod gives; anything else goes through from_chars, or
// strtod for hexadecimal and out-of-range numbers.
const char* ScanNumber(const char* s, double* out) {
  static const double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  while (IsSpace(*s)) ++s;
  const char* p = s;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  {
    const char* q = p;
    unsigned long long mantissa = 0;
    int digits = 0;
    int fraction = 0;
    while (IsDigit(*q)) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
      ++digits;
    }
    if (*q == '.') {
      ++q;
      while (IsDigit(*q)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*q++ - '0');
        ++digits;
        ++fraction;
      }
    }
    const char next = *q;
    const bool plain = next != 'e' && next != 'E' && next != 'x' && next != 'X';
    if (digits > 0 && digits <= 15 && plain) {
      double v = static_cast<double>(mantissa) / kPow10[fraction];
      *out = negative ? -v : v;
      return q;
    }
  }
  const bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  if (!hex && *p != '+' && *p != '-') {
    const char* end = p;
    while (*end) ++end;
    double v = 0.0;
    std::from_chars_result r = std::from_chars(p, end, v, std::chars_format::general);
    if (r.ec == std::errc()) {
      *out = negative ? -v : v;
      return r.ptr;
    }
    if (r.ec == std::errc::invalid_argument) return nullptr;
  }
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (end == s) return nullptr;
  *out = v;
  return end;
}

bool ScanDouble(const char* s, double* out) { return ScanNumber(s, out) != nullptr; }

// The message time, read as sscanf reads "%04d-%02d-%02d %02d:%02d:%02d.%03d":
// each field at most that many characters (a sign included), the blank
// matching any run of blanks, reading stopping at the first mismatch with
// the later fields left as they were.
void ScanMessageTime(const char* s, int* fields[7]) {
  static const int kWidth[7] = {4, 2, 2, 2, 2, 2, 3};
  static const char kAfter[7] = {'-', '-', ' ', ':', ':', '.', '\0'};
  for (int i = 0; i < 7; ++i) {
    while (IsSpace(*s)) ++s;
    int width = kWidth[i];
    bool negative = false;
    if (*s == '+' || *s == '-') {
      negative = *s == '-';
      ++s;
      --width;
    }
    if (width == 0 || !IsDigit(*s)) return;
    int v = 0;
    while (width > 0 && IsDigit(*s)) {
      v = v * 10 + (*s++ - '0');
      --width;
    }
    *fields[i] = negative ? -v : v;
    const char sep = kAfter[i];
    if (sep == ' ') {
      while (IsSpace(*s)) ++s;
    } else if (sep != '\0') {
      if (*s != sep) return;
      ++s;
    }
  }
}

// "(%lf, %lf, %lf, %lf)": all four numbers must be there; the closing
// parenthesis is not checked (nothing follows the last conversion).
bool ScanSensorValues(const char* s, double values[4]) {
  if (*s != '(') return false;
  ++s;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*s != ',') return false;
      ++s;
    }
    double v = 0.0;
    const char* end = ScanNumber(s, &v);
    if (end == nullptr) return false;
    values[i] = v;
    s = end;
  }
  return true;
}

size_t CountChildren(const tinyxml2::XMLElement* parent) {
  size_t n = 0;
  for (const tinyxml2::XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement())
    ++n;
  return n;
}

// Stable ascending sort. Devices list their readings newest first or oldest
// first, so the two presorted cases are served without the general sort.
void SortAscending(std::vector<WScanEntry>& v) {
  if (std::is_sorted(v.begin(), v.end())) return;
  bool strictlyDescending = true;
  for (size_t i = 1; i < v.size() && strictlyDescending; ++i) strictlyDescending = v[i] < v[i - 1];
  if (strictlyDescending) {
    std::reverse(v.begin(), v.end());
    return;
  }
  std::stable_sort(v.begin(), v.end());
}

// A failed parse must not look like a message: callers test isValid().
WScanMessage Failed(WScanMessage& message, bool* ok) {
  message.mode = 0;
  if (ok) *ok = false;
  return std::move(message);
}

WScanMessage ParseText(const char* data, size_t size, bool* ok) {
  WScanMessage message;
  if (ok) *ok = false;
  if (data == nullptr) {
    data = "";
    size = 0;
  }
  message.xml.assign(data, size);
  MV_LOG(2, "Parsing xml message:\n%s\n", message.xml.c_str());

  tinyxml2::XMLDocument doc;
  doc.Parse(data, size);
  const tinyxml2::XMLElement* root = doc.FirstChildElement();
  if (root == nullptr || std::strcmp(root->Name(), "message") != 0) {
    MV_LOG(1, "Parse error: no <message> element!\n");
    return Failed(message, ok);
  }

  message.mode = 1;
  for (const tinyxml2::XMLAttribute* a = root->FirstAttribute(); a; a = a->Next()) {
    const char* name = a->Name();
    if (std::strcmp(name, "request") == 0) {
      const char* v = a->Value();
      if (std::strcmp(v, "navigate") == 0)
        message.mode = 1;
      else if (std::strcmp(v, "redirect") == 0)
        message.mode = 2;
    } else if (std::strcmp(name, "packetNumber") == 0) {
      ScanInt(a->Value(), &message.packetNumber);
    }
  }

  const tinyxml2::XMLElement* device = root->FirstChildElement("device");
  if (device == nullptr) {
    MV_LOG(1, "Parse error: 'device' Node was not found in message # %d \n", message.packetNumber);
    message.clear();
    return Failed(message, ok);
  }
  for (const tinyxml2::XMLAttribute* a = device->FirstAttribute(); a; a = a->Next()) {
    const char* name = a->Name();
    const char* v = a->Value();
    if (std::strcmp(name, "id") == 0) {
      message.deviceId = v;
    } else if (std::strcmp(name, "model") == 0) {
      message.deviceModel = v;
    } else if (std::strcmp(name, "packetnumber") == 0) {
      ScanInt(v, &message.packetNumber);
    } else if (std::strcmp(name, "type") == 0) {
      if (std::strcmp(v, "android") == 0)
        message.deviceType = 2;
      else if (std::strcmp(v, "iOS") == 0)
        message.deviceType = 3;
      else if (std::strcmp(v, "windows") == 0)
        message.deviceType = 1;
      else if (std::strcmp(v, "raspberry") == 0)
        message.deviceType = 4;
      else
        message.deviceType = 0;
    } else if (std::strcmp(name, "checkPoint") == 0) {
      message.checkPoint = v;
    } else if (std::strcmp(name, "time") == 0) {
      int* fields[7] = {&message.tmYear,       &message.tmMonth,  &message.tmDay,
                        &message.tmHour,       &message.tmMinute, &message.tmSecond,
                        &message.tmMillisecond};
      ScanMessageTime(v, fields);
      message.tmUnixTime = GetUnixTime(message.tmYear, message.tmMonth, message.tmDay,
                                       message.tmHour, message.tmMinute, message.tmSecond);
      if (message.tmUnixTime == -1) {
        MV_LOG(1, "Parse error: invalid time: %04d-%02d-%02d %02d:%02d:%02d.%03d", message.tmYear,
               message.tmMonth, message.tmDay, message.tmHour, message.tmMinute, message.tmSecond,
               message.tmMillisecond);
        return Failed(message, ok);
      }
    }
  }

  const tinyxml2::XMLElement* entries = root->FirstChildElement("entries");
  if (entries == nullptr) {
    MV_LOG(1, "Parse error: 'entries' Node was not found in message # %d \n", message.packetNumber);
    message.clear();
    return Failed(message, ok);
  }
  message.entries.reserve(CountChildren(entries));
  for (const tinyxml2::XMLElement* e = entries->FirstChildElement(); e;
       e = e->NextSiblingElement()) {
    if (std::strcmp(e->Name(), "entry") != 0) continue;
    WScanEntry& entry = message.entries.emplace_back();
    for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
      const char* name = a->Name();
      switch (name[0]) {
        case 'b':
          if (std::strcmp(name, "bssid") == 0) entry.bssid = a->Value();
          break;
        case 's':
          if (std::strcmp(name, "ssid") == 0) entry.ssid = a->Value();
          break;
        case 't':
          if (std::strcmp(name, "type") == 0) {
            const char* v = a->Value();
            if (std::strcmp(v, "BEACON") == 0)
              entry.type = 2;
            else if (std::strcmp(v, "BLE") == 0)
              entry.type = 1;
            else if (std::strcmp(v, "WIFI") == 0)
              entry.type = 0;
          }
          break;
        case 'o':
          if (std::strcmp(name, "offset") == 0) ScanInt64(a->Value(), &entry.offset);
          break;
        case 'r':
          if (std::strcmp(name, "rssi") == 0) ScanDouble(a->Value(), &entry.rssi);
          break;
        case 'f':
          if (std::strcmp(name, "frequency") == 0) ScanDouble(a->Value(), &entry.frequency);
          break;
        case 'd':
          if (std::strcmp(name, "distance") == 0) ScanDouble(a->Value(), &entry.distance);
          break;
        case 'p':
          if (std::strcmp(name, "power") == 0) ScanDouble(a->Value(), &entry.power);
          break;
        default:
          break;
      }
    }
  }

  const tinyxml2::XMLElement* sensors = root->FirstChildElement("sensors");
  if (sensors == nullptr) {
    MV_LOG(1, "Parse error: 'sensors' Node was not found in message # %d \n", message.packetNumber);
    message.clear();
    return Failed(message, ok);
  }
  message.sensorEntries.reserve(CountChildren(sensors));
  for (const tinyxml2::XMLElement* e = sensors->FirstChildElement(); e;
       e = e->NextSiblingElement()) {
    if (std::strcmp(e->Name(), "sensor") != 0) continue;
    SensorEntry& sensor = message.sensorEntries.emplace_back();
    for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
      const char* name = a->Name();
      if (name[0] == 't' && std::strcmp(name, "type") == 0) {
        sensor.type = SensorCodeOf(a->Value());
      } else if (name[0] == 'o' && std::strcmp(name, "offset") == 0) {
        ScanInt64(a->Value(), &sensor.offset);
      } else if (name[0] == 'v' &&
                 (std::strcmp(name, "values") == 0 || std::strcmp(name, "value") == 0)) {
        if (!ScanSensorValues(a->Value(), sensor.values)) {
          MV_LOG(1, "Parse error: invalid sensor value: %s\n", a->Value());
          message.sensorEntries.pop_back();  // only complete samples are kept
          return Failed(message, ok);
        }
      }
    }
  }

  if (const tinyxml2::XMLElement* c = root->FirstChildElement("coordinates")) {
    for (const tinyxml2::XMLAttribute* a = c->FirstAttribute(); a; a = a->Next()) {
      const char* name = a->Name();
      const char* v = a->Value();
      if (std::strcmp(name, "location") == 0)
        ScanInt(v, &message.outLocation);
      else if (std::strcmp(name, "sublocation") == 0)
        ScanInt(v, &message.outSubLocation);
      else if (std::strcmp(name, "x") == 0)
        ScanDouble(v, &message.outX);
      else if (std::strcmp(name, "y") == 0)
        ScanDouble(v, &message.outY);
      else if (std::strcmp(name, "kx") == 0)
        ScanDouble(v, &message.outKX);
      else if (std::strcmp(name, "ky") == 0)
        ScanDouble(v, &message.outKY);
      else if (std::strcmp(name, "z") == 0)
        ScanDouble(v, &message.outZ);
      else if (std::strcmp(name, "r") == 0)
        ScanDouble(v, &message.outR);
    }
  }
  if (const tinyxml2::XMLElement* o = root->FirstChildElement("orientation")) {
    for (const tinyxml2::XMLAttribute* a = o->FirstAttribute(); a; a = a->Next()) {
      const char* name = a->Name();
      if (std::strcmp(name, "azimuth") == 0)
        ScanDouble(a->Value(), &message.outOrientation[0]);
      else if (std::strcmp(name, "pitch") == 0)
        ScanDouble(a->Value(), &message.outOrientation[1]);
      else if (std::strcmp(name, "roll") == 0)
        ScanDouble(a->Value(), &message.outOrientation[2]);
    }
  }
  if (const tinyxml2::XMLElement* t = root->FirstChildElement("text")) {
    if (const char* content = t->GetText()) message.text = content;
  }

  // Oldest-last order (ascending offset), the reverse of sortEntries; sensor
  // samples keep the order in which the device recorded them.
  SortAscending(message.entries);
  if (ok) *ok = true;
  MV_LOG(2, "Parsing finished\n\n");
  return message;
}

}  // namespace

bool WScanEntry::operator==(const WScanEntry& o) const {
  return offset == o.offset && type == o.type && bssid == o.bssid;
}

bool WScanEntry::operator<(const WScanEntry& o) const {
  if (offset != o.offset) return offset < o.offset;
  if (type != o.type) return type < o.type;
  return bssid < o.bssid;
}

bool SensorEntry::operator==(const SensorEntry& o) const {
  return offset == o.offset && type == o.type && std::memcmp(values, o.values, sizeof values) == 0;
}

bool SensorEntry::operator<(const SensorEntry& o) const {
  if (offset != o.offset) return offset < o.offset;
  if (type != o.type) return type < o.type;
  return std::memcmp(values, o.values, sizeof values) < 0;
}

void WScanMessage::sortEntries() {
  std::sort(entries.begin(), entries.end(),
            [](const WScanEntry& a, const WScanEntry& b) { return b < a; });
}

void WScanMessage::sortSensorEntries() {
  std::sort(sensorEntries.begin(), sensorEntries.end(),
            [](const SensorEntry& a, const SensorEntry& b) { return b < a; });
}

std::string WScanMessage::toString(const char* buildVersion, const char* location,
                                   const char* osVersion, const char* serverTime) const {
  std::string out;
  out.reserve(256 + entries.size() * 128 + sensorEntries.size() * 128);
  const char* request = mode == 1 ? "navigate" : mode == 2 ? "redirect" : "";
  AppendF(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<message request=\"%s\" "
          "packetNumber=\"%d\">\n",
          request, packetNumber);
  AppendF(out,
          "  <device type=\"%s\" osVersion=\"%s\" model=\"%s\" id=\"%s\" buildVersion=\"%s\" "
          "location=\"%s\" checkPoint=\"%s\" time=\"%04d-%02d-%02d %02d:%02d:%02d.%03d\" "
          "serverTime=\"%s\"/>\n",
          DeviceTypeName(deviceType), XmlEscape(osVersion).c_str(), XmlEscape(deviceModel).c_str(),
          XmlEscape(deviceId).c_str(), XmlEscape(buildVersion).c_str(), XmlEscape(location).c_str(),
          XmlEscape(checkPoint).c_str(), tmYear, tmMonth, tmDay, tmHour, tmMinute, tmSecond,
          tmMillisecond, XmlEscape(serverTime).c_str());
  out += "  <entries>\n";
  for (const WScanEntry& e : entries) {
    const long long offset = e.offset;
    switch (e.type) {
      case 0:
        AppendF(out,
                "    <entry type=\"WIFI\" bssid=\"%s\" rssi=\"%.2f\" frequency=\"%.2f\" "
                "offset=\"%lld\"/>\n",
                XmlEscape(e.bssid).c_str(), e.rssi, e.frequency, offset);
        break;
      case 1:
        AppendF(out, "    <entry type=\"BLE\" bssid=\"%s\" rssi=\"%.2f\" offset=\"%lld\"/>\n",
                XmlEscape(e.bssid).c_str(), e.rssi, offset);
        break;
      case 2:
        AppendF(out,
                "    <entry type=\"BEACON\" bssid=\"%s\" rssi=\"%.2f\" power=\"%.2f\" "
                "distance=\"%.2f\" offset=\"%lld\"/>\n",
                XmlEscape(e.bssid).c_str(), e.rssi, e.power, e.distance, offset);
        break;
      default:
        break;
    }
  }
  out += "  </entries>\n  <sensors>\n";
  for (const SensorEntry& s : sensorEntries) {
    AppendF(out, "    <sensor type=\"%s\" values=\"(%lf, %lf, %lf, %lf)\" offset=\"%lld\"/>\n",
            SensorName(s.type), s.values[0], s.values[1], s.values[2], s.values[3],
            static_cast<long long>(s.offset));
  }
  out += "  </sensors>\n</message>\n";
  return out;
}

WScanMessage WScanMessage::parse(const char* text, bool* ok) {
  return ParseText(text, text ? std::strlen(text) : 0, ok);
}

WScanMessage WScanMessage::parse(const std::string& text, bool* ok) {
  return ParseText(text.data(), text.size(), ok);
}

std::string WScanMessage::escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string WScanMessage::unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      out += s[++i];
    } else if (c != '"') {
      out += c;  // a lone backslash at the end is kept rather than lost
    }
  }
  return out;
}
