#include "MCPushManager/mc_action.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "Foundation/mc_log.h"
#include "platform/clock.h"
#include "platform/main_thread.h"

namespace {

// Leading blanks, an optional sign, then digits; 0 when there are none. Stops
// growing well before overflow.
int64_t ReadInteger(const std::string& text, size_t from) {
  size_t i = from;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t v = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (v < 1000000000000LL) v = v * 10 + (text[i] - '0');
  }
  return negative ? -v : v;
}

}  // namespace

uint64_t MCStringToProximity(const std::string* text) {
  if (text == nullptr) return 0;
  if (*text == "Immidiate") return 1;
  if (*text == "Near") return 2;
  if (*text == "Far") return 3;
  return 0;
}

int64_t MCWeekDayFromString(const std::string& text) {
  static const char* const kDays[] = {"sunday",   "monday", "tuesday", "wednesday",
                                      "thursday", "friday", "saturday"};
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  for (int k = 0; k < 7; ++k)
    if (lower == kDays[k]) return k + 1;
  return 0;
}

int64_t MCSecondsFromString(const nlohmann::json* value) {
  if (value == nullptr || !value->is_string()) return 0;
  const std::string text = value->get<std::string>();
  const size_t colon = text.find(':');
  const int64_t hours = ReadInteger(text, 0);
  const int64_t minutes = colon == std::string::npos ? 0 : ReadInteger(text, colon + 1);
  return hours * 3600 + minutes * 60;
}

void MCActionBeacon::checkActionsWithProximity(uint64_t rangedProximity) {
  for (const auto& action : actions)
    if (!action->isCooling()) action->startActionWithProximity(rangedProximity);
}

void MCAction::startActionWithProximity(uint64_t /*rangedProximity*/) {
  PLATFORM_MAIN_THREAD_ONLY();
  MC_LOG(2, "Action start!\n");
  sendAction_ = true;
  // The timer holds the action until its second tick stops it, so a replaced
  // action still finishes its cool-down.
  auto self = shared_from_this();
  actionTimer_ = platform::Timer::scheduledTimerWithTimeInterval(double(frequency), true,
                                                                 [self] { self->setAction(); });
  if (!active) {
    sendAction_ = false;
    return;
  }
  if (!scheduled) {
    fire();
  } else if (scheduleAllowsNow()) {
    // Every open day that matches fires, as overlapping windows always did.
    const platform::CalendarFields now =
        platform::Clock::localFields(platform::Clock::now().seconds);
    const int64_t t = int64_t(now.hour) * 3600 + now.minute * 60 + now.second;
    for (const MCDay& day : shedule)
      if (day.weekDay == now.weekday + 1 && day.start < t && t < day.end) fire();
  }
  sendAction_ = false;
}

bool MCAction::scheduleAllowsNow() const { return !shedule.empty(); }

void MCAction::fire() {
  auto d = delegate.lock();
  if (!d || !d->didRangePushWithTitle) return;
  d->didRangePushWithTitle(title, content, image, int64_t(id));
  char number[32];
  std::snprintf(number, sizeof number, "%lld", static_cast<long long>(id));
  MC_LOG(1, "Push did ranged with title: " + title + " content: " + content + " image: " + image +
                " id: " + number + "\n");
}

void MCAction::setAction() {
  PLATFORM_MAIN_THREAD_ONLY();
  if (sendAction_) {
    stopAction();
    sendAction_ = false;
  } else {
    sendAction_ = true;
  }
}

void MCAction::stopAction() {
  if (!actionTimer_) return;
  MC_LOG(2, "Action timer been stopped.\n");
  auto timer = std::move(actionTimer_);
  actionTimer_.reset();
  timer->invalidate();
}
