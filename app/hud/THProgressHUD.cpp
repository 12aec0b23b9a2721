#include "app/hud/THProgressHUD.h"

#include "platform/uikit/UIScreen.h"

namespace {

// The dimming view; a tap that lands on it (not on a dialog above it) is passed on.
class THProgressHUDMaskView final : public UIView {
  public:
    static std::shared_ptr<THProgressHUDMaskView> create(CGRect frame, std::function<void()> onTap) {
        auto view = std::shared_ptr<THProgressHUDMaskView>(new THProgressHUDMaskView(frame));
        view->onTap_ = std::move(onTap);
        return view;
    }
    void touchesBegan(const UITouch&) override {}
    void touchesEnded(const UITouch& touch) override {
        if (touch.view.lock().get() == this && onTap_) onTap_();
    }
    void touchesCancelled(const UITouch&) override {}

  private:
    explicit THProgressHUDMaskView(CGRect frame) : UIView(frame) {}
    std::function<void()> onTap_;
};

std::shared_ptr<THProgressHUD>& instanceSlot() {
    static auto* slot = new std::shared_ptr<THProgressHUD>();
    return *slot;
}

CGRect screenBounds() {
    return UIScreen::mainScreen().bounds();
}

}  // namespace

// ---- the instance

std::shared_ptr<THProgressHUD> THProgressHUD::shareInstancetype() {
    auto& slot = instanceSlot();
    if (!slot) {
        UIAssertMainThread();
        slot = std::shared_ptr<THProgressHUD>(new THProgressHUD());
        slot->setUp();
    }
    return slot;
}

void THProgressHUD::resetForTesting() {
    auto& slot = instanceSlot();
    if (!slot) return;
    auto old = std::move(slot);
    old->invalidateWatchdog();
    old->hideWindow();
}

THProgressHUD::~THProgressHUD() {
    if (timer_) timer_->invalidate();
}

std::weak_ptr<THProgressHUD> THProgressHUD::weakSelf() {
    return std::static_pointer_cast<THProgressHUD>(shared_from_this());
}

void THProgressHUD::setUp() {
    state_ = THProgressHUDState::Idle;
    window_ = UIWindow::create(screenBounds());
    window_->setBackgroundColor(UIColor::clearColor());
    window_->setWindowLevel(UIWindowLevelAlert + 100);
    window_->makeKeyAndVisible();
    hideWindow();

    auto weak = weakSelf();
    maskLayer_ = THProgressHUDMaskView::create(window_->bounds(), [weak] {
        if (auto hud = weak.lock()) hud->maskTapped();
    });
    maskLayer_->setBackgroundColor(UIColor::colorWithWhite(0, 0.3));
    maskLayer_->setAlpha(0);
    window_->addSubview(maskLayer_);
}

THProgressHUDLoadingViewPtr THProgressHUD::loadingView() {
    if (!loadingView_) {
        loadingView_ = THProgressHUDLoadingView::create(CGRectMake(0, 0, 200, 100));
        CGRect screen = screenBounds();
        loadingView_->setCenter({screen.size.width / 2, screen.size.height / 2});
    }
    loadingView_->setAlpha(0);
    return loadingView_;
}

// ---- the window

void THProgressHUD::showWindowFullScreen() {
    window_->setHidden(false);
    CGRect screen = screenBounds();
    window_->setFrame(CGRectMake(0, 0, screen.size.width, screen.size.height));
}

void THProgressHUD::hideWindow() {
    window_->setHidden(true);
    if (window_->isKeyWindow()) window_->resignKeyWindow();
}

// ---- what the states share

void THProgressHUD::dropCurrent() {
    switch (state_) {
        case THProgressHUDState::Loading:
            dropLoading();
            break;
        case THProgressHUDState::Alert:
            dropAlert();
            break;
        case THProgressHUDState::Tip:
            dropTip();
            break;
        case THProgressHUDState::ActionSheet:
            dropActionSheet();
            break;
        case THProgressHUDState::Idle:
            break;
    }
}

