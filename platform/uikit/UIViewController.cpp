#include "platform/uikit/UIViewController.h"

#include "platform/foundation/Console.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

// ---- bar button items and navigation items ----

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::createWithTitle(std::string title,
                                                                  UIBarButtonItemStyle style, Action action) {
    auto item = std::shared_ptr<UIBarButtonItem>(new UIBarButtonItem());
    item->title_ = std::move(title);
    item->style_ = style;
    item->action_ = std::move(action);
    return item;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::createWithImage(UIImagePtr image,
                                                                  UIBarButtonItemStyle style, Action action) {
    auto item = std::shared_ptr<UIBarButtonItem>(new UIBarButtonItem());
    item->image_ = std::move(image);
    item->style_ = style;
    item->action_ = std::move(action);
    return item;
}

void UIBarButtonItem::sendAction() const {
    if (!enabled_ || !action_) return;
    auto action = action_;  // the action may replace itself
    action();
}

std::shared_ptr<UINavigationItem> UINavigationItem::create(std::string title) {
    auto item = std::shared_ptr<UINavigationItem>(new UINavigationItem());
    item->title_ = std::move(title);
    return item;
}

void UINavigationItem::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

void UINavigationItem::setLeftBarButtonItem(UIBarButtonItemPtr item) {
    left_ = std::move(item);
    changed();
}

void UINavigationItem::setRightBarButtonItem(UIBarButtonItemPtr item) {
    right_ = std::move(item);
    changed();
}

void UINavigationItem::setHidesBackButton(bool hides) {
    hidesBackButton_ = hides;
    changed();
}

void UINavigationItem::changed() {
    if (auto bar = bar_.lock()) bar->itemsChanged();
}

// ---- the controller ----

std::shared_ptr<UIViewController> UIViewController::create() {
    UIAssertMainThread();
    return std::shared_ptr<UIViewController>(new UIViewController());
}

UIViewController::~UIViewController() {
    if (transition_ && transition_->timer) transition_->timer->invalidate();
}

std::shared_ptr<UIView> UIViewController::view() {
    UIAssertMainThread();
    if (!view_) {
        loadView();
        if (!view_) setView(UIView::create(UIScreen::mainScreen().bounds()));
        viewDidLoad();
    }
    return view_;
}

void UIViewController::setView(const std::shared_ptr<UIView>& view) {
    if (view_ && view_->controller_.lock().get() == this) view_->controller_.reset();
    view_ = view;
    if (view_) view_->controller_ = self<UIViewController>();
}

void UIViewController::loadView() {
    setView(UIView::create(UIScreen::mainScreen().bounds()));
}

void UIViewController::viewWillAppear(bool) {}
void UIViewController::viewDidAppear(bool) {}
void UIViewController::viewWillDisappear(bool) {}
void UIViewController::viewDidDisappear(bool) {}

void UIViewController::setTitle(std::string title) {
    title_ = std::move(title);
    navigationItem()->setTitle(title_);
}

UINavigationItemPtr UIViewController::navigationItem() {
    if (!navigationItem_) navigationItem_ = UINavigationItem::create(title_);
    return navigationItem_;
}

std::shared_ptr<UINavigationController> UIViewController::navigationController() const {
    for (auto p = parent_.lock(); p; p = p->parent_.lock()) {
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(p)) return nav;
    }
    return nullptr;
}

std::shared_ptr<UIResponder> UIViewController::nextResponder() const {
    if (view_) return view_->superview();
    return nullptr;
}

void UIViewController::beginAppearanceTransition(bool appearing, bool animated) {
    if (appearing) {
        if (appearance_ == Appearance::Appeared || appearance_ == Appearance::Appearing) return;
        appearance_ = Appearance::Appearing;
        appearanceAnimated_ = animated;
        viewWillAppear(animated);
    } else {
        if (appearance_ == Appearance::Disappeared || appearance_ == Appearance::Disappearing) return;
        appearance_ = Appearance::Disappearing;
        appearanceAnimated_ = animated;
        viewWillDisappear(animated);
    }
    if (auto child = childForAppearance()) child->beginAppearanceTransition(appearing, animated);
}

void UIViewController::endAppearanceTransition() {
    if (appearance_ == Appearance::Appearing) {
        appearance_ = Appearance::Appeared;
        viewDidAppear(appearanceAnimated_);
    } else if (appearance_ == Appearance::Disappearing) {
        appearance_ = Appearance::Disappeared;
        viewDidDisappear(appearanceAnimated_);
    } else {
        return;
    }
    if (auto child = childForAppearance()) child->endAppearanceTransition();
}

