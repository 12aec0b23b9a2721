// What shows for a moment and goes: the HUD's tips, dialogs, the banner of a notification, and the end of
// page loads. The device looks during and between commands and prints each the moment it sees it, one line
// each, so that a tip shown and hidden again while no command ran is not lost:
//
//   shown: hud tip "The request timed out."
//   shown: alert "Confirm" "Sure?"
//   shown: banner "Quorvane" "Hello"
//   page loaded: http://127.0.0.1:8080/vqd_web/#/
//   page failed: http://127.0.0.1:9/ (Could not connect: Connection refused)
//
// A thing is printed when it appears (again): one that stays on screen is printed once. A page load is
// printed when the web view tells its delegate how it ended. Main thread only.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/foundation/NotificationCenter.h"

class DeviceWatch {
  public:
    static std::unique_ptr<DeviceWatch> create();
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // The lines (each ending with "\n") of what appeared since the last look.
    std::string look();

  private:
    DeviceWatch() = default;

    std::set<std::string> shown_;  // what showed at the last look
    std::string ended_;            // page loads that ended since the last look
    NSNotificationCenter::Token observer_{};
};
