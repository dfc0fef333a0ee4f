#include "wifipos/navigation_map/sublocation_map.h"

namespace {

void assignBytes(std::vector<char>& target, int& targetSize, const char* data, int size) {
  if (data == nullptr || size <= 0) {
    target.clear();
    targetSize = 0;
    return;
  }
  target.assign(data, data + size);
  targetSize = size;
}

}  // namespace

void SublocationImages::setSvgData(const char* data, int size) {
  assignBytes(svgData_, svgSize_, data, size);
}

void SublocationImages::setPngData(const char* data, int size) {
  assignBytes(pngData_, pngSize_, data, size);
}

void SublocationImages::setJpgData(const char* data, int size) {
  assignBytes(jpgData_, jpgSize_, data, size);
}

void SublocationMap::updateUniqueApsBssid() {
  std::vector<std::string>& keys = uniqueApsBssid_.edit();
  const RadioMap& radioMap = radioMap_.get();
  keys.clear();
  // The multimap is ordered by key, so distinct keys come out ascending.
  for (auto it = radioMap.begin(); it != radioMap.end(); it = radioMap.upper_bound(it->first)) {
    keys.push_back(it->first);
  }
}
