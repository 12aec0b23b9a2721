// The activity indicator, the refresh control and the progress view.
#include <cmath>
#include <cstdio>

#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIProgressView.h"
#include "platform/uikit/UIRefreshControl.h"

// ---- UIActivityIndicatorView ----

namespace {

CGFloat indicatorSide(UIActivityIndicatorViewStyle style) {
    return style == UIActivityIndicatorViewStyle::WhiteLarge ? 37 : 20;
}

}  // namespace

UIActivityIndicatorView::UIActivityIndicatorView(UIActivityIndicatorViewStyle style)
    : UIView(CGRectMake(0, 0, indicatorSide(style), indicatorSide(style))), style_(style) {
    setHidden(true);
}

std::shared_ptr<UIActivityIndicatorView> UIActivityIndicatorView::create(UIActivityIndicatorViewStyle style) {
    UIAssertMainThread();
    return std::shared_ptr<UIActivityIndicatorView>(new UIActivityIndicatorView(style));
}

void UIActivityIndicatorView::setHidesWhenStopped(bool hides) {
    UIAssertMainThread();
    hidesWhenStopped_ = hides;
    if (!animating_) setHidden(hides);
}

void UIActivityIndicatorView::startAnimating() {
    UIAssertMainThread();
    animating_ = true;
    if (hidesWhenStopped_) setHidden(false);
}

void UIActivityIndicatorView::stopAnimating() {
    UIAssertMainThread();
    animating_ = false;
    if (hidesWhenStopped_) setHidden(true);
}

CGSize UIActivityIndicatorView::intrinsicContentSize() const {
    return {indicatorSide(style_), indicatorSide(style_)};
}

std::string UIActivityIndicatorView::dumpDetails() const {
    return animating_ ? " animating" : "";
}

// ---- UIRefreshControl ----

UIRefreshControl::UIRefreshControl() : UIControl(CGRectMake(0, 0, 320, 60)) {}

std::shared_ptr<UIRefreshControl> UIRefreshControl::create() {
    UIAssertMainThread();
    return std::shared_ptr<UIRefreshControl>(new UIRefreshControl());
}

void UIRefreshControl::beginRefreshing() {
    UIAssertMainThread();
    refreshing_ = true;
}

void UIRefreshControl::endRefreshing() {
    UIAssertMainThread();
    refreshing_ = false;
}

std::string UIRefreshControl::dumpDetails() const {
    return refreshing_ ? " refreshing" : "";
}

// ---- UIProgressView ----

UIProgressView::UIProgressView(UIProgressViewStyle style) : UIView(CGRectMake(0, 0, 150, 2)), style_(style) {}

std::shared_ptr<UIProgressView> UIProgressView::create(UIProgressViewStyle style) {
    UIAssertMainThread();
    return std::shared_ptr<UIProgressView>(new UIProgressView(style));
}

void UIProgressView::setProgress(float progress, bool /*animated*/) {
    UIAssertMainThread();
    progress_ = std::isnan(progress) ? 0.0f : std::fmin(1.0f, std::fmax(0.0f, progress));
}

CGSize UIProgressView::intrinsicContentSize() const {
    return {UIViewNoIntrinsicMetric, style_ == UIProgressViewStyle::Bar ? 2.5 : 2};
}

std::string UIProgressView::dumpDetails() const {
    char text[32];
    std::snprintf(text, sizeof text, " progress=%.2f", double(progress_));
    return text;
}
