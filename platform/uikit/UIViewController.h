// View controllers: lazy views, appearance calls, navigation items and modal presentation.
//
// Appearance calls come in pairs and in the platform's order for every transition (window root change,
// push, pop, present, dismiss): will-disappear of the old controller, will-appear of the new one, then
// did-disappear of the old and did-appear of the new. Animated transitions make the "did" calls when the
// transition time has passed on the clock (main run loop timer); a second transition started meanwhile
// first completes the pending one. A container forwards the calls to the child it shows.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/graphics/UIImage.h"
#include "platform/uikit/UIView.h"

class UINavigationController;
class UINavigationBar;
class NSTimer;

enum class Animated { No, Yes };

inline constexpr double UIModalTransitionDuration = 0.4;

enum class UIBarButtonItemStyle { Plain = 0, Bordered = 1, Done = 2 };

class UIBarButtonItem final : public Object {
  public:
    using Action = std::function<void()>;
    static std::shared_ptr<UIBarButtonItem> createWithTitle(std::string title, UIBarButtonItemStyle style,
                                                            Action action);
    static std::shared_ptr<UIBarButtonItem> createWithImage(UIImagePtr image, UIBarButtonItemStyle style,
                                                            Action action);

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    UIImagePtr image() const { return image_; }
    void setImage(UIImagePtr image) { image_ = std::move(image); }
    UIBarButtonItemStyle style() const { return style_; }
    void setStyle(UIBarButtonItemStyle style) { style_ = style; }
    UIColorPtr tintColor() const { return tintColor_; }
    void setTintColor(UIColorPtr color) { tintColor_ = std::move(color); }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    const Action& action() const { return action_; }
    void setAction(Action action) { action_ = std::move(action); }
    // Runs the action as a tap would (nothing when disabled).
    void sendAction() const;

  private:
    UIBarButtonItem() = default;
    std::string title_;
    UIImagePtr image_;
    UIBarButtonItemStyle style_ = UIBarButtonItemStyle::Plain;
    UIColorPtr tintColor_;
    bool enabled_ = true;
    Action action_;
};

using UIBarButtonItemPtr = std::shared_ptr<UIBarButtonItem>;

class UINavigationItem final : public Object {
  public:
    static std::shared_ptr<UINavigationItem> create(std::string title = "");

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    UIBarButtonItemPtr leftBarButtonItem() const { return left_; }
    void setLeftBarButtonItem(UIBarButtonItemPtr item);
    UIBarButtonItemPtr rightBarButtonItem() const { return right_; }
    void setRightBarButtonItem(UIBarButtonItemPtr item);
    bool hidesBackButton() const { return hidesBackButton_; }
    void setHidesBackButton(bool hides);

  private:
    friend class UINavigationBar;
    UINavigationItem() = default;
    void changed();
    std::string title_;
    UIBarButtonItemPtr left_, right_;
    bool hidesBackButton_ = false;
    std::weak_ptr<UINavigationBar> bar_;
};

using UINavigationItemPtr = std::shared_ptr<UINavigationItem>;

using UIRectEdge = unsigned;
inline constexpr UIRectEdge UIRectEdgeNone = 0;
inline constexpr UIRectEdge UIRectEdgeTop = 1 << 0;
inline constexpr UIRectEdge UIRectEdgeLeft = 1 << 1;
inline constexpr UIRectEdge UIRectEdgeBottom = 1 << 2;
inline constexpr UIRectEdge UIRectEdgeRight = 1 << 3;
inline constexpr UIRectEdge UIRectEdgeAll = 15;

class UIViewController : public UIResponder {
  public:
    static std::shared_ptr<UIViewController> create();
    ~UIViewController() override;

    // The view, loaded on first access: loadView, then viewDidLoad.
    std::shared_ptr<UIView> view();
    void setView(const std::shared_ptr<UIView>& view);
    bool isViewLoaded() const { return view_ != nullptr; }
    void loadViewIfNeeded() { view(); }
    // Makes a plain view with the main screen's bounds; override to make another.
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool animated);
    virtual void viewDidAppear(bool animated);
    virtual void viewWillDisappear(bool animated);
    virtual void viewDidDisappear(bool animated);
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}

    const std::string& title() const { return title_; }
    void setTitle(std::string title);  // also the navigation item's title
    UINavigationItemPtr navigationItem();

    std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
    // The closest navigation controller among this controller and its ancestors.
    std::shared_ptr<UINavigationController> navigationController() const;

    // Modal presentation over the whole window. Presenting while already presenting, or from a controller
    // whose view is in no window, does nothing but a console line (and the completion is not called).
    void presentViewController(const std::shared_ptr<UIViewController>& controller, Animated animated,
                               std::function<void()> completion = nullptr);
    // Dismisses what this controller presents, or, when it presents nothing, itself.
    void dismissViewControllerAnimated(Animated animated, std::function<void()> completion = nullptr);
    std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }
    std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }

    bool automaticallyAdjustsScrollViewInsets() const { return adjustsInsets_; }
    void setAutomaticallyAdjustsScrollViewInsets(bool v) { adjustsInsets_ = v; }
    UIRectEdge edgesForExtendedLayout() const { return edges_; }
    void setEdgesForExtendedLayout(UIRectEdge edges) { edges_ = edges; }
    bool hidesBottomBarWhenPushed() const { return hidesBottomBar_; }
    void setHidesBottomBarWhenPushed(bool v) { hidesBottomBar_ = v; }

    enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };
    Appearance appearance() const { return appearance_; }
    // Appearance calls; a call that would repeat the current state does nothing. Containers forward them.
    void beginAppearanceTransition(bool appearing, bool animated);
    void endAppearanceTransition();

    std::shared_ptr<UIResponder> nextResponder() const override;

  protected:
    UIViewController() = default;
    // The child whose appearance follows this controller's (none for a plain controller).
    virtual std::shared_ptr<UIViewController> childForAppearance() const { return nullptr; }
    void setParent(const std::shared_ptr<UIViewController>& parent) { parent_ = parent; }
    template <class T>
    std::shared_ptr<T> self() {
        return std::static_pointer_cast<T>(shared_from_this());
    }

    // One pending animated transition: its timer and the work that ends it.
    struct Transition {
        std::shared_ptr<NSTimer> timer;
        std::function<void()> finish;
    };
    // Runs `finish` now, or after `duration` on the clock when animated; completes any pending one first.
    void runTransition(bool animated, double duration, std::function<void()> finish);
    void completePendingTransition();

  private:
    friend class UINavigationController;
    std::shared_ptr<UIView> view_;
    std::string title_;
    UINavigationItemPtr navigationItem_;
    std::weak_ptr<UIViewController> parent_;
    std::shared_ptr<UIViewController> presented_;
    std::weak_ptr<UIViewController> presenting_;
    bool adjustsInsets_ = true;
    UIRectEdge edges_ = UIRectEdgeAll;
    bool hidesBottomBar_ = false;
    Appearance appearance_ = Appearance::Disappeared;
    bool appearanceAnimated_ = false;
    std::shared_ptr<Transition> transition_;
};

using UIViewControllerPtr = std::shared_ptr<UIViewController>;
