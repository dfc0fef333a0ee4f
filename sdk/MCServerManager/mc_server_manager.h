// The SDK's one front to the content server's engine side: starts, polls and
// stops the location-list, archive download and upload jobs (through
// MLoader), starts and stops the outgoing message queue (through
// MMQueueEngine), and turns successful navigation ticks into heat-map lines:
// at most one per `mqMessageTimeoutForeground` seconds (10) while the
// application is not in the background, one per `mqMessageTimeoutBackground`
// (300) while it is, never for a tick without a floor.
//
// Threads: every method may be called from any thread. `addMQMessage` returns
// at once: a tick inside the period, or without a floor, ends there; a due one
// hands its line to the main queue, whose step alone moves the throttle date.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MCServerManager/m_loader.h"
#include "MCServerManager/m_mqueue_engine.h"
#include "platform/mutex.h"
#include "server/wscan.h"

class MCServerManager : public std::enable_shared_from_this<MCServerManager> {
 public:
  static std::shared_ptr<MCServerManager> sharedInstance();
  // A private manager (tests); the shared one is made the same way.
  MCServerManager();
  virtual ~MCServerManager() = default;

  // Each setter does nothing when the value is the one held; else it stores
  // it and hands it to the queue engine (read when the queue next starts).
  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  std::string server() const;
  std::string userHash() const;

  // Jobs: ids and states of the engine's transfer registry.
  int startLocationListLoader();
  int startContentLoader(const std::string& location, bool forced);
  int startContentUploader(const std::string& location, bool forced);
  int checkContentLoader(int id);
  int checkContentUploader(int id);
  void stopContentLoader(int id);
  void stopContentUploader(int id);

  virtual void startMQueue();
  virtual void stopMQueue();
  // The heat-map step of a successful tick.
  virtual void addMQMessage(WScanMessage message);

  static std::string directoryForDocuments();
  // The heat-map line of a positioned message.
  static std::string heatmapLine(const WScanMessage& message);

  int32_t mqMessageTimeoutForeground() const;
  void setMqMessageTimeoutForeground(int32_t seconds);
  int32_t mqMessageTimeoutBackground() const;
  void setMqMessageTimeoutBackground(int32_t seconds);
  double lastHeatmapMessageDate() const;  // seconds since 1970
  void setLastHeatmapMessageDate(double seconds);
  std::shared_ptr<MLoader> loader() const;
  void setLoader(std::shared_ptr<MLoader> loader);
  std::shared_ptr<MMQueueEngine> mqEngine() const;
  void setMqEngine(std::shared_ptr<MMQueueEngine> engine);

 private:
  bool heatmapDue(int64_t now) const;  // now: microseconds since 1970
  bool dueLocked(int64_t now, bool background) const REQUIRES(mutex_);
  void heatmapStep(const std::string& line);

  mutable platform::Mutex mutex_;
  std::string server_ GUARDED_BY(mutex_);
  std::string userHash_ GUARDED_BY(mutex_);
  int32_t mqMessageTimeoutForeground_ GUARDED_BY(mutex_) = 10;
  int32_t mqMessageTimeoutBackground_ GUARDED_BY(mutex_) = 300;
  int64_t lastHeatmapMicros_ GUARDED_BY(mutex_);  // the throttle date, exact: equal to the period is too soon
  std::shared_ptr<MLoader> loader_ = std::make_shared<MLoader>();
  std::shared_ptr<MMQueueEngine> mqEngine_ = std::make_shared<MMQueueEngine>();
};
