// The process-wide heads-up display: a loading indicator, short tips, a modal alert and an action sheet, in a
// window of its own above the platform's alert windows. It shows one of them at a time; what a request does
// to what is on screen:
//
// clang-format off
//   from \ request  showLoading        dismissLoadingView    tip            alert             sheet
//   Idle            Loading, count 1   nothing               Tip            Alert             ActionSheet
//   Loading         count + 1          count - 1; 0: Idle    Tip, count 0   Alert, count 0    Sheet, count 0
//   Alert           Loading (dropped)  nothing               Tip            Alert (replaced)  ActionSheet
//   Tip             Loading (dropped)  nothing               ignored        Alert             ActionSheet
//   ActionSheet     Loading (removed)  nothing               Tip            Alert             ignored
// clang-format on
//
// Fades last 0.3 s; a tip stays 1.5 s between its fades. While loading, a one-shot watchdog of 120 s on the
// main run loop (common modes, so it also runs while the user scrolls) takes back one loading request; it is
// armed when the fade-in ends and armed again while requests remain, so requests that are never dismissed
// cannot leave the touch-blocking window up for good.
//
// A closing fade's completion only removes the view it closed, and only hides the window when nothing else
// has been shown in the meantime. The window never stays the key window while it is hidden.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/hud/THProgressHUDActionSheet.h"
#include "app/hud/THProgressHUDAlertView.h"
#include "app/hud/THProgressHUDLoadingView.h"
#include "app/hud/THProgressHUDTipView.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIWindow.h"

enum class THProgressHUDState : uint32_t { Idle = 0, Loading = 1, Alert = 2, Tip = 3, ActionSheet = 4 };

class THProgressHUD final : public Object {
  public:
    // The single instance, made on first use and kept until the process ends.
    static std::shared_ptr<THProgressHUD> shareInstancetype();
    // Test-only: drops the instance (its timer, window and views) so that the next shareInstancetype()
    // starts afresh. The application never calls it.
    static void resetForTesting();

    static constexpr double kFadeDuration = 0.3;
    static constexpr double kTipStay = 1.5;
    static constexpr double kWatchdogInterval = 120;

    // Loading: a counted pair.
    void showLoading();
    // Shows or extends the loading indicator; nullopt shows the default text. A request that arrives while
    // loading only counts (the text stays).
    void showLoadingWithTip(const std::optional<std::string>& tip);
    // Takes back one loading request; also the watchdog's action.
    void dismissLoadingView();

    // Tips; a tip also ends any loading at once. Ignored while a tip shows (its completion never runs).
    void showTip(const std::string& text);
    void showDoneTip(const std::string& text);
    void showErrorTip(const std::string& text);
    void showWarningTip(const std::string& text);
    // `completion` runs when the tip has faded out, unless something else took over first.
    void showTip(const std::string& text, long type, std::function<void()> completion);

    void showAlertWithTitle(const std::string& title, const std::string& message,
                            const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate, long alertStyle,
                            const std::string& cancelButtonTitle,
                            const std::vector<std::string>& otherButtonTitles);
    void showAlertWithTitle(const std::string& title, const std::string& message,
                            const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate, long alertStyle,
                            Value userInfo, const std::string& cancelButtonTitle,
                            const std::vector<std::string>& otherButtonTitles);
    // Tags the current alert; nothing when there is none.
    void setAlertViewTag(unsigned long tag);
    // Closes the alert with a fade; nothing outside the alert state.
    void dismissAlertView();

    void showActionSheetWithTitle(const std::string& title,
                                  const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
                                  const std::string& cancelButtonTitle,
                                  const std::optional<std::string>& destructiveButtonTitle,
                                  const std::vector<std::string>& otherButtonTitles);
    void showActionSheetWithTitle(const std::string& title,
                                  const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
                                  const std::string& cancelButtonTitle,
                                  const std::optional<std::string>& destructiveButtonTitle,
                                  const std::vector<std::string>& otherButtonTitles, Value userInfo);
    // Tags the current sheet; nothing when there is none.
    void setActionSheetTag(long tag);
    // Slides the sheet down; nothing outside the action-sheet state.
    void dismissActionSheet();