void THProgressHUD::fadeMaskWith(const UIViewPtr& view, CGFloat alpha, std::function<void(bool)> completion) {
    UIView::animateWithDuration(
        kFadeDuration,
        [this, view, alpha] {
            maskLayer_->setAlpha(alpha);
            if (view) view->setAlpha(alpha);
        },
        std::move(completion));
}

template <class Dialog, class Step>
void THProgressHUD::closeDialog(std::shared_ptr<Dialog> THProgressHUD::*slot, Step step) {
    auto dialog = this->*slot;
    auto weak = weakSelf();
    std::weak_ptr<Dialog> weakDialog = dialog;
    UIView::animateWithDuration(
        kFadeDuration,
        [this, dialog, step] {
            maskLayer_->setAlpha(0);
            if (dialog) step(*dialog);
        },
        [weak, weakDialog, slot](bool) {
            if (auto hud = weak.lock()) hud->dialogClosed(slot, weakDialog.lock());
        });
    state_ = THProgressHUDState::Idle;
}

template <class Dialog>
void THProgressHUD::dialogClosed(std::shared_ptr<Dialog> THProgressHUD::*slot,
                                 const std::shared_ptr<Dialog>& dialog) {
    if (dialog) dialog->removeFromSuperview();
    if (this->*slot == dialog) (this->*slot).reset();
    if (state_ == THProgressHUDState::Idle) hideWindow();
}

// ---- loading

void THProgressHUD::showLoading() {
    showLoadingWithTip(std::nullopt);
}

void THProgressHUD::showLoadingWithTip(const std::optional<std::string>& tip) {
    UIAssertMainThread();
    if (state_ == THProgressHUDState::Loading) {
        ++loadingCount_;
        scheduleWatchdog();
        return;
    }
    dropCurrent();
    window_->setHidden(false);
    auto view = loadingView();
    window_->addSubview(view);
    CGRect screen = screenBounds();
    window_->setFrame(CGRectMake(0, 0, screen.size.width, screen.size.height));
    state_ = THProgressHUDState::Loading;
    ++loadingCount_;
    view->setTipText(tip);
    auto weak = weakSelf();
    fadeMaskWith(view, 1, [weak](bool) {
        if (auto hud = weak.lock()) hud->loadingFadeInEnded();
    });
}

void THProgressHUD::loadingFadeInEnded() {
    // Armed whether the fade ran to its end or was cut short, as long as the indicator is still up.
    if (state_ == THProgressHUDState::Loading) scheduleWatchdog();
}

void THProgressHUD::dismissLoadingView() {
    UIAssertMainThread();
    if (state_ != THProgressHUDState::Loading) return;
    if (--loadingCount_ > 0) return;
    invalidateWatchdog();
    loadingCount_ = 0;
    state_ = THProgressHUDState::Idle;
    hideWindow();
    auto weak = weakSelf();
    fadeMaskWith(loadingView_, 0, [weak](bool) {
        if (auto hud = weak.lock()) hud->loadingFadeOutEnded();
    });
}

void THProgressHUD::loadingFadeOutEnded() {
    if (state_ == THProgressHUDState::Idle) hideWindow();
    // The loading view is reused: a loading shown during the fade keeps it.
    if (state_ != THProgressHUDState::Loading && loadingView_) loadingView_->removeFromSuperview();
}

void THProgressHUD::dropLoading() {
    invalidateWatchdog();
    loadingView_->setAlpha(0);
    loadingView_->removeFromSuperview();
    loadingCount_ = 0;
}

void THProgressHUD::scheduleWatchdog() {
    invalidateWatchdog();
    auto weak = weakSelf();
    timer_ = NSTimer::timerWithTimeInterval(kWatchdogInterval, Repeats::No,
                                            [weak](const std::shared_ptr<NSTimer>&) {
                                                if (auto hud = weak.lock()) hud->watchdogFired();
                                            });
    NSRunLoop::main().addTimer(timer_, NSRunLoopCommonModes);
}

