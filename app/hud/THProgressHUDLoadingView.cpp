#include "app/hud/THProgressHUDLoadingView.h"

#include <algorithm>

#include "platform/foundation/Clock.h"

std::shared_ptr<THProgressHUDLoadingView> THProgressHUDLoadingView::create(CGRect frame) {
    UIAssertMainThread();
    auto view = std::shared_ptr<THProgressHUDLoadingView>(new THProgressHUDLoadingView(frame));
    view->build();
    return view;
}

void THProgressHUDLoadingView::build() {
    layer().cornerRadius = 5;
    setBackgroundColor(UIColor::whiteColor());
    layer().shadowOffset = {0, 2};
    layer().shadowOpacity = 0.2f;

    CGFloat w = frame().size.width;
    CGFloat h = frame().size.height;
    auto label = UILabel::create(CGRectMake(0, 0.6 * h, w, 0.3 * h));
    label->setText(THProgressHUDDefaultLoadingText);
    label->setTextColor(UIColor::grayColor());
    label->setFont(UIFont::fontWithName("Helvetica-Bold", 14));
    label->setTextAlignment(NSTextAlignment::Center);
    addSubview(label);
    tip_ = label;
}

void THProgressHUDLoadingView::setTipText(const std::optional<std::string>& text) {
    if (auto label = tip()) label->setText(text ? *text : THProgressHUDDefaultLoadingText);
}

void THProgressHUDLoadingView::setAlpha(CGFloat alpha) {
    UIView::setAlpha(alpha);
    if (alpha == 0) setTipText(std::nullopt);
}

void THProgressHUDLoadingView::addAnimation() {
    double now = Clock::monotonic();
    CGFloat width = frame().size.width;
    for (int i = 0; i < 6; ++i) {
        auto dot = std::make_shared<THProgressHUDDot>();
        dot->frame = CGRectMake(((width - 60) - 50) * 0.5 + 20 * i, 30, 10, 10);
        dot->backgroundColor =
            UIColor::colorWithRed(std::min(1.0, 0.2 * i + 0.1), 0.1 * i + 0.1, 0.1 * i + 0.1, 1);
        dot->beginTime = now + 0.2 * i - 1.0;
        circles_.push_back(std::move(dot));
    }
}

void THProgressHUDLoadingView::willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) {
    UIView::willMoveToSuperview(newSuperview);
    if (!newSuperview) {
        circles_.clear();
    } else if (circles_.empty()) {
        addAnimation();
    }
}