    // Nothing in the application calls it. From the tip or alert state it drops that view (state and window
    // stay); from the loading state it counts one more request like showLoading; otherwise nothing.
    void resetState(THProgressHUDState state);
    // Declared for callers that want a general "close"; does nothing.
    void dismiss() {}

    // Made on first read and reused; every read sets its alpha to 0 (and so its text back to the default).
    THProgressHUDLoadingViewPtr loadingView();
    void setLoadingView(THProgressHUDLoadingViewPtr view) { loadingView_ = std::move(view); }
    THProgressHUDAlertViewPtr alertView() const { return alertView_; }
    void setAlertView(THProgressHUDAlertViewPtr view) { alertView_ = std::move(view); }
    THProgressHUDTipViewPtr tipView() const { return tipView_; }
    void setTipView(THProgressHUDTipViewPtr view) { tipView_ = std::move(view); }
    THProgressHUDActionSheetPtr actionSheetView() const { return actionSheetView_; }
    void setActionSheetView(THProgressHUDActionSheetPtr view) { actionSheetView_ = std::move(view); }

    // What is on screen, for the application's device view and for tests.
    THProgressHUDState state() const { return state_; }
    int32_t loadingCount() const { return loadingCount_; }
    UIWindowPtr window() const { return window_; }
    UIViewPtr maskLayer() const { return maskLayer_; }
    // The watchdog; null or invalid when none is armed.
    std::shared_ptr<NSTimer> timer() const { return timer_; }

    ~THProgressHUD() override;

  private:
    THProgressHUD() = default;
    void setUp();
    std::weak_ptr<THProgressHUD> weakSelf();

    void scheduleWatchdog();
    void invalidateWatchdog();
    void watchdogFired();
    void loadingFadeInEnded();
    void loadingFadeOutEnded();
    // Ends the loading indicator at once (a tip, an alert or a sheet takes over).
    void dropLoading();
    void dropAlert();
    void dropTip();
    void dropActionSheet();
    void tipFadeInEnded(const std::shared_ptr<THProgressHUDTipView>& tip, std::function<void()> completion);
    void tipFadeOutEnded(const std::shared_ptr<THProgressHUDTipView>& tip, std::function<void()> completion);
    // Ends at once whatever the current state shows (the state itself is left to the caller).
    void dropCurrent();
    // Fades the dimming mask and `view` (when there is one) together to `alpha`.
    void fadeMaskWith(const UIViewPtr& view, CGFloat alpha, std::function<void(bool)> completion);
    // Fades the mask out while `step` moves the dialog held in `slot` away, and goes idle at once; when the
    // fade ends the dialog leaves the tree, and the slot too unless another dialog has taken it meanwhile.
    template <class Dialog, class Step>
    void closeDialog(std::shared_ptr<Dialog> THProgressHUD::*slot, Step step);
    template <class Dialog>
    void dialogClosed(std::shared_ptr<Dialog> THProgressHUD::*slot, const std::shared_ptr<Dialog>& dialog);
    // A tap on the dimmed area: closes a dialog that has no button to answer it with.
    void maskTapped();
    void showWindowFullScreen();
    void hideWindow();

    int32_t loadingCount_ = 0;
    THProgressHUDState state_ = THProgressHUDState::Idle;
    UIWindowPtr window_;
    std::shared_ptr<NSTimer> timer_;
    UIViewPtr maskLayer_;
    THProgressHUDLoadingViewPtr loadingView_;
    THProgressHUDAlertViewPtr alertView_;
    THProgressHUDTipViewPtr tipView_;
    THProgressHUDActionSheetPtr actionSheetView_;
};
