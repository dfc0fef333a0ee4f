// The measurement message: the record that crosses between the SDK layer and
// the positioning engine on every navigation tick (device identity, message
// time, radio observations, sensor samples in; positioning results out), and
// its XML text form used for navigation logs, upload and replay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/route_path.h"
#include "server/zone.h"

// One radio observation. Type 0 WIFI, 1 BLE, 2 BEACON.
struct WScanEntry {
  std::string bssid;  // MAC address or beacon key
  std::string ssid;   // network name
  int type = 0;
  int64_t offset = 0;  // milliseconds before the message time
  double rssi = 0.0;   // dBm
  double power = 0.0;
  double frequency = 0.0;
  double distance = 0.0;  // metres

  WScanEntry() = default;
  WScanEntry(const WScanEntry&) = default;
  WScanEntry(WScanEntry&&) = default;
  WScanEntry& operator=(const WScanEntry&) = default;
  WScanEntry& operator=(WScanEntry&&) = default;

  // Equal offset, type and bssid.
  bool operator==(const WScanEntry& o) const;
  bool operator!=(const WScanEntry& o) const { return !(*this == o); }
  // By offset, then type, then bssid.
  bool operator<(const WScanEntry& o) const;
  bool operator>(const WScanEntry& o) const { return o < *this; }
};

// Sensor codes of the measurement message.
enum SensorCode {
  SENSOR_ACCELEROMETER = 101,
  SENSOR_MAGNETOMETER = 102,
  SENSOR_GYROSCOPE = 103,
  SENSOR_ORIENTATION = 104,
  SENSOR_LOCATION = 105,  // values: latitude, longitude (degrees), -, accuracy (m)
  SENSOR_106 = 106,
  SENSOR_GRAVITY = 107,
  SENSOR_USER_ACC = 108,
};

// One sensor sample.
struct SensorEntry {
  int type = 0;
  int64_t offset = 0;  // milliseconds before the message time
  double values[4] = {0.0, 0.0, 0.0, 0.0};

  SensorEntry() = default;
  SensorEntry(const SensorEntry&) = default;
  SensorEntry(SensorEntry&&) = default;
  SensorEntry& operator=(const SensorEntry&) = default;
  SensorEntry& operator=(SensorEntry&&) = default;

  // Equal offset, type and value bytes.
  bool operator==(const SensorEntry& o) const;
  bool operator!=(const SensorEntry& o) const { return !(*this == o); }
  // By offset, then type, then the value bytes.
  bool operator<(const SensorEntry& o) const;
  bool operator>(const SensorEntry& o) const { return o < *this; }
};

class WScanMessage {
 public:
  int mode = 0;  // 1 navigate, 2 redirect; 0 an empty (invalid) message
  int packetNumber = 0;
  int deviceType = 0;  // 1 windows, 2 android, 3 iOS, 4 raspberry, 0 unknown
  std::string deviceId;
  std::string deviceModel;
  int tmYear = 0;
  int tmMonth = 0;
  int tmDay = 0;
  int tmHour = 0;
  int tmMinute = 0;
  int tmSecond = 0;
  int tmMillisecond = 0;
  int64_t tmUnixTime = 0;  // seconds since 1970 (UTC); 64 bits, valid past 2038
  std::vector<WScanEntry> entries;
  std::vector<SensorEntry> sensorEntries;
  std::string text;
  std::string xml;  // the text the message was parsed from
  std::string checkPoint;

  int outLocation = -1;
  int outSubLocation = -1;
  double outX = 0.0;
  double outY = 0.0;
  double outKX = 0.0;
  double outKY = 0.0;
  double outZ = 0.0;
  double outR = 0.0;
  double outOrientation[3] = {0.0, 0.0, 0.0};  // azimuth, pitch, roll
  double outStepLength = 0.0;
  int outStepCounter = 0;
  std::string outString;
  std::vector<RoutePath> outPaths;
  std::vector<Zone> outZones;

  WScanMessage() = default;
  WScanMessage(const WScanMessage&) = default;
  WScanMessage(WScanMessage&&) = default;
  WScanMessage& operator=(const WScanMessage&) = default;
  WScanMessage& operator=(WScanMessage&&) = default;

  void clear() { *this = WScanMessage(); }
  bool isValid() const { return mode != 0; }

  // Oldest observation (largest offset) first.
  void sortEntries();
  void sortSensorEntries();

  // The XML text form. Attribute texts are XML-escaped; the identity,
  // entries and sensors are written, `ssid`, `tmUnixTime`, `text`, `xml` and
  // the out... fields are not.
  std::string toString(const char* buildVersion, const char* location, const char* osVersion,
                       const char* serverTime) const;

  // Reads the XML text form. `*ok` (when not null) tells success; a failed
  // parse never returns a valid message. Entries come back by ascending
  // offset, sensor entries in document order.
  static WScanMessage parse(const char* text, bool* ok);
  static WScanMessage parse(const std::string& text, bool* ok);

  // Backslash before every backslash and double quote, and its inverse
  // (which also drops unescaped double quotes).
  static std::string escape(const std::string& s);
  static std::string unescape(const std::string& s);  // interface; the reader unescapes inline
};
