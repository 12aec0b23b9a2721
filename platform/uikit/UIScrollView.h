// A view that shows a movable window onto content larger than itself.
//
// The content offset is the bounds' origin. Its resting range runs from (-inset.left, -inset.top) to the far
// edge of the content plus the bottom and right insets, less the view's size (never below the start).
//
// Fingers. A drag is three calls: `beginDragging`, any number of `dragBy` (the finger's translation since the
// last move, so a finger moving down by 60 moves the offset up by 60) and `endDragging`. An axis moves when
// the content is larger than the view on that axis (insets included) or `alwaysBounce...` is set; past the
// edges the offset follows the finger one to one when `bounces` is on and stops at the edge when it is off.
// Disabled scrolling or interaction ignores the drag.
//
// Release. The resting offset is the nearest in-range offset (with paging, the nearest page, or the next
// page in the direction of a release velocity). The delegate hears, in order:
//   scrollViewWillBeginDragging (begin), scrollViewDidScroll (every change of the offset),
//   scrollViewDidEndDragging(willDecelerate) (release; willDecelerate when the offset must still move),
//   scrollViewWillBeginDecelerating, scrollViewDidScroll for each step, scrollViewDidEndDecelerating.
// Settling takes UIScrollViewSettleDuration on the clock, in steps on main run loop timers; each step
// heads for the resting offset as it is at that moment, so an observer that changes the insets during the
// settle (a pull-to-refresh header) is followed. A new drag stops a settle without DidEndDecelerating.
// `setContentOffset(offset, Animated::Yes)` moves the same way and ends with
// scrollViewDidEndScrollingAnimation; the unanimated form stops any movement and jumps.
//
// Observation: key-value observing of "contentOffset", "contentSize" and "contentInset" (values in their
// text form, "{x, y}", "{w, h}", "{top, left, bottom, right}"); observers are told on every set, as the
// platform does, also when the value stays the same. The delegate's DidScroll runs only on a real change.
#pragma once

#include <memory>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIViewController.h"

class UIScrollView;
class NSTimer;

inline constexpr double UIScrollViewSettleDuration = 0.3;

// Every method is optional; the defaults do nothing.
class UIScrollViewDelegate {
  public:
    virtual ~UIScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(UIScrollView&) {}
    virtual void scrollViewWillBeginDragging(UIScrollView&) {}
    virtual void scrollViewDidEndDragging(UIScrollView&, bool /*willDecelerate*/) {}
    virtual void scrollViewWillBeginDecelerating(UIScrollView&) {}
    virtual void scrollViewDidEndDecelerating(UIScrollView&) {}
    virtual void scrollViewDidEndScrollingAnimation(UIScrollView&) {}
};

class UIScrollView : public UIView, public KVOObservable {
  public:
    static std::shared_ptr<UIScrollView> create(CGRect frame = CGRectZero);
    ~UIScrollView() override;

    std::shared_ptr<UIScrollViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UIScrollViewDelegate> delegate) { delegate_ = std::move(delegate); }

    CGPoint contentOffset() const { return bounds().origin; }
    void setContentOffset(CGPoint offset);
    void setContentOffset(CGPoint offset, Animated animated);
    CGSize contentSize() const { return contentSize_; }
    void setContentSize(CGSize size);
    UIEdgeInsets contentInset() const { return contentInset_; }
    void setContentInset(UIEdgeInsets insets);

    bool bounces() const { return bounces_; }
    void setBounces(bool bounces) { bounces_ = bounces; }
    bool alwaysBounceVertical() const { return alwaysBounceVertical_; }
    void setAlwaysBounceVertical(bool v) { alwaysBounceVertical_ = v; }
    bool alwaysBounceHorizontal() const { return alwaysBounceHorizontal_; }
    void setAlwaysBounceHorizontal(bool v) { alwaysBounceHorizontal_ = v; }
    bool isPagingEnabled() const { return pagingEnabled_; }
    void setPagingEnabled(bool v) { pagingEnabled_ = v; }
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool v) { scrollEnabled_ = v; }
    bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
    void setShowsHorizontalScrollIndicator(bool v) { showsHorizontal_ = v; }
    bool showsVerticalScrollIndicator() const { return showsVertical_; }
    void setShowsVerticalScrollIndicator(bool v) { showsVertical_ = v; }
    bool scrollsToTop() const { return scrollsToTop_; }
    void setScrollsToTop(bool v) { scrollsToTop_ = v; }

    bool isTracking() const { return dragging_; }
    bool isDragging() const { return dragging_; }
    bool isDecelerating() const { return settle_ == Settle::Decelerating; }

    // The finger (tests and the headless device). False, and nothing happens, when the view takes no drag
    // (scrolling or interaction disabled, hidden) or when the call is out of turn.
    bool beginDragging();
    bool dragBy(CGFloat dx, CGFloat dy);
    // `velocity` in points per millisecond, in the direction of the offset (positive: towards the end).
    bool endDragging(CGPoint velocity = CGPointZero);
    // begin, `steps` equal moves making up `translation`, release.
    bool drag(CGPoint translation, int steps = 1, CGPoint velocity = CGPointZero);

    // The smallest and largest resting offsets.
    CGPoint minimumContentOffset() const;
    CGPoint maximumContentOffset() const;

    Value valueForKey(const std::string& key) const override;

  protected:
    explicit UIScrollView(CGRect frame);
    std::string dumpDetails() const override;
    // Called after every change of the offset, before the delegate hears of it (subclasses tile here).
    virtual void contentOffsetDidChange() {}

  private:
    enum class Settle { None, Decelerating, Animating };
    bool takesDrag() const;
    bool scrollsVertically() const;
    bool scrollsHorizontally() const;
    CGPoint restingOffset(CGPoint from, CGPoint velocity) const;
    void applyOffset(CGPoint offset);
    void startSettle(Settle kind, CGPoint target, bool followRestingOffset);
    void settleStep();
    void stopSettle();

    std::weak_ptr<UIScrollViewDelegate> delegate_;
    CGSize contentSize_;
    UIEdgeInsets contentInset_;
    bool bounces_ = true;
    bool alwaysBounceVertical_ = false;
    bool alwaysBounceHorizontal_ = false;
    bool pagingEnabled_ = false;
    bool scrollEnabled_ = true;
    bool showsHorizontal_ = true;
    bool showsVertical_ = true;
    bool scrollsToTop_ = true;
    bool dragging_ = false;
    CGPoint dragStartOffset_;

    Settle settle_ = Settle::None;
    std::shared_ptr<NSTimer> settleTimer_;
    CGPoint settleTarget_;
    bool settleFollowsResting_ = false;
    int settleStepsLeft_ = 0;
};

using UIScrollViewPtr = std::shared_ptr<UIScrollView>;