void THProgressHUD::invalidateWatchdog() {
    if (timer_) timer_->invalidate();
    timer_.reset();
}

void THProgressHUD::watchdogFired() {
    timer_.reset();
    dismissLoadingView();
    // Requests that are never taken back each cost one more interval, not the screen for good.
    if (state_ == THProgressHUDState::Loading) scheduleWatchdog();
}

// ---- tips

void THProgressHUD::showTip(const std::string& text) {
    showTip(text, THProgressHUDTipTypeSuccess, nullptr);
}
void THProgressHUD::showDoneTip(const std::string& text) {
    showTip(text, THProgressHUDTipTypeDone, nullptr);
}
void THProgressHUD::showErrorTip(const std::string& text) {
    showTip(text, THProgressHUDTipTypeError, nullptr);
}
void THProgressHUD::showWarningTip(const std::string& text) {
    showTip(text, THProgressHUDTipTypeWarning, nullptr);
}

void THProgressHUD::showTip(const std::string& text, long type, std::function<void()> completion) {
    UIAssertMainThread();
    if (state_ == THProgressHUDState::Tip) return;
    dropCurrent();
    state_ = THProgressHUDState::Tip;
    maskLayer_->setAlpha(0);
    auto tip = THProgressHUDTipView::create(text, type);
    tipView_ = tip;
    window_->addSubview(tip);
    window_->setHidden(false);
    // The window is exactly as large as the tip, so touches elsewhere reach the application.
    CGRect screen = screenBounds();
    window_->setFrame(tip->bounds());
    window_->setCenter({screen.size.width / 2, screen.size.height / 2});

    // The fades hold the tip until they end, so that the tip state always comes to its end.
    auto weak = weakSelf();
    UIView::animateWithDuration(
        kFadeDuration, [tip] { tip->setAlpha(1); },
        [weak, tip, completion = std::move(completion)](bool) mutable {
            if (auto hud = weak.lock()) hud->tipFadeInEnded(tip, std::move(completion));
        });
}

void THProgressHUD::tipFadeInEnded(const std::shared_ptr<THProgressHUDTipView>& tip,
                                   std::function<void()> completion) {
    auto weak = weakSelf();
    UIView::animateWithDuration(
        kFadeDuration, kTipStay, UIViewAnimationOptionAllowAnimatedContent, [tip] { tip->setAlpha(0); },
        [weak, tip, completion = std::move(completion)](bool) mutable {
            if (auto hud = weak.lock()) hud->tipFadeOutEnded(tip, std::move(completion));
        });
}

void THProgressHUD::tipFadeOutEnded(const std::shared_ptr<THProgressHUDTipView>& tip,
                                    std::function<void()> completion) {
    tip->removeFromSuperview();
    // A later tip is not this one's to close.
    if (tipView_ && tipView_ != tip) return;
    tipView_.reset();
    if (state_ != THProgressHUDState::Tip) return;
    hideWindow();
    state_ = THProgressHUDState::Idle;
    if (completion) completion();
}

void THProgressHUD::dropTip() {
    if (tipView_) tipView_->removeFromSuperview();
    tipView_.reset();
}

// ---- alert

void THProgressHUD::showAlertWithTitle(const std::string& title, const std::string& message,
                                       const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate,
                                       long alertStyle, const std::string& cancelButtonTitle,
                                       const std::vector<std::string>& otherButtonTitles) {
    showAlertWithTitle(title, message, delegate, alertStyle, Value(), cancelButtonTitle, otherButtonTitles);
}

