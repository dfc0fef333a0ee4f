#include "MCVenueManager/mc_venue_manager.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCModels/mc_location.h"
#include "MCVenueManager/mc_category_manager.h"
#include "Foundation/mc_log.h"
#include "platform/mutex.h"
#include "platform/run_loop.h"
#include "platform/url_connection.h"
#include "platform/xml_parser.h"

namespace {

std::string Attribute(const std::map<std::string, std::string>& attributes, const char* name) {
  const auto it = attributes.find(name);
  return it == attributes.end() ? std::string() : it->second;
}

bool IsWebURL(const std::string& url) {
  auto starts = [&](const char* scheme) {
    const size_t n = std::char_traits<char>::length(scheme);
    if (url.size() <= n) return false;
    for (size_t k = 0; k < n; ++k)
      if (std::tolower(static_cast<unsigned char>(url[k])) != scheme[k]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

std::shared_ptr<platform::Image> EmptyImage() { return MCVenue().image; }

// Decoding is the long part of a picture (seconds for a large one); on the main thread it
// runs on a thread of its own while the main run loop keeps serving timers and the main queue.
std::shared_ptr<platform::Image> Decode(const std::vector<uint8_t>& bytes, int64_t maxPixels) {
  if (!platform::RunLoop::isMainThread()) return platform::Image::imageWithData(bytes, 1, maxPixels);
  struct State {
    platform::Mutex mutex;
    bool done GUARDED_BY(mutex) = false;
    std::shared_ptr<platform::Image> image GUARDED_BY(mutex);
  };
  auto state = std::make_shared<State>();
  const auto loop = platform::RunLoop::main();
  std::thread decoder([state, loop, &bytes, maxPixels] {
    auto image = platform::Image::imageWithData(bytes, 1, maxPixels);
    {
      platform::MutexLock lock(state->mutex);
      state->image = std::move(image);
      state->done = true;
    }
    loop->perform([] {});  // wakes the waiting loop to look again
  });
  const auto done = [&] {
    platform::MutexLock lock(state->mutex);
    return state->done;
  };
  while (!done()) loop->runUntil(done, 3600);
  decoder.join();
  platform::MutexLock lock(state->mutex);
  return state->image;
}

// The picture in `bytes` when it fits in what is left of the load's pixel bound (`left`,
// lowered by what it takes); none, with a log line, when it does not.
std::shared_ptr<platform::Image> DecodeWithin(const std::vector<uint8_t>& bytes, int64_t& left,
                                              const std::string& url) {
  const auto size = platform::Image::pixelSizeOfData(bytes);
  if (!size) return nullptr;
  const int64_t pixels = int64_t(size->first) * size->second;
  if (pixels > left) {
    MC_LOG(1, "ERROR! Venue image skipped: " + std::to_string(size->first) + " x " + std::to_string(size->second) +
                  " pixels, more than the " + std::to_string(left) +
                  " pixels left for the pictures of this location: " + url + "\n");
    return nullptr;
  }
  auto image = Decode(bytes, left);
  if (image) left -= int64_t(image->pixelWidth()) * image->pixelHeight();
  return image;
}

// The bytes at `url` (see fetchImage).
std::optional<std::vector<uint8_t>> FetchBytes(const std::string& url, double timeout);

// Loads on this thread under way: a load the main run loop starts while a picture decodes
// would wait on the outer load's lock forever.
thread_local int tLoadsUnderWay = 0;

}  // namespace

std::shared_ptr<MCVenueManager> MCVenueManager::sharedInstance() {
  static const std::shared_ptr<MCVenueManager> instance = std::make_shared<MCVenueManager>();
  return instance;
}

MCVenueManager::MCVenueManager()
    : location_(std::make_shared<MCLocation>()),
      archiveManager_(MCArchiveManager::sharedInstance()),
      categoryManager_(MCCategoryManager::sharedInstance()) {}

void MCVenueManager::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
}

std::shared_ptr<MCLocation> MCVenueManager::location() const {
  platform::MutexLock lock(mutex_);
  return location_;
}

void MCVenueManager::setArchiveManager(std::shared_ptr<MCArchiveManager> manager) {
  platform::MutexLock lock(mutex_);
  archiveManager_ = std::move(manager);
}

void MCVenueManager::setCategoryManager(std::shared_ptr<MCCategoryManager> manager) {
  platform::MutexLock lock(mutex_);
  categoryManager_ = std::move(manager);
}

std::shared_ptr<MCCategoryManager> MCVenueManager::categoryManager() const {
  platform::MutexLock lock(mutex_);
  return categoryManager_;
}

void MCVenueManager::setImageTimeout(double seconds) {
  platform::MutexLock lock(mutex_);
  imageTimeout_ = seconds;
}

std::vector<std::shared_ptr<MCVenue>> MCVenueManager::venues() const {
  platform::MutexLock lock(mutex_);
  return venues_;
}

std::shared_ptr<platform::Image> MCVenueManager::fetchImage(const std::string& url, double timeout) {
  const auto bytes = FetchBytes(url, timeout);
  int64_t left = kMaxImagePixels;
  return bytes ? DecodeWithin(*bytes, left, url) : nullptr;
}

namespace {

std::optional<std::vector<uint8_t>> FetchBytes(const std::string& url, double timeout) {
  constexpr size_t kMaxImageBytes = MCVenueManager::kMaxImageBytes;
  constexpr double kImageTimeout = MCVenueManager::kImageTimeout;
  if (!IsWebURL(url)) {
    if (!url.empty()) MC_LOG(1, "ERROR! Venue image refused, not an http(s) address: " + url + "\n");
    return std::nullopt;
  }
  struct State {
    platform::Mutex mutex;
    platform::CondVar done;
    bool finished GUARDED_BY(mutex) = false;
    bool ok GUARDED_BY(mutex) = false;
    long status GUARDED_BY(mutex) = 0;
    std::vector<uint8_t> bytes GUARDED_BY(mutex);
  };
  auto state = std::make_shared<State>();
  auto finish = [state](bool ok) {
    platform::MutexLock lock(state->mutex);
    state->finished = true;
    state->ok = ok;
    state->done.notify_all();
  };
  platform::URLRequest request;
  request.URL = url;
  request.timeoutInterval = timeout;
  platform::URLConnectionDelegate d;
  d.didReceiveResponse = [state](const platform::URLResponse& r) {
    platform::MutexLock lock(state->mutex);
    state->status = r.statusCode;
  };
  d.didReceiveData = [state, finish](const uint8_t* bytes, size_t n) {
    {
      platform::MutexLock lock(state->mutex);
      if (state->bytes.size() + n <= kMaxImageBytes) {
        state->bytes.insert(state->bytes.end(), bytes, bytes + n);
        return true;
      }
    }
    finish(false);
    return false;
  };
  d.didFinishLoading = [finish] { finish(true); };
  d.didFailWithError = [finish](const platform::URLLoadError&) { finish(false); };
  auto connection = platform::URLConnection::create(request, d);
  platform::NetworkThread::shared().perform([connection] { connection->start(); });
  platform::UniqueLock lock(state->mutex);
  // The connection's own time-outs stop a silent peer; this bound also stops
  // one that trickles.
  const auto limit = std::chrono::milliseconds(int64_t((timeout > 0 ? timeout : kImageTimeout) * 1000) + 500);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!state->finished && state->done.wait_until(lock, deadline) == std::cv_status::no_timeout) {
  }
  if (!state->finished) {
    lock.unlock();
    platform::NetworkThread::shared().perform([connection] { connection->cancel(); });
    MC_LOG(1, "ERROR! Venue image timed out: " + url + "\n");
    return std::nullopt;
  }
  if (!state->ok || state->status < 200 || state->status > 299) return std::nullopt;
  return std::move(state->bytes);
}

}  // namespace

void MCVenueManager::loadVenuesFromArchive() {
  if (tLoadsUnderWay > 0) {
    MC_LOG(1, "ERROR! Venues not loaded: a load of venues.xml is already under way on this thread\n");
    return;
  }
  ++tLoadsUnderWay;
  struct Done {
    ~Done() { --tLoadsUnderWay; }
  } done;
  platform::MutexLock load(loadMutex_);
  std::shared_ptr<MCLocation> location;
  std::shared_ptr<MCArchiveManager> archive;
  std::shared_ptr<MCCategoryManager> categories;
  double timeout;
  {
    platform::MutexLock lock(mutex_);
    location = location_;
    archive = archiveManager_;
    categories = categoryManager_;
    timeout = imageTimeout_;
  }
  categories->loadCategoriesFromArchive();
  // A location without the member has no venues, never the previous location's.
  std::vector<std::shared_ptr<MCVenue>> list;
  std::optional<platform::Error> error;
  const auto data = archive->dataFromFile("venues.xml", &error);
  if (data && !error) {
    std::shared_ptr<MCVenue> current;
    std::string element, text, locationId, sublocationId;
    int64_t pixelsLeft = kMaxImagePixels;  // for all pictures of this location together
    platform::XMLParserHandlers h;
    h.didStartElement = [&](const std::string& name, const std::map<std::string, std::string>& attributes) {
      element = name;
      text.clear();
      if (name == "Location") {
        list.clear();
        locationId = Attribute(attributes, "id");
      } else if (name == "Sublocation") {
        sublocationId = Attribute(attributes, "id");
      } else if (name == "Venue") {
        current = std::make_shared<MCVenue>();
        current->location = std::strtoll(locationId.c_str(), nullptr, 10);
        current->sublocation = std::strtoll(sublocationId.c_str(), nullptr, 10);
        current->id = std::strtoll(Attribute(attributes, "id").c_str(), nullptr, 10);
        const auto floor = location ? location->subLocationWithId(current->sublocation) : nullptr;
        const double kx = std::strtod(Attribute(attributes, "kx").c_str(), nullptr);
        const double ky = std::strtod(Attribute(attributes, "ky").c_str(), nullptr);
        current->x = MCNumber(floor ? double(floor->width) * kx : 0.0);
        current->y = MCNumber(floor ? double(floor->height) * ky : 0.0);
        if (attributes.count("alias")) current->alias = Attribute(attributes, "alias");
        const int64_t categoryId = std::strtoll(Attribute(attributes, "categoryId").c_str(), nullptr, 10);
        if (auto category = categories->categoryWithId(categoryId)) current->category = category;
      }
    };
    h.foundCharacters = [&](const std::string& piece) { text += piece; };
    h.didEndElement = [&](const std::string& name) {
      if (current && name == element) {
        if (name == "name") current->name = text;
        if (name == "description") current->descript = text;
        if (name == "phone") current->phone = text;
        if (name == "image") {
          const auto bytes = FetchBytes(text, timeout);
          auto image = bytes ? DecodeWithin(*bytes, pixelsLeft, text) : nullptr;
          current->image = image ? image : EmptyImage();
        }
      }
      element.clear();
      text.clear();
      if (name == "Venue" && current) {
        if (const auto floor = location ? location->subLocationWithId(current->sublocation) : nullptr)
          floor->venues->push_back(current);
        list.push_back(std::exchange(current, nullptr));
      }
    };
    platform::XMLParser parser(*data);
    if (!parser.parse(h))
      MC_LOG(1, "ERROR! Can't create parser for venues.xml file! " + parser.parserError().value_or("") + "\n");
  }
  platform::MutexLock lock(mutex_);
  venues_ = std::move(list);
}
