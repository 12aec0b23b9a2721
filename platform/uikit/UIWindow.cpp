#include "platform/uikit/UIWindow.h"

#include <utility>

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"

UIWindow::UIWindow(CGRect frame) : UIView(frame) {
    UIView::setHidden(true);
}

std::shared_ptr<UIWindow> UIWindow::create(CGRect frame) {
    UIAssertMainThread();
    auto window = std::shared_ptr<UIWindow>(new UIWindow(frame));
    UIApplication::sharedApplication()->registerWindow(window);
    return window;
}

std::shared_ptr<UIWindow> UIWindow::window() const {
    return std::static_pointer_cast<UIWindow>(std::const_pointer_cast<UIView>(self<UIView>()));
}

std::shared_ptr<UIResponder> UIWindow::nextResponder() const {
    return UIApplication::sharedApplication();
}

void UIWindow::setHidden(bool hidden) {
    UIAssertMainThread();
    if (hidden == isHidden()) return;
    UIView::setHidden(hidden);
    auto app = UIApplication::sharedApplication();
    if (!hidden) {
        orderStamp_ = app->nextOrderStamp();
        if (root_) {
            auto view = root_->view();
            if (view->superview().get() != this && !root_->presentedViewController()) {
                view->setFrame(bounds());
                insertSubview(view, 0);
            }
            root_->beginAppearanceTransition(true, false);
            root_->endAppearanceTransition();
        }
    } else {
        if (root_) {
            root_->beginAppearanceTransition(false, false);
            root_->endAppearanceTransition();
        }
        if (isKeyWindow()) app->passKeyStatusFrom(this);
    }
}

bool UIWindow::isKeyWindow() const {
    return UIApplication::sharedApplication()->keyWindow().get() == this;
}

void UIWindow::makeKeyWindow() {
    UIAssertMainThread();
    if (isKeyWindow()) return;
    UIApplication::sharedApplication()->setKeyWindow(std::static_pointer_cast<UIWindow>(self<UIView>()));
    becomeKeyWindow();
}

void UIWindow::makeKeyAndVisible() {
    setHidden(false);
    makeKeyWindow();
    static bool first = true;
    if (std::exchange(first, false)) UIMarkLaunchInstant("first-screen");
}

void UIWindow::resignKeyWindow() {
    if (isKeyWindow()) UIApplication::sharedApplication()->passKeyStatusFrom(this);
}

void UIWindow::setRootViewController(const std::shared_ptr<UIViewController>& controller) {
    UIAssertMainThread();
    if (controller == root_) return;
    auto old = root_;
    root_ = controller;
    bool visible = !isHidden();
    if (old && visible) old->beginAppearanceTransition(false, false);
    if (old && old->isViewLoaded() && old->view()->superview().get() == this)
        old->view()->removeFromSuperview();
    if (controller) {
        auto view = controller->view();
        view->setFrame(bounds());
        insertSubview(view, 0);
        if (visible) controller->beginAppearanceTransition(true, false);
    }
    if (old && visible) old->endAppearanceTransition();
    if (controller && visible) controller->endAppearanceTransition();
}

std::string UIWindow::dumpDetails() const {
    std::string details = " level=" + valuetext::formatDouble(level_);
    if (isKeyWindow()) details += " key";
    return details;
}
