// One floor (sublocation) of a location: identity and size, settings record,
// transmitters, radio map with its reference points, pictures, walkable-area
// bitmap and Gaussian-process parameters. A plain value: copies hold everything.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "wifipos/navigation_map/bmp_state.h"
#include "wifipos/navigation_map/copy_on_write.h"
#include "wifipos/navigation_map/gp_params.h"
#include "wifipos/navigation_map/navigation_settings.h"
#include "wifipos/navigation_map/radio_key.h"
#include "wifipos/navigation_map/reference_point.h"
#include "wifipos/sensor_value.h"

// The floor's pictures for map renderers: member names from config.xml and the
// member bytes. A name is empty when config.xml lists no file of that type.
class SublocationImages {
 public:
  SublocationImages() = default;
  SublocationImages(const SublocationImages&) = default;
  SublocationImages& operator=(const SublocationImages&) = default;

  const std::string& getSvgName() const { return svgName_; }
  void setSvgName(const std::string& v) { svgName_ = v; }
  const std::string& getPngName() const { return pngName_; }
  void setPngName(const std::string& v) { pngName_ = v; }
  const std::string& getJpgName() const { return jpgName_; }
  void setJpgName(const std::string& v) { jpgName_ = v; }

  int getSvgSize() const { return svgSize_; }
  int getPngSize() const { return pngSize_; }
  int getJpgSize() const { return jpgSize_; }
  const std::vector<char>& getSvgData() const { return svgData_; }
  const std::vector<char>& getPngData() const { return pngData_; }
  const std::vector<char>& getJpgData() const { return jpgData_; }
  // Each setter also sets the size to the number of bytes.
  void setSvgData(const char* data, int size);
  void setPngData(const char* data, int size);
  void setJpgData(const char* data, int size);

 private:
  std::string svgName_;
  std::string pngName_;
  std::string jpgName_;
  int svgSize_ = 0;
  int pngSize_ = 0;
  int jpgSize_ = 0;
  std::vector<char> svgData_;
  std::vector<char> pngData_;
  std::vector<char> jpgData_;
};

// Transmitter key -> radio-map entry; entries with equal keys keep their
// insertion order. Looked up by any text (std::string, string_view, char*)
// without making a key of it.
using RadioMap = std::multimap<RadioKey, AccessPoint, std::less<>>;

class SublocationMap {
 public:
  SublocationMap() = default;
  SublocationMap(const SublocationMap&) = default;
  SublocationMap& operator=(const SublocationMap&) = default;
  ~SublocationMap() = default;

  // Floors are the same floor when their ids are equal.
  bool operator==(const SublocationMap& other) const { return id_ == other.id_; }

  unsigned getNRp() const { return static_cast<unsigned>(referencePoints_.get().size()); }
  // The caller keeps to 0 <= index < getNRp().
  const ReferencePoint* getRp(int index) const { return &referencePoints_.get()[index]; }
  std::vector<ReferencePoint>::iterator getRpIterator(int index) {
    return referencePoints_.edit().begin() + index;
  }

  // Rebuilds the transmitter keys as the distinct keys of the radio map, in
  // ascending byte order; every filter that erases radio-map entries calls it.
  void updateUniqueApsBssid();

  std::vector<std::string>& getUniqueApsBssid() { return uniqueApsBssid_.edit(); }
  const std::vector<std::string>& getUniqueApsBssid() const { return uniqueApsBssid_.get(); }
  const std::string& getName() const { return name_; }
  void setName(const std::string& v) { name_ = v; }
  int getId() const { return id_; }
  void setId(int v) { id_ = v; }
  std::vector<ReferencePoint>& getReferencePoints() { return referencePoints_.edit(); }
  const std::vector<ReferencePoint>& getReferencePoints() const { return referencePoints_.get(); }
  SublocationNavProperties& getProperties() { return properties_; }
  const SublocationNavProperties& getProperties() const { return properties_; }
  void setProperties(const SublocationNavProperties& v) { properties_ = v; }
  std::vector<Beacon>& getBeacons() { return beacons_; }
  const std::vector<Beacon>& getBeacons() const { return beacons_; }
  std::vector<Beacon>& getLocators() { return locators_; }
  const std::vector<Beacon>& getLocators() const { return locators_; }
  SublocationImages& getImages() { return images_.edit(); }
  const SublocationImages& getImages() const { return images_.get(); }
  const std::string& getBmpFile() const { return bmpFile_; }
  void setBmpFile(const std::string& v) { bmpFile_ = v; }
  const std::string& getBmp2File() const { return bmp2File_; }
  void setBmp2File(const std::string& v) { bmp2File_ = v; }
  BmpState& getBmpState() { return bmp_.edit(); }
  const BmpState& getBmpState() const { return bmp_.get(); }
  std::vector<GpParams>& getGpParams() { return gpParams_.edit(); }
  const std::vector<GpParams>& getGpParams() const { return gpParams_.get(); }
  RadioMap& getRadioMap() { return radioMap_.edit(); }
  const RadioMap& getRadioMap() const { return radioMap_.get(); }

 private:
  // The bulky parts are shared by copies of the floor until one changes
  // them (the non-const accessors), so copying a floor is cheap.
  CopyOnWrite<std::vector<std::string>> uniqueApsBssid_;
  std::string name_;
  int id_ = 0;
  CopyOnWrite<std::vector<ReferencePoint>> referencePoints_;
  SublocationNavProperties properties_;
  std::vector<Beacon> beacons_;
  std::vector<Beacon> locators_;
  CopyOnWrite<SublocationImages> images_;
  std::string bmpFile_;   // config.xml File type "BMP"
  std::string bmp2File_;  // config.xml File type "BMP2", used when the first is missing
  CopyOnWrite<BmpState> bmp_;
  CopyOnWrite<std::vector<GpParams>> gpParams_;
  CopyOnWrite<RadioMap> radioMap_;
};
