#include "platform/uikit/UINavigationController.h"

#include <algorithm>

#include "platform/foundation/Console.h"
#include "platform/graphics/UIFont.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"

namespace {
constexpr CGFloat kStatusBarHeight = 20;
constexpr CGFloat kBarHeight = 44;
constexpr CGFloat kBarButtonWidth = 60;
}  // namespace

// ---- the bar ----

std::shared_ptr<UINavigationBar> UINavigationBar::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UINavigationBar>(new UINavigationBar(frame));
}

void UINavigationBar::setTitleTextAttributes(Value::Dictionary attributes) {
    titleTextAttributes_ = std::move(attributes);
    itemsChanged();
}

void UINavigationBar::setItems(std::vector<UINavigationItemPtr> items) {
    for (auto& item : items_) {
        if (item->bar_.lock().get() == this) item->bar_.reset();
    }
    items_ = std::move(items);
    for (auto& item : items_) item->bar_ = self<UINavigationBar>();
    itemsChanged();
}

std::shared_ptr<UIButton> UINavigationBar::makeButton(const UIBarButtonItemPtr& item,
                                                      std::function<void()> action) {
    auto button = UIButton::buttonWithType(UIButtonType::System);
    if (item) {
        if (!item->title().empty()) button->setTitle(item->title(), UIControlStateNormal);
        if (item->image()) button->setImage(item->image(), UIControlStateNormal);
        if (item->tintColor()) button->setTintColor(item->tintColor());
        button->setEnabled(item->isEnabled());
        std::weak_ptr<UIBarButtonItem> weakItem = item;
        button->addAction(
            [weakItem](UIControl&) {
                if (auto i = weakItem.lock()) i->sendAction();
            },
            UIControlEventTouchUpInside);
    } else {
        button->addAction(
            [action = std::move(action)](UIControl&) {
                if (action) action();
            },
            UIControlEventTouchUpInside);
    }
    return button;
}

void UINavigationBar::itemsChanged() {
    if (titleLabel_) titleLabel_->removeFromSuperview();
    if (leftButton_) leftButton_->removeFromSuperview();
    if (rightButton_) rightButton_->removeFromSuperview();
    titleLabel_.reset();
    leftButton_.reset();
    rightButton_.reset();
    auto top = topItem();
    if (!top) return;

    titleLabel_ = UILabel::create();
    titleLabel_->setTextAlignment(NSTextAlignment::Center);
    UIFontPtr font = UIFont::boldSystemFontOfSize(17);
    {
        auto it = titleTextAttributes_.find(NSFontAttributeName);
        if (it != titleTextAttributes_.end()) {
            if (auto given = it->second.asObjectOf<UIFont>()) font = given;
        }
        auto colour = titleTextAttributes_.find(NSForegroundColorAttributeName);
        if (colour != titleTextAttributes_.end())
            titleLabel_->setTextColor(colour->second.asObjectOf<UIColor>());
    }
    titleLabel_->setFont(font);
    titleLabel_->setText(top->title());
    addSubview(titleLabel_);

    if (top->leftBarButtonItem()) {
        leftButton_ = makeButton(top->leftBarButtonItem(), nullptr);
    } else if (items_.size() > 1 && !top->hidesBackButton()) {
        auto previous = items_[items_.size() - 2];
        leftButton_ = makeButton(nullptr, [this] {
            if (backAction_) backAction_();
        });
        leftButton_->setTitle(previous->title().empty() ? "Back" : previous->title(), UIControlStateNormal);
    }
    if (leftButton_) addSubview(leftButton_);
    if (top->rightBarButtonItem()) {
        rightButton_ = makeButton(top->rightBarButtonItem(), nullptr);
        addSubview(rightButton_);
    }
    setNeedsLayout();
    layoutSubviews();
}

void UINavigationBar::layoutSubviews() {
    CGSize size = bounds().size;
    if (leftButton_) leftButton_->setFrame(CGRectMake(8, 0, kBarButtonWidth, size.height));
    if (rightButton_)
        rightButton_->setFrame(CGRectMake(size.width - 8 - kBarButtonWidth, 0, kBarButtonWidth, size.height));
    if (titleLabel_) {
        CGFloat side = 8 + kBarButtonWidth + 8;
        titleLabel_->setFrame(CGRectMake(side, 0, std::max(0.0, size.width - 2 * side), size.height));
    }
}

// ---- the controller ----

std::shared_ptr<UINavigationController> UINavigationController::create() {
    UIAssertMainThread();
    return std::shared_ptr<UINavigationController>(new UINavigationController());
}

std::shared_ptr<UINavigationController> UINavigationController::initWithRootViewController(
    const std::shared_ptr<UIViewController>& root) {
    auto nav = create();
    if (root) nav->setViewControllers({root}, Animated::No);
    return nav;
}

std::shared_ptr<UINavigationBar> UINavigationController::navigationBar() {
    if (!bar_) {
        CGFloat width = UIScreen::mainScreen().bounds().size.width;
        bar_ = UINavigationBar::create(CGRectMake(0, kStatusBarHeight, width, kBarHeight));
        bar_->setHidden(barHidden_);
        std::weak_ptr<UINavigationController> weak = self<UINavigationController>();
        bar_->setBackAction([weak] {
            if (auto nav = weak.lock()) nav->popViewControllerAnimated(Animated::Yes);
        });
        updateBar();
    }
    return bar_;
}

