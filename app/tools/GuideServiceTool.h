// Chooses the window's first screen at launch:
//   - the first-run guide when the stored `version` differs from the bundle's CFBundleShortVersionString
//     (also when none is stored); the bundle's version is stored at once, so the guide shows once per
//     installed version even if the user leaves it early;
//   - else the sign-in screen (not in a navigation controller) when `AccessToken` is missing or "";
//   - else the main web screen inside its navigation controller.
// Screens come from AppScreens. Main thread only.
#pragma once

#include <memory>

#include "platform/uikit/UIViewController.h"

class GuideServiceTool final {
  public:
    static std::shared_ptr<GuideServiceTool> create() {
        return std::shared_ptr<GuideServiceTool>(new GuideServiceTool());
    }
    UIViewControllerPtr chooseWindowRootViewController();

    enum class Root { Guide, Login, Main };
    // The screen that chooseWindowRootViewController would choose now; reads, stores nothing.
    static Root upcomingRoot();

  private:
    GuideServiceTool() = default;
};
