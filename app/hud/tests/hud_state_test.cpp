#include <optional>

#include "HUDTestFixture.h"

namespace {

// The dialog or tip on show, if any.
UIViewPtr dialogOf(const THProgressHUD& hud) {
    if (hud.alertView()) return hud.alertView();
    if (hud.tipView()) return hud.tipView();
    return hud.actionSheetView();
}

}  // namespace

class HUDStateTable : public HUDTest {};

TEST_F(HUDStateTable, EveryStateAgainstEveryRequest) {
    // sameView: the request was ignored or replaced nothing, so the view shown before is still the one.
    struct Row { S from; Request request; S to; int count; bool sameView; };
    const Row rows[] = {
        {S::Idle, Request::Loading, S::Loading, 1, false},
        {S::Idle, Request::Dismiss, S::Idle, 0, false},
        {S::Idle, Request::Tip, S::Tip, 0, false},
        {S::Idle, Request::Alert, S::Alert, 0, false},
        {S::Idle, Request::Sheet, S::ActionSheet, 0, false},
        {S::Loading, Request::Loading, S::Loading, 2, true},
        {S::Loading, Request::Dismiss, S::Idle, 0, false},
        {S::Loading, Request::Tip, S::Tip, 0, false},
        {S::Loading, Request::Alert, S::Alert, 0, false},
        {S::Loading, Request::Sheet, S::ActionSheet, 0, false},
        {S::Alert, Request::Loading, S::Loading, 1, false},
        {S::Alert, Request::Dismiss, S::Alert, 0, true},
        {S::Alert, Request::Tip, S::Tip, 0, false},
        {S::Alert, Request::Alert, S::Alert, 0, false},
        {S::Alert, Request::Sheet, S::ActionSheet, 0, false},
        {S::Tip, Request::Loading, S::Loading, 1, false},
        {S::Tip, Request::Dismiss, S::Tip, 0, true},
        {S::Tip, Request::Tip, S::Tip, 0, true},
        {S::Tip, Request::Alert, S::Alert, 0, false},
        {S::Tip, Request::Sheet, S::ActionSheet, 0, false},
        {S::ActionSheet, Request::Loading, S::Loading, 1, false},
        {S::ActionSheet, Request::Dismiss, S::ActionSheet, 0, true},
        {S::ActionSheet, Request::Tip, S::Tip, 0, false},
        {S::ActionSheet, Request::Alert, S::Alert, 0, false},
        {S::ActionSheet, Request::Sheet, S::ActionSheet, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("from ") + std::to_string(int(row.from)) + " " + infoOf(row.request).name);
        freshHUD();
        // Requests are numbered like the states they ask for.
        if (row.from != S::Idle) send(*hud_, Request(row.from));
        advance(0.1);
        UIViewPtr before = dialogOf(*hud_);
        send(*hud_, row.request);
        EXPECT_EQ(hud_->state(), row.to);
        EXPECT_EQ(hud_->loadingCount(), row.count);
        EXPECT_EQ(windowShown(), row.to != S::Idle);
        advance(0.4);  // every fade and slide has ended; a tip stays longer
        EXPECT_EQ(hud_->state(), row.to);
        EXPECT_EQ(windowShown(), row.to != S::Idle);
        EXPECT_EQ(shownByState(), onlyViewOf(row.to));
        UIViewPtr after = dialogOf(*hud_);
        if (before && after) {
            EXPECT_EQ(before == after, row.sameView);
        }
        EXPECT_FALSE(hud_->window()->isKeyWindow());
        EXPECT_TRUE(appWindow_->isKeyWindow());
    }
}

TEST_F(HUDStateTable, TipWindowIsTheTipAndLaterRequestsRestoreTheFullScreen) {
    hud_->showTip("短");
    CGRect screen = UIScreen::mainScreen().bounds();
    EXPECT_EQ(hud_->window()->frame().size, hud_->tipView()->bounds().size);
    EXPECT_EQ(hud_->window()->center(), screen.center());
    EXPECT_EQ(hud_->maskLayer()->alpha(), 0);
    // A touch beside the tip reaches the application.
    EXPECT_EQ(UIApplication::sharedApplication()->hitTest({5, 5}), appWindow_);
    hud_->showLoading();
    EXPECT_EQ(hud_->window()->frame(), CGRectMake(0, 0, screen.size.width, screen.size.height));
}

TEST_F(HUDStateTable, LoadingCountsKeepsItsTextAndEndsOnAnErrorTip) {
    hud_->showLoadingWithTip(std::string("上传中"));
    auto label = hud_->window()->subviews().back()->subviews().front();
    EXPECT_EQ(label->displayedText(), "上传中");
    hud_->showLoadingWithTip(std::string("别的"));
    EXPECT_EQ(label->displayedText(), "上传中");
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Loading);
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_EQ(label->displayedText(), THProgressHUDDefaultLoadingText) << "the fade out resets the text";
    hud_->dismissLoadingView();  // one too many: nothing
    EXPECT_EQ(hud_->loadingCount(), 0);

    // An error tip ends loading whatever the count, and a late dismissal does not close the tip.
    hud_->showLoading();
    hud_->showErrorTip("网络错误");
    EXPECT_EQ(hud_->loadingCount(), 0);
    EXPECT_EQ(shown<THProgressHUDLoadingView>(), 0);
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Tip);
    EXPECT_FALSE(hud_->timer() && hud_->timer()->isValid());
}

