#include "Navigation/m_navigation_engine.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "Navigation/utf8_text.h"
#include "wifipos/coordinates.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace {

std::optional<std::vector<uint8_t>> ImageBytes(const std::vector<char>& data, int size) {
  if (size == 0) return std::nullopt;
  const size_t n = std::min(data.size(), static_cast<size_t>(size < 0 ? 0 : size));
  return std::vector<uint8_t>(data.begin(), data.begin() + n);
}

bool IsEditStatus(const std::string& s) { return s == "new" || s == "mod" || s == "del"; }

// The map's texts reach the host as UTF-8, ending at their first NUL as the
// engine's C texts do; bytes that are not UTF-8 never pass through.
std::string Text(const std::string& s) { return MCUtf8Text(std::string(s.c_str())); }

MLocationInfo Describe(const NavigationMap& map, const std::string& path) {
  MLocationInfo info;
  info.id = map.getLocationId();
  info.name = Text(map.getLocationName());
  info.description = Text(map.getLocationDescription());
  info.archiveFile = path;
  info.version = map.getLocationVersion();
  for (const SublocationMap& sub : map.getSublocationsVector()) {
    const SublocationNavProperties& p = sub.getProperties();
    const SublocationImages& im = sub.getImages();
    MLocationInfoSublocation f;
    f.id = sub.getId();
    f.name = Text(sub.getName());
    f.svgFile = Text(im.getSvgName());
    f.pngFile = Text(im.getPngName());
    f.jpgFile = Text(im.getJpgName());
    f.svgImage = ImageBytes(im.getSvgData(), im.getSvgSize());
    f.pngImage = ImageBytes(im.getPngData(), im.getPngSize());
    f.jpgImage = ImageBytes(im.getJpgData(), im.getJpgSize());
    f.width = p.width_meters;
    f.height = p.height_meters;
    f.magneticDeclination = p.magnetic_declination_deg;
    f.latitude = p.latitude_deg;
    f.longitude = p.longitude_deg;
    f.azimuth = p.azimuth_deg;
    f.archiveFile = path;
    for (const Beacon& b : sub.getBeacons()) {
      MLocationInfoBeacon d;
      d.id = b.getBaseId();
      d.locationId = info.id;
      d.sublocationId = f.id;
      d.kX = b.getKX();
      d.kY = b.getKY();
      d.x = b.getX();
      d.y = b.getY();
      d.name = Text(b.getName());
      d.uuid = Text(b.getUuid());
      d.major = static_cast<int32_t>(b.getMajor());
      d.minor = static_cast<int32_t>(b.getMinor());
      d.status = Text(b.getStatus());
      if (IsEditStatus(d.status)) info.modified = true;
      f.beacons.push_back(std::move(d));
    }
    for (const Zone& z : map.getZones().getZones(f.id)) {
      f.zones.push_back(z);
    }
    info.sublocations.push_back(std::move(f));
  }
  return info;
}

std::shared_ptr<const MLocationInfo> DescribeClient(MNavigationClient& c, const std::string& path) {
  return c.with([&](ClientNavigationState* s) -> std::shared_ptr<const MLocationInfo> {
    if (s == nullptr) return nullptr;
    LockGuard<Mutex> lock(s->mutex);
    return std::make_shared<const MLocationInfo>(Describe(s->navigationMap, path));
  });
}

}  // namespace

MNavigationEngine::~MNavigationEngine() { clearClient(); }

int32_t MNavigationEngine::navigate(WScanMessage& message, std::optional<platform::Error>* error) {
  std::string text;
  std::shared_ptr<MNavigationClient> c = client();
  const int32_t status =
      c ? c->with([&](ClientNavigationState* s) { return Navigate(&message, s, &text); })
        : Navigate(&message, nullptr, &text);
  if (status != 0 && error != nullptr) *error = MarvistoError(status, text);
  return status;
}