void THProgressHUD::showAlertWithTitle(const std::string& title, const std::string& message,
                                       const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate,
                                       long alertStyle, Value userInfo, const std::string& cancelButtonTitle,
                                       const std::vector<std::string>& otherButtonTitles) {
    UIAssertMainThread();
    dropCurrent();
    state_ = THProgressHUDState::Alert;
    auto alert = THProgressHUDAlertView::create(title, message, delegate, alertStyle, cancelButtonTitle,
                                                otherButtonTitles);
    alert->setUserInfo(std::move(userInfo));
    alertView_ = alert;
    maskLayer_->addSubview(alert);
    showWindowFullScreen();
    fadeMaskWith(alert, 1, nullptr);
}

void THProgressHUD::setAlertViewTag(unsigned long tag) {
    if (alertView_) alertView_->setTag(static_cast<long>(tag));
}

void THProgressHUD::dismissAlertView() {
    UIAssertMainThread();
    if (state_ != THProgressHUDState::Alert) return;
    closeDialog(&THProgressHUD::alertView_, [](THProgressHUDAlertView& alert) { alert.setAlpha(0); });
}

void THProgressHUD::dropAlert() {
    if (alertView_) alertView_->removeFromSuperview();
    alertView_.reset();
}

// ---- action sheet

void THProgressHUD::showActionSheetWithTitle(
    const std::string& title, const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
    const std::string& cancelButtonTitle, const std::optional<std::string>& destructiveButtonTitle,
    const std::vector<std::string>& otherButtonTitles) {
    showActionSheetWithTitle(title, delegate, cancelButtonTitle, destructiveButtonTitle, otherButtonTitles,
                             Value());
}

void THProgressHUD::showActionSheetWithTitle(
    const std::string& title, const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
    const std::string& cancelButtonTitle, const std::optional<std::string>& destructiveButtonTitle,
    const std::vector<std::string>& otherButtonTitles, Value userInfo) {
    UIAssertMainThread();
    if (state_ == THProgressHUDState::ActionSheet) return;
    dropCurrent();
    state_ = THProgressHUDState::ActionSheet;
    auto sheet = THProgressHUDActionSheet::create(title, delegate, cancelButtonTitle, destructiveButtonTitle,
                                                  otherButtonTitles, std::move(userInfo));
    actionSheetView_ = sheet;
    showWindowFullScreen();
    maskLayer_->setAlpha(1);
    window_->addSubview(sheet);
    sheet->show();
}

void THProgressHUD::setActionSheetTag(long tag) {
    if (actionSheetView_) actionSheetView_->setTag(tag);
}

void THProgressHUD::dismissActionSheet() {
    UIAssertMainThread();
    if (state_ != THProgressHUDState::ActionSheet) return;
    if (actionSheetView_) actionSheetView_->hide();
    closeDialog(&THProgressHUD::actionSheetView_,
                [](THProgressHUDActionSheet& sheet) { sheet.layoutIfNeeded(); });
}

void THProgressHUD::dropActionSheet() {
    if (actionSheetView_) actionSheetView_->remove();
    actionSheetView_.reset();
}

// ---- the rest

void THProgressHUD::maskTapped() {
    if (state_ == THProgressHUDState::Alert) {
        if (!alertView_)
            dismissAlertView();
        else if (!alertView_->hasButtons())
            alertView_->clickButtonAtIndex(0);
    } else if (state_ == THProgressHUDState::ActionSheet) {
        if (!actionSheetView_)
            dismissActionSheet();
        else if (!actionSheetView_->hasButtons())
            actionSheetView_->clickButtonAtIndex(0);
    }
}

void THProgressHUD::resetState(THProgressHUDState state) {
    if (state == state_) return;
    switch (state_) {
        case THProgressHUDState::Tip:
            dropTip();
            break;
        case THProgressHUDState::Alert:
            dropAlert();
            break;
        case THProgressHUDState::Loading:
            ++loadingCount_;
            scheduleWatchdog();
            break;
        case THProgressHUDState::Idle:
        case THProgressHUDState::ActionSheet:
            break;
    }
}
