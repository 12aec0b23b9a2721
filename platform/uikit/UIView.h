// The headless view tree: frames, alpha, colours, a layer's look, constraints (recorded, never solved),
// hit testing, associated objects for categories, and block animations that complete on the clock.
//
// Views are main-thread objects (asserted in debug builds). A view owns its subviews; the superview is a
// weak back-pointer and the window is found by walking up. Tree hooks run in the platform's order:
//   willMoveToSuperview, willMoveToWindow (whole subtree, when the window changes), the move,
//   didAddSubview on the new superview, didMoveToSuperview, didMoveToWindow (whole subtree).
// Hooks may change the tree again (even remove the view being moved); the tree stays consistent.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"
#include "platform/graphics/UIColor.h"

class UIView;
class UIWindow;
class UIViewController;

// A finger on the screen, as delivered to responders.
struct UITouch {
    std::weak_ptr<UIView> view;  // the view the touch began in (the hit-test result)
    std::weak_ptr<UIWindow> window;
    CGPoint locationInWindow;
    // A touch handed straight to `view` because no point can be inside it (it or a superview has no size,
    // see the headless device): it counts as inside `view`.
    bool direct = false;
    CGPoint locationInView(const std::shared_ptr<UIView>& view) const;  // null: window coordinates
    // Whether the touch is inside `target`: a direct touch is inside the view it was handed to; any other
    // is inside when its location is (pointInside).
    bool isInside(const std::shared_ptr<UIView>& target) const;
};

// Base of everything that answers events. Unhandled touches go up the responder chain.
class UIResponder : public Object {
  public:
    virtual std::shared_ptr<UIResponder> nextResponder() const { return nullptr; }
    virtual void touchesBegan(const UITouch& touch);
    virtual void touchesEnded(const UITouch& touch);
    virtual void touchesCancelled(const UITouch& touch);
    virtual bool canBecomeFirstResponder() const { return false; }
    // Overridable so that a responder can ask before it takes or gives up the first-responder status.
    virtual bool becomeFirstResponder();
    virtual bool resignFirstResponder();
    bool isFirstResponder() const;
    // The responder that typing goes to, if any.
    static std::shared_ptr<UIResponder> firstResponder();

  protected:
    UIResponder() = default;
    virtual void didBecomeFirstResponder() {}
    virtual void didResignFirstResponder() {}
};

class CALayer {
  public:
    CGFloat cornerRadius = 0;
    CGFloat borderWidth = 0;
    UIColorPtr borderColor = UIColor::blackColor();
    UIColorPtr shadowColor = UIColor::blackColor();
    float shadowOpacity = 0;
    CGSize shadowOffset{0, -3};
    CGFloat shadowRadius = 3;
    bool masksToBounds = false;
};

enum class NSLayoutAttribute {
    NotAnAttribute = 0,
    Left = 1,
    Right,
    Top,
    Bottom,
    Leading,
    Trailing,
    Width,
    Height,
    CenterX,
    CenterY,
    LastBaseline,
    FirstBaseline = 12
};
enum class NSLayoutRelation { LessThanOrEqual = -1, Equal = 0, GreaterThanOrEqual = 1 };
using UILayoutPriority = float;
inline constexpr UILayoutPriority UILayoutPriorityRequired = 1000;
inline constexpr UILayoutPriority UILayoutPriorityDefaultHigh = 750;
inline constexpr UILayoutPriority UILayoutPriorityDefaultLow = 250;

// One recorded constraint: first.attribute relation second.attribute * multiplier + constant. Items are
// weak, so a constraint never keeps a view alive.
class NSLayoutConstraint final : public Object {
  public:
    static std::shared_ptr<NSLayoutConstraint> constraintWithItem(const std::shared_ptr<UIView>& firstItem,
                                                                  NSLayoutAttribute firstAttribute,
                                                                  NSLayoutRelation relation,
                                                                  const std::shared_ptr<UIView>& secondItem,
                                                                  NSLayoutAttribute secondAttribute,
                                                                  CGFloat multiplier, CGFloat constant);