void MNavigationEngine::createNavigationClient(const std::string& path, const std::string& clientId,
                                               const std::string& model,
                                               std::optional<platform::Error>* error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (error != nullptr) {
      *error = MarvistoError(2, "Archive does not exist at path: " + path + ".");
    }
    return;
  }
  // The old map goes before the new one is read, so two never fill memory together.
  clearClient();
  ClientNavigationState* state =
      CreateNavigationClient(path.c_str(), clientId.c_str(), model.c_str(), false, nullptr);
  if (state == nullptr) {
    if (error != nullptr) *error = MarvistoError(3, "Invalid archive, some problems inside.");
    return;
  }
  auto c = std::make_shared<MNavigationClient>(state);
  std::shared_ptr<const MLocationInfo> info = DescribeClient(*c, path);
  std::shared_ptr<MGraphEngine> graph = MGraphEngine::initWithClient(c);
  // Client, description and graph engine are published together, so a racing
  // creation can never leave them belonging to different clients.
  std::shared_ptr<MNavigationClient> replaced;
  {
    platform::MutexLock lock(mutex_);
    replaced = std::exchange(client_, c);
    locationInfo_ = std::move(info);
    graphEngine_ = std::move(graph);
  }
  if (replaced) replaced->destroy();
}

void MNavigationEngine::clearClient() {
  std::shared_ptr<MNavigationClient> doomed;
  {
    platform::MutexLock lock(mutex_);
    doomed = std::move(client_);
    client_.reset();
    locationInfo_.reset();
    graphEngine_.reset();
  }
  // Graph engines still held elsewhere share the client's life and see none.
  if (doomed) doomed->destroy();
}

void MNavigationEngine::enablePDR(int32_t sublocation, double x, double y) {
  if (auto c = client()) {
    c->with([&](ClientNavigationState* s) {
      if (s) NavigateEnablePdr(s, sublocation, x, y);
    });
  }
}

void MNavigationEngine::disablePDR() {
  if (auto c = client()) {
    c->with([](ClientNavigationState* s) {
      if (s) NavigateDisablePdr(s);
    });
  }
}

void MNavigationEngine::fillLocationClass(const std::string& path) {
  std::shared_ptr<MNavigationClient> c = client();
  if (!c) return;
  if (auto info = DescribeClient(*c, path)) setLocationInfo(std::move(info));
}

std::map<std::string, double> MNavigationEngine::localToGps(double latitude, double longitude,
                                                            double azimuth, double x, double y) {
  double lat = 0.0, lon = 0.0;
  LocalToGps(x, y, latitude, longitude, -azimuth, &lat, &lon);
  return {{"latitude", lat}, {"longitude", lon}};
}

std::map<std::string, double> MNavigationEngine::gpsToLocal(double anchorLatitude,
                                                            double anchorLongitude, double azimuth,
                                                            double latitude, double longitude) {
  double x = 0.0, y = 0.0;
  GpsToLocal(latitude, longitude, anchorLatitude, anchorLongitude, -azimuth, &x, &y);
  return {{"x", x}, {"y", y}};
}

std::shared_ptr<MNavigationClient> MNavigationEngine::client() {
  platform::MutexLock lock(mutex_);
  return client_;
}

void MNavigationEngine::setClient(std::shared_ptr<MNavigationClient> client) {
  platform::MutexLock lock(mutex_);
  client_ = std::move(client);
}

std::shared_ptr<MGraphEngine> MNavigationEngine::graphEngine() {
  platform::MutexLock lock(mutex_);
  return graphEngine_;
}

void MNavigationEngine::setGraphEngine(std::shared_ptr<MGraphEngine> graphEngine) {
  platform::MutexLock lock(mutex_);
  graphEngine_ = std::move(graphEngine);
}

std::shared_ptr<const MLocationInfo> MNavigationEngine::locationInfo() {
  platform::MutexLock lock(mutex_);
  return locationInfo_;
}

void MNavigationEngine::setLocationInfo(std::shared_ptr<const MLocationInfo> info) {
  platform::MutexLock lock(mutex_);
  locationInfo_ = std::move(info);
}
