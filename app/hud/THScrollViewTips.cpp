#include "app/hud/THScrollViewTips.h"

#include "layout/LAYConstraintMaker.h"
#include "platform/graphics/UIFont.h"
#include "platform/uikit/UILabel.h"

namespace {

const char kNoDataViewKey = 0;

enum class Edge { Top, Bottom };

UIColorPtr stripColor() {
    return UIColor::colorWithRed(254 / 255.0, 160 / 255.0, 15 / 255.0, 1);
}

UIViewPtr showTip(const UIScrollViewPtr& scrollView, const std::string& text, Edge edge) {
    UIAssertMainThread();
    auto superview = scrollView ? scrollView->superview() : nullptr;
    if (!superview) return nullptr;
    const CGFloat width = scrollView->bounds().size.width;
    const CGRect scrollFrame = scrollView->frame();

    // The container, pinned to the scroll view's edge. Constraints are only recorded, so its frame is set
    // to what they say as well.
    auto container = UIView::create(CGRectMake(
        scrollFrame.origin.x, edge == Edge::Top ? scrollFrame.minY() : scrollFrame.maxY() - kTHTipStripHeight,
        scrollFrame.size.width, kTHTipStripHeight));
    container->setClipsToBounds(true);
    superview->addSubview(container);
    lay_makeConstraints(container, [&](LAYConstraintMaker& make) {
        make.height().equalTo(LAYBox(kTHTipStripHeight));
        if (edge == Edge::Top)
            make.top().left().right().equalTo(scrollView);
        else
            make.bottom().left().right().equalTo(scrollView);
    });

    const CGRect hidden =
        CGRectMake(0, edge == Edge::Top ? -kTHTipStripHeight : kTHTipStripHeight, width, kTHTipStripHeight);
    auto strip = UIView::create(hidden);
    strip->setBackgroundColor(stripColor());
    container->addSubview(strip);

    auto label = UILabel::create();
    label->setFont(UIFont::systemFontOfSize(12));
    label->setTextColor(UIColor::whiteColor());
    label->setText(text);
    strip->addSubview(label);
    label->sizeToFit();
    label->setCenter(CGPointMake(width / 2, kTHTipStripHeight / 2));
    lay_makeConstraints(label, [&](LAYConstraintMaker& make) { make.center().equalTo(strip); });

    std::weak_ptr<UIView> weakStrip = strip, weakContainer = container;
    UIView::animateWithDuration(
        0.5, 0, UIViewAnimationOptionCurveEaseIn,
        [&] { strip->setFrame(CGRectMake(0, 0, width, kTHTipStripHeight)); },
        [weakStrip, weakContainer, hidden](bool) {
            auto strip = weakStrip.lock();
            if (!strip) return;
            UIView::animateWithDuration(
                0.5, 1.0, UIViewAnimationOptionCurveEaseOut, [&] { strip->setFrame(hidden); },
                [weakContainer](bool) {
                    if (auto container = weakContainer.lock()) container->removeFromSuperview();
                });
        });
    return container;
}

}  // namespace

UIViewPtr showHeaderTipViewWithString(const UIScrollViewPtr& scrollView, const std::string& text) {
    return showTip(scrollView, text, Edge::Top);
}

UIViewPtr showFooterTipViewWithString(const UIScrollViewPtr& scrollView, const std::string& text) {
    return showTip(scrollView, text, Edge::Bottom);
}

UIViewPtr noDataView(const UIScrollView& scrollView) {
    return scrollView.associatedObject<UIView>(&kNoDataViewKey);
}

void setNoDataView(const UIScrollViewPtr& scrollView, const UIViewPtr& view) {
    UIAssertMainThread();
    if (!scrollView) return;
    auto old = noDataView(*scrollView);
    if (old == view) return;
    if (old) old->removeFromSuperview();
    scrollView->willChangeValueForKey(kTHProgressHudNoDataViewKey);
    scrollView->setAssociatedObject(&kNoDataViewKey, view, UIView::Association::Weak);
    scrollView->didChangeValueForKey(kTHProgressHudNoDataViewKey);
}

void showNoDataView(const UIScrollViewPtr& scrollView, const UIViewPtr& view) {
    UIAssertMainThread();
    if (!scrollView || !view) return;
    scrollView->addSubview(view);
    setNoDataView(scrollView, view);
    // Re-showing the same view replaces its centring rather than piling up copies.
    std::vector<NSLayoutConstraintPtr> stale;
    for (const auto& constraint : scrollView->constraints()) {
        auto attribute = constraint->firstAttribute();
        if (constraint->firstItem() == view &&
            (attribute == NSLayoutAttribute::CenterX || attribute == NSLayoutAttribute::CenterY)) {
            stale.push_back(constraint);
        }
    }
    scrollView->removeConstraints(stale);
    lay_makeConstraints(view, [&](LAYConstraintMaker& make) { make.center().equalTo(scrollView); });
    view->setCenter(CGPointMake(scrollView->frame().size.width / 2, scrollView->frame().size.height / 2));
}

void hideNoDataView(const UIScrollViewPtr& scrollView) {
    if (auto view = scrollView ? noDataView(*scrollView) : nullptr) view->removeFromSuperview();
}