void UINavigationController::loadView() {
    auto view = UIView::create(UIScreen::mainScreen().bounds());
    setView(view);
    auto bar = navigationBar();
    bar->setFrame(CGRectMake(0, kStatusBarHeight, view->bounds().size.width, kBarHeight));
    view->addSubview(bar);
    if (auto top = topViewController()) installView(top);
}

void UINavigationController::installView(const UIViewControllerPtr& controller) {
    auto container = view();
    auto child = controller->view();
    child->setFrame(container->bounds());
    if (child->superview() != container) container->insertSubviewBelow(child, navigationBar());
}

void UINavigationController::updateBar() {
    if (!bar_) return;
    std::vector<UINavigationItemPtr> items;
    for (auto& vc : stack_) items.push_back(vc->navigationItem());
    bar_->setItems(std::move(items));
}

UIViewControllerPtr UINavigationController::visibleViewController() const {
    if (auto presented = presentedViewController()) return presented;
    return topViewController();
}

void UINavigationController::setNavigationBarHidden(bool hidden, Animated) {
    barHidden_ = hidden;
    if (bar_) bar_->setHidden(hidden);
}

void UINavigationController::transition(std::vector<UIViewControllerPtr> newStack, bool animated) {
    completePendingTransition();
    auto oldTop = topViewController();
    auto me = self<UINavigationController>();
    std::vector<UIViewControllerPtr> removed;
    for (auto& vc : stack_) {
        if (std::find(newStack.begin(), newStack.end(), vc) == newStack.end()) removed.push_back(vc);
    }
    for (auto& vc : newStack) vc->setParent(me);
    stack_ = std::move(newStack);
    auto newTop = topViewController();
    updateBar();

    bool shown =
        isViewLoaded() && (appearance() == Appearance::Appeared || appearance() == Appearance::Appearing);
    if (!isViewLoaded() || oldTop == newTop) {
        for (auto& vc : removed) {
            if (vc->isViewLoaded() && vc->view()->superview() == view()) vc->view()->removeFromSuperview();
            vc->setParent(nullptr);
        }
        if (isViewLoaded() && newTop) installView(newTop);
        return;
    }
    if (shown && oldTop) oldTop->beginAppearanceTransition(false, animated);
    if (newTop) installView(newTop);
    if (shown && newTop) newTop->beginAppearanceTransition(true, animated);

    std::weak_ptr<UINavigationController> weak = me;
    runTransition(animated, UINavigationTransitionDuration, [weak, oldTop, newTop, removed, shown] {
        auto nav = weak.lock();
        if (oldTop && oldTop != newTop && oldTop->isViewLoaded()) oldTop->view()->removeFromSuperview();
        for (auto& vc : removed) {
            if (vc != oldTop && vc->isViewLoaded() && nav && vc->view()->superview() == nav->view()) {
                vc->view()->removeFromSuperview();
            }
        }
        if (shown && oldTop) oldTop->endAppearanceTransition();
        if (shown && newTop) newTop->endAppearanceTransition();
        for (auto& vc : removed) {
            if (!nav || std::find(nav->stack_.begin(), nav->stack_.end(), vc) == nav->stack_.end()) {
                vc->setParent(nullptr);
            }
        }
    });
}

void UINavigationController::setViewControllers(std::vector<UIViewControllerPtr> controllers,
                                                Animated animated) {
    UIAssertMainThread();
    controllers.erase(std::remove(controllers.begin(), controllers.end(), nullptr), controllers.end());
    transition(std::move(controllers), animated == Animated::Yes);
}

void UINavigationController::pushViewController(const UIViewControllerPtr& controller, Animated animated) {
    UIAssertMainThread();
    if (!controller) return;
    if (controller->parentViewController() || controller.get() == this ||
        std::find(stack_.begin(), stack_.end(), controller) != stack_.end()) {
        NSLog("Pushing a view controller that is already in a navigation stack is not supported; ignored.");
        return;
    }
    auto stack = stack_;
    stack.push_back(controller);
    transition(std::move(stack), animated == Animated::Yes);
}

UIViewControllerPtr UINavigationController::popViewControllerAnimated(Animated animated) {
    UIAssertMainThread();
    if (stack_.size() < 2) return nullptr;
    auto popped = stack_.back();
    auto stack = stack_;
    stack.pop_back();
    transition(std::move(stack), animated == Animated::Yes);
    return popped;
}

std::vector<UIViewControllerPtr> UINavigationController::popToViewController(
    const UIViewControllerPtr& controller, Animated animated) {
    UIAssertMainThread();
    auto it = std::find(stack_.begin(), stack_.end(), controller);
    if (it == stack_.end() || it + 1 == stack_.end()) return {};
    std::vector<UIViewControllerPtr> popped(it + 1, stack_.end());
    std::vector<UIViewControllerPtr> stack(stack_.begin(), it + 1);
    transition(std::move(stack), animated == Animated::Yes);
    return popped;
}

std::vector<UIViewControllerPtr> UINavigationController::popToRootViewControllerAnimated(Animated animated) {
    if (stack_.empty()) return {};
    return popToViewController(stack_.front(), animated);
}
