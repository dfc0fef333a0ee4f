// The process-wide source of motion and position samples for the navigation
// tick. Every accelerometer, gyroscope, device-motion and location sample is
// queued as a sensor entry stamped with its arrival time; the tick moves the
// queue into its measurement message with each entry's age in milliseconds.
// Beside it, one text line per motion sample for the host's diagnostic
// getters, and every location fix to the delegate.
//
// Threads: the three motion handlers run on their own operation queues,
// possibly at the same time; location fixes and the delegate's
// `getLatitude` run on the run loop of the thread that made the manager.
// Every operation is safe from any thread. The queue and the text lists keep
// only the newest `kMCSensorKeepSeconds` of samples when nothing drains them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MCModels/mc_scan_entry.h"
#include "platform/dispatch.h"
#include "platform/location_manager.h"
#include "platform/motion_manager.h"
#include "platform/mutex.h"
#include "server/wscan.h"

// How many seconds of samples the queue and each text list keep at most.
inline constexpr double kMCSensorKeepSeconds = 5.0;

struct MCSensorManagerDelegate {
  // getLatitude:Longitude: (degrees)
  std::function<void(double latitude, double longitude)> getLatitude;
};

class MCSensorManager : public std::enable_shared_from_this<MCSensorManager> {
 public:
  static std::shared_ptr<MCSensorManager> sharedInstance();
  // Public for tests; a private instance with its own motion and location
  // managers. Location fixes go to the calling thread's run loop.
  static std::shared_ptr<MCSensorManager> init();

  void configureSensors();
  void startSensorsUpdate();
  void stopSensorsUpdate();
  void addSensorEntry(int32_t code, double v0, double v1, double v2, double v3);
  // Called by the tick, under the coordinator's mutex.
  void fillWscanMessage(WScanMessage& message, const platform::WallTime& withTime);
  void clearSensorEntries();
  // Stops the updates, stores the period and configures again; does not start.
  void changeSensorsFrequencyTo(double seconds);
  // gpsScanEnabled: starts or stops location updates at once on a change.
  void gpsScanEnabled(bool enabled);
  std::vector<std::string> arrayWithAccelerometerData();
  std::vector<std::string> arrayWithMagnetometerData();
  std::vector<std::string> arrayWithGyroscopeData();

  // locationManager:didUpdateLocations:
  void locationManager(platform::LocationManager& manager,
                       const std::vector<platform::Location>& didUpdateLocations);

  bool shouldDisplayCalibration() const;
  void setShouldDisplayCalibration(bool value);
  bool gpsScanEnabled() const;
  void setGpsScanEnabled(bool value);
  double period() const;
  void setPeriod(double seconds);
  std::weak_ptr<MCSensorManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<MCSensorManagerDelegate> delegate);
  std::shared_ptr<platform::MotionManager> motionManager() const { return motionManager_; }
  std::shared_ptr<platform::LocationManager> locationManager() const { return locationManager_; }

  // Queued entries (tests and diagnostics).
  size_t queuedCount() const;
  // The three operation queues; null until configured (or when unavailable).
  platform::QueuePtr gyroscopeQueue() const;
  platform::QueuePtr accelerometerQueue() const;
  platform::QueuePtr magnetometerQueue() const;

  MCSensorManager();

 private:
  void handleDeviceMotion(const platform::DeviceMotion* motion, const platform::Error* error);
  void handleAccelerometer(const platform::Error* error);
  void handleGyroscope(const platform::GyroData* data, const platform::Error* error);
  // One sensor's text lines, each queue with its own lock.
  struct TextQueue {
    platform::Mutex mutex;
    std::deque<std::string> lines GUARDED_BY(mutex);
  };
  void appendText(TextQueue& queue, double a, double b, double c);
  static std::vector<std::string> drain(TextQueue& queue);
  size_t textCap() const;

  platform::QueuePtr gyroscopeQueue_ GUARDED_BY(propMutex_);
  platform::QueuePtr accelerometerQueue_ GUARDED_BY(propMutex_);
  platform::QueuePtr magnetometerQueue_ GUARDED_BY(propMutex_);
  // Lock order: the coordinator's tick mutex comes before mutex_ (fillWscanMessage). The
  // manager's own locks are never held together (a text queue's cap is read under
  // propMutex_ before its lock is taken); propMutex_ may be held while calling the
  // platform's motion manager, dispatch and the logger. No lock is held while the
  // delegate runs.
  mutable platform::Mutex mutex_;  // sensorEntries_
  TextQueue accelerometerText_, magnetometerText_, gyroscopeText_;
  mutable platform::Mutex propMutex_;  // the properties and the queues
  bool shouldDisplayCalibration_ GUARDED_BY(propMutex_) = true;
  bool gpsScanEnabled_ GUARDED_BY(propMutex_) = true;
  double period_ GUARDED_BY(propMutex_) = 0.01;
  std::weak_ptr<MCSensorManagerDelegate> delegate_ GUARDED_BY(propMutex_);
  std::shared_ptr<platform::MotionManager> motionManager_;
  std::shared_ptr<platform::LocationManager> locationManager_;
  std::deque<MCSensorEntry> sensorEntries_ GUARDED_BY(mutex_);
};