    std::shared_ptr<UIView> firstItem() const { return firstItem_.lock(); }
    std::shared_ptr<UIView> secondItem() const { return secondItem_.lock(); }
    NSLayoutAttribute firstAttribute() const { return firstAttribute_; }
    NSLayoutAttribute secondAttribute() const { return secondAttribute_; }
    NSLayoutRelation relation() const { return relation_; }
    CGFloat multiplier() const { return multiplier_; }
    CGFloat constant() const { return constant_; }
    void setConstant(CGFloat constant) { constant_ = constant; }
    UILayoutPriority priority() const { return priority_; }
    void setPriority(UILayoutPriority priority) { priority_ = priority; }
    const std::string& identifier() const { return identifier_; }
    void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
    // Active means installed in some view. Activating installs it in the closest common ancestor of its
    // items (the first item's superview for a size constant); false when the items share no ancestor.
    bool isActive() const { return !installedIn_.expired(); }
    bool setActive(bool active);
    std::shared_ptr<UIView> installedIn() const { return installedIn_.lock(); }

    std::string description() const override;

  private:
    friend class UIView;
    NSLayoutConstraint() = default;
    std::weak_ptr<UIView> firstItem_, secondItem_;
    NSLayoutAttribute firstAttribute_ = NSLayoutAttribute::NotAnAttribute;
    NSLayoutAttribute secondAttribute_ = NSLayoutAttribute::NotAnAttribute;
    NSLayoutRelation relation_ = NSLayoutRelation::Equal;
    CGFloat multiplier_ = 1;
    CGFloat constant_ = 0;
    UILayoutPriority priority_ = UILayoutPriorityRequired;
    std::string identifier_;
    std::weak_ptr<UIView> installedIn_;
};

using NSLayoutConstraintPtr = std::shared_ptr<NSLayoutConstraint>;

enum class UIViewContentMode {
    ScaleToFill = 0,
    ScaleAspectFit,
    ScaleAspectFill,
    Redraw,
    Center,
    Top,
    Bottom,
    Left,
    Right,
    TopLeft,
    TopRight,
    BottomLeft,
    BottomRight
};

using UIViewAutoresizing = unsigned;
inline constexpr UIViewAutoresizing UIViewAutoresizingNone = 0;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleLeftMargin = 1 << 0;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleWidth = 1 << 1;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleRightMargin = 1 << 2;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleTopMargin = 1 << 3;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleHeight = 1 << 4;
inline constexpr UIViewAutoresizing UIViewAutoresizingFlexibleBottomMargin = 1 << 5;

using UIViewAnimationOptions = unsigned long;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionLayoutSubviews = 1 << 0;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionAllowUserInteraction = 1 << 1;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionBeginFromCurrentState = 1 << 2;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionAllowAnimatedContent = 1 << 7;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseInOut = 0 << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseIn = 1 << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseOut = 2 << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveLinear = 3 << 16;

// "No intrinsic size in this dimension."
inline constexpr CGFloat UIViewNoIntrinsicMetric = -1;

// What tests see of an animation in flight.
struct UIViewAnimationInfo {
    std::weak_ptr<UIView> view;
    std::string property;  // "frame", "center", "bounds", "alpha", "backgroundColor"
    double duration;
    double delay;
    UIViewAnimationOptions options;
    double endTime;  // on the monotonic clock
};

class UIView : public UIResponder {
  public:
    static std::shared_ptr<UIView> create(CGRect frame = CGRectZero);
    ~UIView() override;

    // The dynamic class name (also for subclasses defined elsewhere), used by the tree dump.
    virtual std::string className() const;

    // Geometry. The frame is in the superview's coordinates; the bounds' origin shifts what the view shows.
    CGRect frame() const { return frame_; }
    virtual void setFrame(CGRect frame);
    CGRect bounds() const { return {boundsOrigin_, frame_.size}; }
    void setBounds(CGRect bounds);  // keeps the centre
    CGPoint center() const { return frame_.center(); }
    void setCenter(CGPoint center);

