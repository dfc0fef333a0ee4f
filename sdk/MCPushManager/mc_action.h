// Push actions as the service sends them: an action beacon (a beacon with its
// actions), an action (a message to show near that beacon, with a cool-down
// timer and an optional weekly schedule) and an open day of a schedule.
// An action fires at its first matching sighting when it is active and its
// schedule allows, then ignores its beacon for two periods of its frequency.
//
// Threads: an action's start, its timer and its delegate call belong to the
// thread of the ranging callbacks (the main thread); its timer is scheduled on
// that thread's run loop. Actions are not locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MCModels/mc_beacon.h"
#include "platform/run_loop.h"

struct MCPushManagerDelegate {
  // didRangePushWithTitle:content:image:id:
  std::function<void(const std::string& title, const std::string& content,
                     const std::string& image, int64_t actionId)>
      didRangePushWithTitle;
};

// An open day: weekDay 1 Sunday .. 7 Saturday; start and end are seconds after
// local midnight, both exclusive.
struct MCDay {
  int64_t weekDay = 1;
  int64_t start = 0;
  int64_t end = 0;
};

class MCAction : public std::enable_shared_from_this<MCAction> {
 public:
  uint64_t id = 0;
  bool active = false;
  std::string title;
  std::string content;
  uint64_t frequency = 0;  // seconds, the cool-down timer's period
  uint64_t priority = 0;
  uint64_t proximity = 0;  // 0 unknown, 1 immediate, 2 near, 3 far; does not gate firing
  std::string when;
  uint64_t duration = 0;
  std::string image;
  std::vector<MCDay> shedule;
  // The reply carried a schedule: then only its open days allow firing, and a
  // schedule without any open day never fires. Without one, any time does.
  bool scheduled = false;
  std::weak_ptr<MCPushManagerDelegate> delegate;

  // Called only while no timer runs: arms the timer and fires when allowed.
  void startActionWithProximity(uint64_t rangedProximity);
  // The timer's tick.
  void setAction();
  void stopAction();
  bool isCooling() const { return actionTimer_ != nullptr; }
  bool sendAction() const { return sendAction_; }

 private:
  bool scheduleAllowsNow() const;
  void fire();

  std::shared_ptr<platform::Timer> actionTimer_;
  bool sendAction_ = false;
};

class MCActionBeacon : public MCBeacon {
 public:
  std::vector<std::shared_ptr<MCAction>> actions;

  void checkActionsWithProximity(uint64_t rangedProximity);
};

// The reply's words as values.
uint64_t MCStringToProximity(const std::string* text);
// 1..7 for the seven day names in any letter case; 0 for any other text.
int64_t MCWeekDayFromString(const std::string& text);
// "HH:MM" as seconds; a missing minutes part counts as 0, a text without
// digits as 0, values beyond the day's range are kept as read (clamped to
// what a day's arithmetic can hold).
int64_t MCSecondsFromString(const nlohmann::json* value);
