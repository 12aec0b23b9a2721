#include "platform/uikit/UIDialogs.h"

#include <algorithm>

#include "platform/foundation/Console.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

struct DialogStack {
    std::shared_ptr<UIWindow> window;
    std::vector<std::shared_ptr<UIDialogView>> dialogs;  // oldest first
};

DialogStack& stack() {
    static auto* s = new DialogStack();
    return *s;
}

// Shows the newest dialog that is not closing and hides those beneath it.
void restack() {
    auto& s = stack();
    bool topFound = false;
    for (auto it = s.dialogs.rbegin(); it != s.dialogs.rend(); ++it) {
        auto& dialog = *it;
        if (!dialog->isVisible()) continue;  // closing ones fade where they are
        dialog->setHidden(topFound);
        topFound = true;
    }
    if (s.dialogs.empty() && s.window) {
        s.window->setHidden(true);
        s.window.reset();
    }
}

}  // namespace

UIDialogView::UIDialogView() : UIView(CGRectZero) {
    setBackgroundColor(UIColor::whiteColor());
}

UIDialogView::~UIDialogView() = default;

std::string UIDialogView::buttonTitleAtIndex(long index) const {
    auto button = buttonAtIndex(index);
    return button ? button->titleForState(UIControlStateNormal) : "";
}

std::shared_ptr<UIButton> UIDialogView::buttonAtIndex(long index) const {
    if (index < 0 || index >= numberOfButtons()) return nullptr;
    return buttons_[size_t(index)];
}

long UIDialogView::addButtonWithTitle(const std::string& title) {
    long index = numberOfButtons();
    auto button = UIButton::buttonWithType(UIButtonType::System);
    button->setTitle(title, UIControlStateNormal);
    button->setTag(index);
    std::weak_ptr<UIDialogView> weak = self<UIDialogView>();
    button->addAction(
        [weak, index](UIControl&) {
            if (auto dialog = weak.lock()) dialog->pressButtonAtIndex(index);
        },
        UIControlEventTouchUpInside);
    buttons_.push_back(button);
    addSubview(button);
    if (shown_) arrange();
    return index;
}

bool UIDialogView::present() {
    UIAssertMainThread();
    if (shown_) {
        NSLog(className() + ": shown twice; ignored.");
        return false;
    }
    auto& s = stack();
    if (!s.window) {
        s.window = UIWindow::create(UIScreen::mainScreen().bounds());
        s.window->setWindowLevel(UIWindowLevelAlert);
        s.window->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
    }
    auto me = self<UIDialogView>();
    shown_ = true;
    closing_ = false;
    setAlpha(1);
    s.dialogs.push_back(me);
    s.window->addSubview(me);
    arrange();
    restack();
    s.window->makeKeyAndVisible();
    didPresent();
    return true;
}

bool UIDialogView::pressButtonAtIndex(long index) {
    if (!isVisible() || index < 0 || index >= numberOfButtons()) return false;
    close(index, Animated::Yes, true);
    return true;
}

void UIDialogView::dismissWithClickedButtonIndex(long index, Animated animated) {
    if (!isVisible()) return;
    close(index, animated, false);
}

void UIDialogView::close(long index, Animated animated, bool clicked) {
    auto keepAlive = self<UIDialogView>();
    closing_ = true;
    if (clicked) notifyClicked(index);
    notifyWillDismiss(index);
    if (animated == Animated::No) return finishClose(index);
    std::weak_ptr<UIDialogView> weak = keepAlive;
    UIView::animateWithDuration(
        UIDialogFadeDuration, [&] { setAlpha(0); },
        [weak, index](bool) {
            if (auto dialog = weak.lock()) dialog->finishClose(index);
        });
}

void UIDialogView::finishClose(long index) {
    if (!shown_) return;
    auto keepAlive = self<UIDialogView>();
    shown_ = false;
    closing_ = false;
    removeFromSuperview();
    auto& dialogs = stack().dialogs;
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), keepAlive), dialogs.end());
    restack();
    notifyDidDismiss(index);
}

std::string UIDialogView::dumpDetails() const {
    std::string details;
    if (!dialogTitle().empty()) details += " title=" + UIDumpQuoted(dialogTitle());
    if (!dialogMessage().empty()) details += " message=" + UIDumpQuoted(dialogMessage());
    return details;
}

namespace UIDialogs {

std::shared_ptr<UIDialogView> visible() {
    auto& dialogs = stack().dialogs;
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
        if ((*it)->isVisible()) return *it;
    }
    return nullptr;
}

std::vector<std::string> buttonTitles() {
    std::vector<std::string> titles;
    if (auto dialog = visible()) {
        for (long i = 0; i < dialog->numberOfButtons(); ++i) titles.push_back(dialog->buttonTitleAtIndex(i));
    }
    return titles;
}

bool press(long index) {
    auto dialog = visible();
    return dialog && dialog->pressButtonAtIndex(index);
}

std::shared_ptr<UIWindow> window() {
    return stack().window;
}

void dismissAllForTesting() {
    auto& s = stack();
    auto dialogs = std::move(s.dialogs);
    s.dialogs.clear();
    for (auto& dialog : dialogs) dialog->removeFromSuperview();
    restack();
}

}  // namespace UIDialogs
