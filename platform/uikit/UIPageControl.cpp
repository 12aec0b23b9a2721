#include "platform/uikit/UIPageControl.h"

#include <algorithm>

std::shared_ptr<UIPageControl> UIPageControl::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UIPageControl>(new UIPageControl(frame));
}

void UIPageControl::setNumberOfPages(long pages) {
    numberOfPages_ = std::max(0L, pages);
    setCurrentPage(currentPage_);
    invalidateIntrinsicContentSize();
}

void UIPageControl::setCurrentPage(long page) {
    currentPage_ = std::clamp(page, 0L, std::max(0L, numberOfPages_ - 1));
}

CGSize UIPageControl::sizeForNumberOfPages(long pages) const {
    if (pages <= 0) return CGSizeZero;
    return {CGFloat(pages) * 16, 37};
}

void UIPageControl::touchesEnded(const UITouch& touch) {
    auto me = self<UIPageControl>();
    CGPoint p = touch.locationInView(me);
    bool inside = bounds().contains(p);
    if (inside && isEnabled() && numberOfPages_ > 0) {
        long before = currentPage_;
        setCurrentPage(p.x < bounds().midX() ? currentPage_ - 1 : currentPage_ + 1);
        UIControl::touchesEnded(touch);
        if (currentPage_ != before) sendActionsForControlEvents(UIControlEventValueChanged);
        return;
    }
    UIControl::touchesEnded(touch);
}

std::string UIPageControl::dumpDetails() const {
    return " pages=" + std::to_string(numberOfPages_) + " current=" + std::to_string(currentPage_);
}