void UIViewController::runTransition(bool animated, double duration, std::function<void()> finish) {
    completePendingTransition();
    if (!animated) {
        if (finish) finish();
        return;
    }
    auto transition = std::make_shared<Transition>();
    transition->finish = std::move(finish);
    transition_ = transition;
    std::weak_ptr<UIViewController> weakSelf = self<UIViewController>();
    std::weak_ptr<Transition> weakTransition = transition;
    transition->timer = NSTimer::timerWithTimeInterval(
        duration, Repeats::No, [weakSelf, weakTransition](const std::shared_ptr<NSTimer>&) {
            auto me = weakSelf.lock();
            auto pending = weakTransition.lock();
            if (me && pending && me->transition_ == pending) me->completePendingTransition();
        });
    NSRunLoop::main().addTimer(transition->timer, NSRunLoopCommonModes);
}

void UIViewController::completePendingTransition() {
    auto transition = std::move(transition_);
    transition_.reset();
    if (!transition) return;
    if (transition->timer) transition->timer->invalidate();
    auto finish = std::move(transition->finish);
    if (finish) finish();
}

namespace {
std::shared_ptr<UIViewController> rootAncestor(std::shared_ptr<UIViewController> vc) {
    while (auto parent = vc->parentViewController()) vc = parent;
    return vc;
}
}  // namespace

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& controller,
                                             Animated animated, std::function<void()> completion) {
    UIAssertMainThread();
    if (!controller) return;
    auto presenter = rootAncestor(self<UIViewController>());
    if (presenter->presented_) {
        NSLog("Attempt to present " + UIClassNameOf(*controller) + " on " + UIClassNameOf(*presenter) +
              " which is already presenting " + UIClassNameOf(*presenter->presented_));
        return;
    }
    if (controller->presenting_.lock() || controller->parentViewController() || controller == presenter) {
        NSLog("Attempt to present " + UIClassNameOf(*controller) + " which is already shown elsewhere");
        return;
    }
    auto window = presenter->isViewLoaded() ? presenter->view_->window() : nullptr;
    if (!window) {
        NSLog("Attempt to present " + UIClassNameOf(*controller) + " on " + UIClassNameOf(*presenter) +
              " whose view is not in the window hierarchy!");
        return;
    }
    presenter->completePendingTransition();
    presenter->presented_ = controller;
    controller->presenting_ = presenter;
    bool anim = animated == Animated::Yes;
    auto presenterView = presenter->view_;

    presenter->beginAppearanceTransition(false, anim);
    auto view = controller->view();
    view->setFrame(window->bounds());
    window->addSubview(view);
    controller->beginAppearanceTransition(true, anim);

    std::weak_ptr<UIViewController> weakPresenter = presenter;
    presenter->runTransition(anim, UIModalTransitionDuration,
                             [weakPresenter, controller, presenterView, completion = std::move(completion)] {
                                 auto p = weakPresenter.lock();
                                 // Full-screen presentation takes the presenter's view out of the window.
                                 if (p && p->presented_ == controller) presenterView->removeFromSuperview();
                                 if (p) p->endAppearanceTransition();
                                 controller->endAppearanceTransition();
                                 if (completion) completion();
                             });
}

void UIViewController::dismissViewControllerAnimated(Animated animated, std::function<void()> completion) {
    UIAssertMainThread();
    auto root = rootAncestor(self<UIViewController>());
    std::shared_ptr<UIViewController> presenter;
    if (root->presented_)
        presenter = root;
    else
        presenter = root->presenting_.lock();
    if (!presenter) return;
    presenter->completePendingTransition();
    auto controller = presenter->presented_;
    if (!controller) return;
    if (controller->presented_) controller->dismissViewControllerAnimated(Animated::No);
    controller->completePendingTransition();

    bool anim = animated == Animated::Yes;
    auto presentedView = controller->view_;
    auto window = presentedView ? presentedView->window() : nullptr;
    controller->beginAppearanceTransition(false, anim);
    auto presenterView = presenter->view();
    if (window && !presenterView->superview()) window->insertSubviewBelow(presenterView, presentedView);
    presenter->beginAppearanceTransition(true, anim);

    std::weak_ptr<UIViewController> weakPresenter = presenter;
    presenter->runTransition(anim, UIModalTransitionDuration,
                             [weakPresenter, controller, completion = std::move(completion)] {
                                 if (controller->view_) controller->view_->removeFromSuperview();
                                 controller->endAppearanceTransition();
                                 controller->presenting_.reset();
                                 if (auto p = weakPresenter.lock()) {
                                     if (p->presented_ == controller) p->presented_.reset();
                                     p->endAppearanceTransition();
                                 }
                                 if (completion) completion();
                             });
}
