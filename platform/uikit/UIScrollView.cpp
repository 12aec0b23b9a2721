#include "platform/uikit/UIScrollView.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/RunLoop.h"

namespace {

constexpr int kSettleSteps = 10;

std::string insetsText(UIEdgeInsets i) {
    using valuetext::formatDouble;
    return "{" + formatDouble(i.top) + ", " + formatDouble(i.left) + ", " + formatDouble(i.bottom) + ", " +
           formatDouble(i.right) + "}";
}

}  // namespace

UIScrollView::UIScrollView(CGRect frame) : UIView(frame) {
    setClipsToBounds(true);
}

UIScrollView::~UIScrollView() {
    if (settleTimer_) settleTimer_->invalidate();
}

std::shared_ptr<UIScrollView> UIScrollView::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UIScrollView>(new UIScrollView(frame));
}

Value UIScrollView::valueForKey(const std::string& key) const {
    if (key == "contentOffset") return Value(NSStringFromCGPoint(contentOffset()));
    if (key == "contentSize") return Value(NSStringFromCGSize(contentSize_));
    if (key == "contentInset") return Value(insetsText(contentInset_));
    return Value();
}

void UIScrollView::setContentSize(CGSize size) {
    willChangeValueForKey("contentSize");
    contentSize_ = size;
    setNeedsLayout();
    didChangeValueForKey("contentSize");
}

void UIScrollView::setContentInset(UIEdgeInsets insets) {
    willChangeValueForKey("contentInset");
    contentInset_ = insets;
    setNeedsLayout();
    didChangeValueForKey("contentInset");
}

void UIScrollView::setContentOffset(CGPoint offset) {
    UIAssertMainThread();
    stopSettle();
    applyOffset(offset);
}

void UIScrollView::setContentOffset(CGPoint offset, Animated animated) {
    if (animated == Animated::No) return setContentOffset(offset);
    UIAssertMainThread();
    stopSettle();
    startSettle(Settle::Animating, offset, false);
}

void UIScrollView::applyOffset(CGPoint offset) {
    auto keepAlive = shared_from_this();
    CGPoint old = contentOffset();
    willChangeValueForKey("contentOffset");
    setBounds({offset, bounds().size});
    bool changed = old != offset;
    if (changed) {
        setNeedsLayout();
        contentOffsetDidChange();
        if (auto d = delegate()) d->scrollViewDidScroll(*this);
    }
    didChangeValueForKey("contentOffset");
}

CGPoint UIScrollView::minimumContentOffset() const {
    return {0.0 - contentInset_.left, 0.0 - contentInset_.top};  // never -0, which would print as "-0"
}

CGPoint UIScrollView::maximumContentOffset() const {
    CGSize size = bounds().size;
    CGPoint min = minimumContentOffset();
    return {std::max(min.x, contentSize_.width + contentInset_.right - size.width),
            std::max(min.y, contentSize_.height + contentInset_.bottom - size.height)};
}

bool UIScrollView::scrollsVertically() const {
    return alwaysBounceVertical_ ||
           contentSize_.height + contentInset_.top + contentInset_.bottom > bounds().size.height;
}

bool UIScrollView::scrollsHorizontally() const {
    return alwaysBounceHorizontal_ ||
           contentSize_.width + contentInset_.left + contentInset_.right > bounds().size.width;
}

bool UIScrollView::takesDrag() const {
    return scrollEnabled_ && isUserInteractionEnabled() && !isHidden() && alpha() >= 0.01;
}

bool UIScrollView::beginDragging() {
    UIAssertMainThread();
    if (dragging_ || !takesDrag()) return false;
    auto keepAlive = shared_from_this();
    stopSettle();
    dragging_ = true;
    dragStartOffset_ = contentOffset();
    if (auto d = delegate()) d->scrollViewWillBeginDragging(*this);
    return true;
}

bool UIScrollView::dragBy(CGFloat dx, CGFloat dy) {
    UIAssertMainThread();
    if (!dragging_) return false;
    CGPoint offset = contentOffset();
    CGPoint min = minimumContentOffset(), max = maximumContentOffset();
    auto move = [&](CGFloat current, CGFloat finger, CGFloat lo, CGFloat hi, bool axisScrolls) {
        if (!axisScrolls) return current;
        CGFloat next = current - finger;
        if (bounces_) return next;
        // Without bouncing the edges hold; an offset already outside them (set by code) may only come back.
        return std::clamp(next, std::min(lo, current), std::max(hi, current));
    };
    CGPoint next{move(offset.x, dx, min.x, max.x, scrollsHorizontally()),
                 move(offset.y, dy, min.y, max.y, scrollsVertically())};
    applyOffset(next);
    return true;
}

