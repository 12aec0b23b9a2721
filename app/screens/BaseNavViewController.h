// The navigation controller of the web screens. Every screen pushed above the root gets a back button
// ("base.bundle/back", tinted teal) whose tap is the screen's bridge call `pop` (so a page's
// setIsRefresh(true) also holds for the back button), and hides the bottom bar. The root gets no back button.
#pragma once

#include <memory>

#include "platform/uikit/UINavigationController.h"

inline constexpr const char* kBaseNavBackImageName = "base.bundle/back";

class BaseNavViewController : public UINavigationController {
  public:
    static std::shared_ptr<BaseNavViewController> create();
    static std::shared_ptr<BaseNavViewController> initWithRootViewController(const UIViewControllerPtr& root);

    void pushViewController(const UIViewControllerPtr& controller, Animated animated) override;

  protected:
    BaseNavViewController() = default;
};
