// Windows: the roots of view trees, stacked by level. A window starts hidden; the application keeps a weak
// list of every window, and one visible window at most is the key window.
//
// When the key window hides (or resigns), key status passes to the topmost visible window. Setting the root
// view controller installs its view filling the window; the controller appears when the window is visible.
#pragma once

#include <memory>

#include "platform/uikit/UIView.h"

using UIWindowLevel = CGFloat;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

class UIWindow : public UIView {
  public:
    static std::shared_ptr<UIWindow> create(CGRect frame);

    UIWindowLevel windowLevel() const { return level_; }
    void setWindowLevel(UIWindowLevel level) { level_ = level; }
    void setHidden(bool hidden) override;

    bool isKeyWindow() const;
    void makeKeyWindow();
    void makeKeyAndVisible();
    void resignKeyWindow();
    // Hooks around key status.
    virtual void becomeKeyWindow() {}

    std::shared_ptr<UIViewController> rootViewController() const { return root_; }
    void setRootViewController(const std::shared_ptr<UIViewController>& controller);

    std::shared_ptr<UIWindow> window() const override;
    std::shared_ptr<UIResponder> nextResponder() const override;

    // Order among windows of one level: the one shown last is on top.
    uint64_t orderStamp() const { return orderStamp_; }

  protected:
    explicit UIWindow(CGRect frame);
    std::string dumpDetails() const override;

  private:
    UIWindowLevel level_ = UIWindowLevelNormal;
    std::shared_ptr<UIViewController> root_;
    uint64_t orderStamp_ = 0;
};

using UIWindowPtr = std::shared_ptr<UIWindow>;
