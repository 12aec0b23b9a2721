// The device's screen, as the device profile describes it (375 x 667 points at scale 2 by default).
#pragma once

#include <memory>

#include "platform/graphics/Geometry.h"

class UIScreen {
  public:
    static UIScreen& mainScreen();
    // Read from the current device profile each time, so a test that changes the profile sees it.
    CGRect bounds() const;
    CGFloat scale() const;

  private:
    UIScreen() = default;
};
