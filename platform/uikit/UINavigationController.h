// The navigation controller: a stack of controllers under a navigation bar.
//
// Push and pop make the appearance calls in the platform's order (will-disappear of the old top,
// will-appear of the new, then did-disappear and did-appear; with animation the "did" calls come after
// UINavigationTransitionDuration on the clock). Only the top controller's view is in the navigation view.
// The bar shows the top item's title and bar buttons, and a back button ("Back", or the previous title)
// when a pushed controller has no left item of its own.
#pragma once

#include "platform/uikit/UIViewController.h"

inline constexpr double UINavigationTransitionDuration = 0.35;
inline constexpr const char* NSForegroundColorAttributeName = "NSColor";
inline constexpr const char* NSFontAttributeName = "NSFont";

class UILabel;
class UIButton;

class UINavigationBar : public UIView {
  public:
    static std::shared_ptr<UINavigationBar> create(CGRect frame);

    // Values are UIColor (NSForegroundColorAttributeName) and UIFont (NSFontAttributeName) objects.
    const Value::Dictionary& titleTextAttributes() const { return titleTextAttributes_; }
    void setTitleTextAttributes(Value::Dictionary attributes);
    UIColorPtr barTintColor() const { return barTintColor_; }
    void setBarTintColor(UIColorPtr color) { barTintColor_ = std::move(color); }
    bool isTranslucent() const { return translucent_; }
    void setTranslucent(bool translucent) { translucent_ = translucent; }

    const std::vector<UINavigationItemPtr>& items() const { return items_; }
    UINavigationItemPtr topItem() const { return items_.empty() ? nullptr : items_.back(); }
    void setItems(std::vector<UINavigationItemPtr> items);
    // The subviews showing the top item.
    std::shared_ptr<UILabel> titleLabel() const { return titleLabel_; }
    std::shared_ptr<UIButton> leftButton() const { return leftButton_; }
    std::shared_ptr<UIButton> rightButton() const { return rightButton_; }

    // What a tap on the back button does (set by the navigation controller).
    void setBackAction(std::function<void()> action) { backAction_ = std::move(action); }

    void layoutSubviews() override;

  private:
    friend class UINavigationItem;
    explicit UINavigationBar(CGRect frame) : UIView(frame) {}
    void itemsChanged();
    std::shared_ptr<UIButton> makeButton(const UIBarButtonItemPtr& item, std::function<void()> action);

    Value::Dictionary titleTextAttributes_;
    UIColorPtr barTintColor_;
    bool translucent_ = true;
    std::vector<UINavigationItemPtr> items_;
    std::shared_ptr<UILabel> titleLabel_;
    std::shared_ptr<UIButton> leftButton_, rightButton_;
    std::function<void()> backAction_;
};

class UINavigationController : public UIViewController {
  public:
    static std::shared_ptr<UINavigationController> create();
    static std::shared_ptr<UINavigationController> initWithRootViewController(
        const std::shared_ptr<UIViewController>& root);

    const std::vector<UIViewControllerPtr>& viewControllers() const { return stack_; }
    void setViewControllers(std::vector<UIViewControllerPtr> controllers, Animated animated);
    UIViewControllerPtr topViewController() const { return stack_.empty() ? nullptr : stack_.back(); }
    // The presented controller when there is one, else the top controller.
    UIViewControllerPtr visibleViewController() const;

    // Pushing a controller that is already on a stack does nothing but a console line.
    virtual void pushViewController(const UIViewControllerPtr& controller, Animated animated);
    // nullptr when only the root is left.
    virtual UIViewControllerPtr popViewControllerAnimated(Animated animated);
    virtual std::vector<UIViewControllerPtr> popToRootViewControllerAnimated(Animated animated);
    std::vector<UIViewControllerPtr> popToViewController(const UIViewControllerPtr& controller,
                                                         Animated animated);

    std::shared_ptr<UINavigationBar> navigationBar();
    bool isNavigationBarHidden() const { return barHidden_; }
    void setNavigationBarHidden(bool hidden) { setNavigationBarHidden(hidden, Animated::No); }
    void setNavigationBarHidden(bool hidden, Animated animated);

    void loadView() override;

  protected:
    UINavigationController() = default;
    UIViewControllerPtr childForAppearance() const override { return topViewController(); }

  private:
    // Replaces the stack, moving the shown view from `from` to the new top with the appearance calls.
    void transition(std::vector<UIViewControllerPtr> newStack, bool animated);
    void installView(const UIViewControllerPtr& controller);
    void updateBar();

    std::vector<UIViewControllerPtr> stack_;
    std::shared_ptr<UINavigationBar> bar_;
    bool barHidden_ = false;
};

using UINavigationControllerPtr = std::shared_ptr<UINavigationController>;