CGPoint UIScrollView::restingOffset(CGPoint from, CGPoint velocity) const {
    CGPoint min = minimumContentOffset(), max = maximumContentOffset();
    CGPoint target = from;
    if (pagingEnabled_) {
        CGSize page = bounds().size;
        auto snap = [](CGFloat offset, CGFloat pageSize, CGFloat v) {
            if (pageSize <= 0) return offset;
            CGFloat position = offset / pageSize;
            CGFloat index = v > 0 ? std::ceil(position) : v < 0 ? std::floor(position) : std::round(position);
            return index * pageSize;
        };
        target = {snap(from.x, page.width, velocity.x), snap(from.y, page.height, velocity.y)};
    }
    return {std::clamp(target.x, min.x, max.x), std::clamp(target.y, min.y, max.y)};
}

bool UIScrollView::endDragging(CGPoint velocity) {
    UIAssertMainThread();
    if (!dragging_) return false;
    auto keepAlive = shared_from_this();
    dragging_ = false;
    CGPoint target = restingOffset(contentOffset(), velocity);
    bool willDecelerate = target != contentOffset();
    if (auto d = delegate()) d->scrollViewDidEndDragging(*this, willDecelerate);
    if (!willDecelerate || dragging_ || settle_ != Settle::None) return true;  // the delegate took over
    if (auto d = delegate()) d->scrollViewWillBeginDecelerating(*this);
    if (dragging_ || settle_ != Settle::None) return true;
    startSettle(Settle::Decelerating, target, !pagingEnabled_);
    return true;
}

bool UIScrollView::drag(CGPoint translation, int steps, CGPoint velocity) {
    if (!beginDragging()) return false;
    steps = std::max(1, steps);
    for (int i = 0; i < steps && dragging_; ++i) dragBy(translation.x / steps, translation.y / steps);
    return endDragging(velocity);
}

void UIScrollView::startSettle(Settle kind, CGPoint target, bool followRestingOffset) {
    settle_ = kind;
    settleTarget_ = target;
    settleFollowsResting_ = followRestingOffset;
    settleStepsLeft_ = kSettleSteps;
    std::weak_ptr<UIScrollView> weak = self<UIScrollView>();
    settleTimer_ = NSTimer::timerWithTimeInterval(UIScrollViewSettleDuration / kSettleSteps, Repeats::Yes,
                                                  [weak](const std::shared_ptr<NSTimer>&) {
                                                      if (auto view = weak.lock()) view->settleStep();
                                                  });
    NSRunLoop::main().addTimer(settleTimer_, NSRunLoopCommonModes);
}

void UIScrollView::settleStep() {
    if (settle_ == Settle::None) return;
    auto keepAlive = shared_from_this();
    CGPoint current = contentOffset();
    CGPoint target = settleTarget_;
    if (settleFollowsResting_)
        target = restingOffset(current, CGPointZero);
    else if (settle_ == Settle::Decelerating)
        target = restingOffset(settleTarget_, CGPointZero);
    int steps = std::max(1, settleStepsLeft_--);
    CGPoint next = steps == 1 ? target
                              : CGPoint{current.x + (target.x - current.x) / steps,
                                        current.y + (target.y - current.y) / steps};
    Settle kind = settle_;
    auto timer = settleTimer_;
    applyOffset(next);
    // An observer may have stopped or restarted the movement.
    if (settle_ != kind || settleTimer_ != timer) return;
    if (steps > 1) return;
    settle_ = Settle::None;
    if (settleTimer_) settleTimer_->invalidate();
    settleTimer_.reset();
    if (auto d = delegate()) {
        if (kind == Settle::Decelerating)
            d->scrollViewDidEndDecelerating(*this);
        else
            d->scrollViewDidEndScrollingAnimation(*this);
    }
}

void UIScrollView::stopSettle() {
    if (settle_ == Settle::None) return;
    Settle kind = settle_;
    settle_ = Settle::None;
    if (settleTimer_) settleTimer_->invalidate();
    settleTimer_.reset();
    // Deceleration cut short still ends, so that its begin and end calls stay paired.
    if (kind == Settle::Decelerating) {
        if (auto d = delegate()) d->scrollViewDidEndDecelerating(*this);
    }
}

std::string UIScrollView::dumpDetails() const {
    std::string details;
    if (contentOffset() != CGPointZero) details += " contentOffset=" + NSStringFromCGPoint(contentOffset());
    if (contentSize_ != CGSizeZero) details += " contentSize=" + NSStringFromCGSize(contentSize_);
    if (contentInset_ != UIEdgeInsetsZero) details += " contentInset=" + insetsText(contentInset_);
    return details;
}
