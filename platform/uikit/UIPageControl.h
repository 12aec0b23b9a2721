// A row of dots, one per page, the current one in its own colour. A tap on the left half of the control
// goes back a page and on the right half forward a page, sending value-changed.
#pragma once

#include "platform/uikit/UIControl.h"

class UIPageControl : public UIControl {
  public:
    static std::shared_ptr<UIPageControl> create(CGRect frame = CGRectZero);

    long numberOfPages() const { return numberOfPages_; }
    void setNumberOfPages(long pages);  // negative counts as 0; the current page is kept in range
    long currentPage() const { return currentPage_; }
    void setCurrentPage(long page);  // clamped to the pages there are
    bool hidesForSinglePage() const { return hidesForSinglePage_; }
    void setHidesForSinglePage(bool hides) { hidesForSinglePage_ = hides; }
    UIColorPtr pageIndicatorTintColor() const { return pageTint_; }
    void setPageIndicatorTintColor(UIColorPtr color) { pageTint_ = std::move(color); }
    UIColorPtr currentPageIndicatorTintColor() const { return currentTint_; }
    void setCurrentPageIndicatorTintColor(UIColorPtr color) { currentTint_ = std::move(color); }

    // 16 points a dot, 37 high (nothing for no pages).
    CGSize sizeForNumberOfPages(long pages) const;
    CGSize intrinsicContentSize() const override { return sizeForNumberOfPages(numberOfPages_); }
    CGSize sizeThatFits(CGSize) const override { return sizeForNumberOfPages(numberOfPages_); }

    void touchesEnded(const UITouch& touch) override;

  protected:
    explicit UIPageControl(CGRect frame) : UIControl(frame) {}
    std::string dumpDetails() const override;

  private:
    long numberOfPages_ = 0;
    long currentPage_ = 0;
    bool hidesForSinglePage_ = false;
    UIColorPtr pageTint_;
    UIColorPtr currentTint_;
};

using UIPageControlPtr = std::shared_ptr<UIPageControl>;
