#include "content_server/sdk_routes.h"

#include <cctype>
#include <chrono>
#include <cstdlib>

namespace contentserver {

namespace {

std::string Decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += char(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::map<std::string, std::string> DecodeForm(const std::string& body) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    if (!pair.empty()) {
      const size_t eq = pair.find('=');
      out[Decode(pair.substr(0, eq))] = eq == std::string::npos ? "" : Decode(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return out;
}

SdkRoutes::SdkRoutes(SdkPaths paths) : paths_(std::move(paths)) {}

void SdkRoutes::install(ContentServer& server) {
  std::weak_ptr<SdkRoutes> self = weak_from_this();
  server.addRoute([self](const std::string& method, const std::string& path, const std::string& body, int* status,
                         std::string* type, std::string* reply) {
    auto routes = self.lock();
    return routes && routes->handle(method, path, body, status, type, reply);
  });
}

SdkReplies SdkRoutes::replies() const {
  std::lock_guard lock(mutex_);
  return replies_;
}

void SdkRoutes::setReplies(const SdkReplies& replies) {
  std::lock_guard lock(mutex_);
  replies_ = replies;
}

std::vector<SdkRecord> SdkRoutes::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<SdkRecord> SdkRoutes::records(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::vector<SdkRecord> out;
  for (const auto& r : records_)
    if (r.path == path) out.push_back(r);
  return out;
}

bool SdkRoutes::handle(const std::string& method, const std::string& path, const std::string& body, int* status,
                       std::string* type, std::string* reply) {
  const SdkReplies r = replies();
  *status = 200;
  *type = "application/json";
  if (method == "POST" && path == paths_.config) {
    *status = r.configStatus;
    *type = r.configType;
    *reply = r.configBody.empty() ? r.config.dump() : r.configBody;
  } else if (method == "POST" && path == paths_.byBeacon) {
    *status = r.byBeaconStatus;
    if (*status == 200) {
      *reply = nlohmann::json{{"success", 1}}.dump();
    } else {
      *type = "text/plain";
      *reply = "report refused\n";
    }
  } else if (method == "GET" && path == paths_.actions) {
    *reply = r.actions.dump();
  } else if (method == "GET" && path == paths_.time) {
    const int64_t ms = r.timeMillis >= 0 ? r.timeMillis
                                         : std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count();
    *type = "text/plain";
    *reply = std::to_string(ms);
  } else if (method == "POST" && path == paths_.cloudSetup) {
    *reply = r.cloudSetup.dump();
  } else if (method == "POST" && path == paths_.zoneVisit) {
    *status = r.zoneVisitStatus;
    if (r.zoneVisitNotJson) {
      *type = "text/plain";
      *reply = "stored";
    } else {
      *reply = nlohmann::json{{"success", *status == 200 ? 1 : 0}}.dump();
    }
  } else if (method == "GET" && path.rfind(paths_.images, 0) == 0) {
    const auto it = r.images.find(path.substr(paths_.images.size()));
    if (it == r.images.end()) {
      *status = 404;
      *type = "text/plain";
      *reply = "no such image\n";
    } else {
      const bool png = it->second.rfind("\x89PNG", 0) == 0;
      *type = png ? "image/png" : "image/jpeg";
      *reply = it->second;
    }
  } else {
    return false;
  }
  SdkRecord record{method, path, method == "POST" ? DecodeForm(body) : std::map<std::string, std::string>(), body,
                   *status};
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
  return true;
}

}  // namespace contentserver