    // Look.
    CGFloat alpha() const { return alpha_; }
    virtual void setAlpha(CGFloat alpha);
    bool isHidden() const { return hidden_; }
    virtual void setHidden(bool hidden);
    UIColorPtr backgroundColor() const { return backgroundColor_; }
    virtual void setBackgroundColor(UIColorPtr color);
    UIColorPtr tintColor() const;  // inherited from the superview when unset; the system blue at the root
    void setTintColor(UIColorPtr color) { tintColor_ = std::move(color); }
    bool clipsToBounds() const { return layer_->masksToBounds; }
    void setClipsToBounds(bool clips) { layer_->masksToBounds = clips; }
    CALayer& layer() { return *layer_; }
    const CALayer& layer() const { return *layer_; }
    UIViewContentMode contentMode() const { return contentMode_; }
    void setContentMode(UIViewContentMode mode) { contentMode_ = mode; }

    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }
    bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
    void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
    const std::string& accessibilityLabel() const { return accessibilityLabel_; }
    void setAccessibilityLabel(std::string label) { accessibilityLabel_ = std::move(label); }
    // The text a person would read on this view ("" for plain views); found by the test helpers.
    virtual std::string displayedText() const { return ""; }

    // The tree.
    std::shared_ptr<UIView> superview() const { return superview_.lock(); }
    const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
    virtual std::shared_ptr<UIWindow> window() const;
    void addSubview(const std::shared_ptr<UIView>& view);
    void insertSubview(const std::shared_ptr<UIView>& view, size_t index);
    void insertSubviewAbove(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling);
    void insertSubviewBelow(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling);
    void removeFromSuperview();
    void bringSubviewToFront(const std::shared_ptr<UIView>& view);
    void sendSubviewToBack(const std::shared_ptr<UIView>& view);
    bool isDescendantOfView(const std::shared_ptr<UIView>& view) const;  // true for the view itself
    // Depth-first, this view first; nullptr when none has the tag.
    std::shared_ptr<UIView> viewWithTag(long tag);

    // Hooks for subclasses; the defaults do nothing.
    virtual void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview);
    virtual void didMoveToSuperview();
    virtual void willMoveToWindow(const std::shared_ptr<UIWindow>& newWindow);
    virtual void didMoveToWindow();
    virtual void didAddSubview(const std::shared_ptr<UIView>& subview);
    virtual void willRemoveSubview(const std::shared_ptr<UIView>& subview);

    // Constraints are recorded only.
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizing_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool v) { translatesAutoresizing_ = v; }
    UIViewAutoresizing autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(UIViewAutoresizing mask) { autoresizingMask_ = mask; }
    const std::vector<NSLayoutConstraintPtr>& constraints() const { return constraints_; }
    void addConstraint(const NSLayoutConstraintPtr& constraint);
    void addConstraints(const std::vector<NSLayoutConstraintPtr>& constraints);
    void removeConstraint(const NSLayoutConstraintPtr& constraint);
    void removeConstraints(const std::vector<NSLayoutConstraintPtr>& constraints);

    // Layout.
    virtual void layoutSubviews() {}
    void setNeedsLayout() { needsLayout_ = true; }
    bool needsLayout() const { return needsLayout_; }
    // Lays out this view when it needs it, then its subviews.
    void layoutIfNeeded();
    virtual CGSize sizeThatFits(CGSize size) const;
    void sizeToFit();
    virtual CGSize intrinsicContentSize() const { return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric}; }
    void invalidateIntrinsicContentSize() { setNeedsLayout(); }

    // Hit testing: hidden views, views with alpha below 0.01 and views that take no interaction (with
    // their subtrees) are skipped; the frontmost subview that contains the point wins.
    virtual std::shared_ptr<UIView> hitTest(CGPoint point);
    virtual bool pointInside(CGPoint point) const;
    // `view` null means the window (or screen, for a window).
    CGPoint convertPointToView(CGPoint point, const std::shared_ptr<UIView>& view) const;
    CGPoint convertPointFromView(CGPoint point, const std::shared_ptr<UIView>& view) const;
    CGRect convertRectToView(CGRect rect, const std::shared_ptr<UIView>& view) const;
    // This view's point in screen coordinates.
    CGPoint convertPointToScreen(CGPoint point) const;

    // Associated objects: per-view state for categories, by the address of a static key.
    enum class Association { Strong, Weak };
    void setAssociatedValue(const void* key, Value value);
    Value associatedValue(const void* key) const;  // null when unset
    template <class T>
    void setAssociatedObject(const void* key, const std::shared_ptr<T>& object,
                             Association policy = Association::Strong) {
        if (!object)
            associated_.erase(key);
        else if (policy == Association::Strong)
            associated_[key] = object;
        else
            associated_[key] = std::weak_ptr<T>(object);
    }
    template <class T>
    std::shared_ptr<T> associatedObject(const void* key) const {
        auto it = associated_.find(key);
        if (it == associated_.end()) return nullptr;
        if (auto* p = std::any_cast<std::shared_ptr<T>>(&it->second)) return *p;
        if (auto* w = std::any_cast<std::weak_ptr<T>>(&it->second)) return w->lock();
        return nullptr;
    }

    // The controller whose root view this is, if any.
    std::shared_ptr<UIViewController> viewController() const { return controller_.lock(); }
    std::shared_ptr<UIResponder> nextResponder() const override;

    // Animations. Inside the block the changed properties take their new values at once; the completion
    // runs on the main run loop when the clock reaches delay + duration (finished true), or with finished
    // false once later animations have taken over every property it animated (on the next turn of the run
    // loop). A block that changes nothing completes (true) on the next turn of the run loop.
    static void animateWithDuration(double duration, const std::function<void()>& animations);
    static void animateWithDuration(double duration, const std::function<void()>& animations,
                                    std::function<void(bool finished)> completion);
    static void animateWithDuration(double duration, double delay, UIViewAnimationOptions options,
                                    const std::function<void()>& animations,
                                    std::function<void(bool finished)> completion);
    static void performWithoutAnimation(const std::function<void()>& changes);
    static std::vector<UIViewAnimationInfo> animationsInFlight();

    // One line for the tree dump, without indentation or newline.
    std::string dumpLine() const;

  protected:
    explicit UIView(CGRect frame);
    // Extra fields for the dump line (" text=\"...\""), after the geometry.
    virtual std::string dumpDetails() const { return ""; }
    // Records a change of an animatable property (called by the setters).
    void noteAnimatableChange(const char* property);
    template <class T>
    std::shared_ptr<T> self() {
        return std::static_pointer_cast<T>(shared_from_this());
    }
    template <class T>
    std::shared_ptr<const T> self() const {
        return std::static_pointer_cast<const T>(shared_from_this());
    }

  private:
    friend class UIViewController;
    friend class NSLayoutConstraint;
    void moveHere(const std::shared_ptr<UIView>& view, size_t index);
    void propagateWillMoveToWindow(const std::shared_ptr<UIWindow>& window);
    void propagateDidMoveToWindow();
    void detachConstraintsReferencing(const UIView& removed);

    CGRect frame_;
    CGPoint boundsOrigin_;
    CGFloat alpha_ = 1;
    bool hidden_ = false;
    UIColorPtr backgroundColor_;
    UIColorPtr tintColor_;
    std::unique_ptr<CALayer> layer_ = std::make_unique<CALayer>();
    UIViewContentMode contentMode_ = UIViewContentMode::ScaleToFill;
    long tag_ = 0;
    bool userInteractionEnabled_ = true;
    std::string accessibilityLabel_;
    std::weak_ptr<UIView> superview_;
    std::vector<std::shared_ptr<UIView>> subviews_;
    bool translatesAutoresizing_ = true;
    UIViewAutoresizing autoresizingMask_ = UIViewAutoresizingNone;
    std::vector<NSLayoutConstraintPtr> constraints_;
    bool needsLayout_ = true;
    std::map<const void*, std::any> associated_;
    std::weak_ptr<UIViewController> controller_;
};

using UIViewPtr = std::shared_ptr<UIView>;

// Asserts (debug builds) that the caller is on the main thread.
void UIAssertMainThread();
// The dynamic class name of an object ("UILabel", "NotificationView").
std::string UIClassNameOf(const Object& object);
// Text quoted for a dump line: "a \"b\"\n".
std::string UIDumpQuoted(const std::string& text);