// ---- the watchdog

class HUDWatchdog : public HUDTest {};

TEST_F(HUDWatchdog, TakesBackOneRequest120SecondsAfterTheFadeInAndRearmsWhileSomeRemain) {
    for (int i = 0; i < 3; ++i) hud_->showLoading();
    advance(0.3);
    advance(119.99);
    EXPECT_EQ(hud_->loadingCount(), 3);
    advance(0.01);  // 120.3
    EXPECT_EQ(hud_->loadingCount(), 2);
    EXPECT_TRUE(windowShown());
    advance(119.8);
    EXPECT_EQ(hud_->loadingCount(), 2);
    advance(0.3);
    EXPECT_EQ(hud_->loadingCount(), 1);
    advance(120);
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_FALSE(windowShown());
    EXPECT_FALSE(hud_->timer() && hud_->timer()->isValid());
}

TEST_F(HUDWatchdog, RunsWhileTheMainLoopTracksATouch) {
    hud_->showLoading();
    advance(0.3);
    std::optional<S> stateWhileTracking;
    NSRunLoop::main().perform([&] {
        clock_.advance(120);
        stateWhileTracking = hud_->state();
    });
    NSRunLoop::main().runOnce(UITrackingRunLoopMode, 0);
    ASSERT_TRUE(stateWhileTracking.has_value());
    EXPECT_EQ(*stateWhileTracking, S::Idle);
}

TEST_F(HUDWatchdog, IsArmedEvenWhenTheFadeInIsCutShort) {
    hud_->showLoading();
    // Something else animates the same views and takes the fade over.
    auto loading = std::dynamic_pointer_cast<THProgressHUDLoadingView>(hud_->window()->subviews().back());
    ASSERT_NE(loading, nullptr);
    UIView::animateWithDuration(0.1, [&] {
        hud_->maskLayer()->setAlpha(1);
        loading->setAlpha(1);
    });
    advance(120.5);
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_FALSE(windowShown());
}

// ---- a dismissal followed at once by another request

class HUDQuickSuccession : public HUDTest {};

TEST_F(HUDQuickSuccession, WhatIsShownDuringAClosingFadeStays) {
    const std::function<void(THProgressHUD&)> closeAlert = [](THProgressHUD&h) { h.dismissAlertView(); },
                                              closeSheet = [](THProgressHUD&h) { h.dismissActionSheet(); };
    const struct {
        Request first;
        std::function<void(THProgressHUD&)> close;
        Request second;
    } cases[] = {
        {Request::Loading, infoOf(Request::Dismiss).send, Request::Loading},
        {Request::Alert, closeAlert, Request::Alert},
        {Request::Sheet, closeSheet, Request::Tip},
        {Request::Alert, closeAlert, Request::Sheet},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(infoOf(c.first).name) + ", " + infoOf(c.second).name);
        freshHUD();
        send(*hud_, c.first);
        c.close(*hud_);
        advance(0.14);
        send(*hud_, c.second);
        advance(0.5);
        const S state = S(c.second);
        EXPECT_EQ(hud_->state(), state);
        EXPECT_TRUE(windowShown());
        EXPECT_EQ(shownByState(), onlyViewOf(state));
        if (state == S::Alert) {
            EXPECT_EQ(hud_->alertView()->superview(), hud_->maskLayer());
        }
        if (state == S::Loading) {
            EXPECT_EQ(hud_->maskLayer()->alpha(), 1);
        }
    }
}

TEST_F(HUDQuickSuccession, AnOldTipNeverClosesALaterOne) {
    int first = 0, second = 0;
    hud_->showTip("一", THProgressHUDTipTypeSuccess, [&] { ++first; });
    auto oldTip = hud_->tipView();  // kept alive, so its fades run to the end
    advance(0.1);
    hud_->showLoading();
    hud_->showTip("二", THProgressHUDTipTypeSuccess, [&] { ++second; });
    auto newTip = hud_->tipView();
    advance(2.05);  // the old tip's fade-out has ended (0.3 in, 1.5 stay, 0.3 out)
    EXPECT_EQ(hud_->state(), S::Tip);
    EXPECT_EQ(hud_->tipView(), newTip);
    EXPECT_EQ(newTip->superview(), hud_->window());
    EXPECT_TRUE(windowShown());
    advance(0.1);
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST_F(HUDQuickSuccession, ATipIgnoredWhileAnotherShowsNeverCompletes) {
    int first = 0, ignored = 0;
    hud_->showTip("一", 0, [&] { ++first; });
    hud_->showTip("二", 0, [&] { ++ignored; });
    advance(3);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(ignored, 0);
}

TEST_F(HUDQuickSuccession, ResetStateFromATipDoesNotLeaveTheHUDStuck) {
    hud_->showTip("一");
    hud_->resetState(S::Idle);
    EXPECT_EQ(hud_->state(), S::Tip);
    EXPECT_EQ(shown<THProgressHUDTipView>(), 0);
    advance(2.2);
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_FALSE(windowShown());
    hud_->showTip("二");
    EXPECT_EQ(hud_->state(), S::Tip);
}
