// The coordinator's calls on the sensor and beacon managers.
#include "MainSDK/main_sdk.h"
#include "MainSDK/main_sdk_delegates.h"

void MainSDKSharedReadingManagers(MainSDKManagers&) {}
void MainSDK::readingsFill(WScanMessage&, platform::WallTime) {}
void MainSDK::readingsClear() {}
void MainSDK::readingsStart() {
  std::lock_guard lock(stateMutex_);
}
void MainSDK::readingsStop() {}
void MainSDK::readingsConfigure() {}
void MainSDK::readingsWire() {}
void MainSDK::readingsMeasure(bool) {}
void MainSDK::changeSensorsFrequencyTo(double) {}
void MainSDK::shouldDisplayCalibration(bool) {}
void MainSDK::regularScanEnabled(bool) {}
void MainSDK::fastScanEnabled(bool) {}
void MainSDK::changeRestartTimeout(double) {}
