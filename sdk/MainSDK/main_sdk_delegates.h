// The coordinator's side of its managers' delegate protocols: one object per
// coordinator whose slots pass each event on (internal to MainSDK).
#pragma once

#include <memory>

#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MainSDK/main_sdk.h"
#include "Navigation/mc_navigation_manager.h"

struct MainSDKManagerDelegates {
  MCZoneManagerDelegate zone;
  MCPushManagerDelegate push;
  MCLogManagerDelegate log;
  MCSettingsManagerDelegate settings;
  std::shared_ptr<void> sensor;  // the sensor and beacon managers' delegates
  std::shared_ptr<void> beacon;
};

// Fills the sensor and beacon manager slots with the shared instances.
void MainSDKSharedReadingManagers(MainSDKManagers& managers);
