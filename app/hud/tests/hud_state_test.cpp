#include "HUDTestFixture.h"

#include <optional>

using S = THProgressHUDState;

namespace {

enum class Request { Loading, Dismiss, Tip, Alert, Sheet };

const char* name(Request r) {
    switch (r) {
        case Request::Loading:
            return "showLoading";
        case Request::Dismiss:
            return "dismissLoadingView";
        case Request::Tip:
            return "tip";
        case Request::Alert:
            return "alert";
        case Request::Sheet:
            return "sheet";
    }
    return "?";
}

void send(THProgressHUD& hud, Request r) {
    switch (r) {
        case Request::Loading:
            hud.showLoading();
            break;
        case Request::Dismiss:
            hud.dismissLoadingView();
            break;
        case Request::Tip:
            hud.showErrorTip("出错了");
            break;
        case Request::Alert:
            hud.showAlertWithTitle("标题", "内容", nullptr, 0, "确定", {});
            break;
        case Request::Sheet:
            hud.showActionSheetWithTitle("", nullptr, "取消", std::nullopt, {"拍照"});
            break;
    }
}

void enter(THProgressHUD& hud, S from) {
    switch (from) {
        case S::Idle:
            break;
        case S::Loading:
            send(hud, Request::Loading);
            break;
        case S::Alert:
            send(hud, Request::Alert);
            break;
        case S::Tip:
            send(hud, Request::Tip);
            break;
        case S::ActionSheet:
            send(hud, Request::Sheet);
            break;
    }
}

struct Row {
    S from;
    Request request;
    S to;
    int count;
    bool window;
    // Views in the HUD's window once the fades have settled: loading, alert, tip, sheet.
    int loading, alert, tip, sheet;
    bool sameView;  // the request was ignored or replaced nothing: the view shown before is still the one
};

}  // namespace

class HUDStateTable : public HUDTest {};

TEST_F(HUDStateTable, EveryStateAgainstEveryRequest) {
    const Row rows[] = {
        {S::Idle, Request::Loading, S::Loading, 1, true, 1, 0, 0, 0, false},
        {S::Idle, Request::Dismiss, S::Idle, 0, false, 0, 0, 0, 0, false},
        {S::Idle, Request::Tip, S::Tip, 0, true, 0, 0, 1, 0, false},
        {S::Idle, Request::Alert, S::Alert, 0, true, 0, 1, 0, 0, false},
        {S::Idle, Request::Sheet, S::ActionSheet, 0, true, 0, 0, 0, 1, false},
        {S::Loading, Request::Loading, S::Loading, 2, true, 1, 0, 0, 0, true},
        {S::Loading, Request::Dismiss, S::Idle, 0, false, 0, 0, 0, 0, false},
        {S::Loading, Request::Tip, S::Tip, 0, true, 0, 0, 1, 0, false},
        {S::Loading, Request::Alert, S::Alert, 0, true, 0, 1, 0, 0, false},
        {S::Loading, Request::Sheet, S::ActionSheet, 0, true, 0, 0, 0, 1, false},
        {S::Alert, Request::Loading, S::Loading, 1, true, 1, 0, 0, 0, false},
        {S::Alert, Request::Dismiss, S::Alert, 0, true, 0, 1, 0, 0, true},
        {S::Alert, Request::Tip, S::Tip, 0, true, 0, 0, 1, 0, false},
        {S::Alert, Request::Alert, S::Alert, 0, true, 0, 1, 0, 0, false},
        {S::Alert, Request::Sheet, S::ActionSheet, 0, true, 0, 0, 0, 1, false},
        {S::Tip, Request::Loading, S::Loading, 1, true, 1, 0, 0, 0, false},
        {S::Tip, Request::Dismiss, S::Tip, 0, true, 0, 0, 1, 0, true},
        {S::Tip, Request::Tip, S::Tip, 0, true, 0, 0, 1, 0, true},
        {S::Tip, Request::Alert, S::Alert, 0, true, 0, 1, 0, 0, false},
        {S::Tip, Request::Sheet, S::ActionSheet, 0, true, 0, 0, 0, 1, false},
        {S::ActionSheet, Request::Loading, S::Loading, 1, true, 1, 0, 0, 0, false},
        {S::ActionSheet, Request::Dismiss, S::ActionSheet, 0, true, 0, 0, 0, 1, true},
        {S::ActionSheet, Request::Tip, S::Tip, 0, true, 0, 0, 1, 0, false},
        {S::ActionSheet, Request::Alert, S::Alert, 0, true, 0, 1, 0, 0, false},
        {S::ActionSheet, Request::Sheet, S::ActionSheet, 0, true, 0, 0, 0, 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("from ") + std::to_string(int(row.from)) + " " + name(row.request));
        THProgressHUD::resetForTesting();
        hud_ = THProgressHUD::shareInstancetype();
        enter(*hud_, row.from);
        advance(0.1);
        UIViewPtr before = hud_->alertView() ? UIViewPtr(hud_->alertView())
                           : hud_->tipView() ? UIViewPtr(hud_->tipView())
                                             : UIViewPtr(hud_->actionSheetView());
        send(*hud_, row.request);
        EXPECT_EQ(hud_->state(), row.to);
        EXPECT_EQ(hud_->loadingCount(), row.count);
        EXPECT_EQ(windowShown(), row.window);
        advance(0.4);  // every fade and slide has ended; a tip stays longer
        EXPECT_EQ(hud_->state(), row.to);
        EXPECT_EQ(windowShown(), row.window);
        EXPECT_EQ(shown<THProgressHUDLoadingView>(), row.loading);
        EXPECT_EQ(shown<THProgressHUDAlertView>(), row.alert);
        EXPECT_EQ(shown<THProgressHUDTipView>(), row.tip);
        EXPECT_EQ(shown<THProgressHUDActionSheet>(), row.sheet);
        UIViewPtr after = hud_->alertView() ? UIViewPtr(hud_->alertView())
                          : hud_->tipView() ? UIViewPtr(hud_->tipView())
                                            : UIViewPtr(hud_->actionSheetView());
        if (before && after) {
            EXPECT_EQ(before == after, row.sameView);
        }
        EXPECT_FALSE(hud_->window()->isKeyWindow());
        EXPECT_TRUE(appWindow_->isKeyWindow());
    }
}

TEST_F(HUDStateTable, ClosingsReturnToIdleAndHideTheWindow) {
    hud_->showAlertWithTitle("t", "m", nullptr, 0, "好", {});
    hud_->dismissAlertView();
    EXPECT_EQ(hud_->state(), S::Idle);
    advance(0.3);
    EXPECT_FALSE(windowShown());
    EXPECT_EQ(shown<THProgressHUDAlertView>(), 0);

    hud_->showActionSheetWithTitle("t", nullptr, "取消", std::nullopt, {});
    hud_->dismissActionSheet();
    EXPECT_EQ(hud_->state(), S::Idle);
    advance(0.3);
    EXPECT_FALSE(windowShown());
    EXPECT_EQ(shown<THProgressHUDActionSheet>(), 0);

    int completions = 0;
    hud_->showTip("好了", THProgressHUDTipTypeDone, [&] { ++completions; });
    advance(2.05);
    EXPECT_EQ(hud_->state(), S::Tip);
    advance(0.1);  // 0.3 in, 1.5 stay, 0.3 out
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_FALSE(windowShown());
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(hud_->window()->isKeyWindow());
}

TEST_F(HUDStateTable, TipWindowIsTheTipAndLaterRequestsRestoreTheFullScreen) {
    hud_->showTip("短");
    CGRect screen = UIScreen::mainScreen().bounds();
    auto tip = hud_->tipView();
    EXPECT_EQ(hud_->window()->frame().size, tip->bounds().size);
    EXPECT_EQ(hud_->window()->center(), screen.center());
    EXPECT_EQ(hud_->maskLayer()->alpha(), 0);
    // A touch beside the tip reaches the application.
    EXPECT_EQ(UIApplication::sharedApplication()->hitTest({5, 5}), appWindow_);
    hud_->showLoading();
    EXPECT_EQ(hud_->window()->frame(), CGRectMake(0, 0, screen.size.width, screen.size.height));
}

TEST_F(HUDStateTable, LoadingCountsAndKeepsItsText) {
    hud_->showLoadingWithTip(std::string("上传中"));
    auto label = hud_->window()->subviews().back()->subviews().front();
    EXPECT_EQ(label->displayedText(), "上传中");
    hud_->showLoadingWithTip(std::string("别的"));
    EXPECT_EQ(label->displayedText(), "上传中");
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Loading);
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Idle);
    hud_->dismissLoadingView();  // one too many: nothing
    EXPECT_EQ(hud_->loadingCount(), 0);
    hud_->showLoading();
    EXPECT_EQ(label->displayedText(), THProgressHUDDefaultLoadingText);
}

TEST_F(HUDStateTable, ErrorTipEndsLoadingWhateverTheCount) {
    hud_->showLoading();
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

TEST_F(HUDWatchdog, ClosesAForgottenLoading120SecondsAfterTheFadeIn) {
    hud_->showLoading();
    advance(0.3);
    advance(119.99);
    EXPECT_EQ(hud_->state(), S::Loading);
    EXPECT_TRUE(windowShown());
    advance(0.01);  // 120.3
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_FALSE(windowShown());
}

TEST_F(HUDWatchdog, TakesBackOneRequestAtATimeAndRearmsWhileSomeRemain) {
    hud_->showLoading();
    hud_->showLoading();
    hud_->showLoading();
    advance(120.3);
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
    struct Case {
        const char* name;
        std::function<void(THProgressHUD&)> close;
        std::function<void(THProgressHUD&)> open;
        S state;
    };
    auto alert = [](THProgressHUD& h) { h.showAlertWithTitle("t", "m", nullptr, 0, "好", {}); };
    auto sheet = [](THProgressHUD& h) {
        h.showActionSheetWithTitle("", nullptr, "取消", std::nullopt, {"a"});
    };
    const Case cases[] = {
        {"loading, loading",
         [](auto& h) {
             h.showLoading();
             h.dismissLoadingView();
         },
         [](auto& h) { h.showLoading(); }, S::Loading},
        {"alert, loading",
         [&](auto& h) {
             alert(h);
             h.dismissAlertView();
         },
         [](auto& h) { h.showLoading(); }, S::Loading},
        {"alert, alert",
         [&](auto& h) {
             alert(h);
             h.dismissAlertView();
         },
         alert, S::Alert},
        {"sheet, tip",
         [&](auto& h) {
             sheet(h);
             h.dismissActionSheet();
         },
         [](auto& h) { h.showTip("x"); }, S::Tip},
        {"sheet, sheet",
         [&](auto& h) {
             sheet(h);
             h.dismissActionSheet();
         },
         sheet, S::ActionSheet},
        {"alert, sheet",
         [&](auto& h) {
             alert(h);
             h.dismissAlertView();
         },
         sheet, S::ActionSheet},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        THProgressHUD::resetForTesting();
        hud_ = THProgressHUD::shareInstancetype();
        c.close(*hud_);
        advance(0.14);
        c.open(*hud_);
        advance(0.5);
        EXPECT_EQ(hud_->state(), c.state);
        EXPECT_TRUE(windowShown());
        int views = shown<THProgressHUDLoadingView>() + shown<THProgressHUDAlertView>() +
                    shown<THProgressHUDTipView>() + shown<THProgressHUDActionSheet>();
        EXPECT_EQ(views, 1);
        if (c.state == S::Alert) {
            EXPECT_EQ(hud_->alertView()->superview(), hud_->maskLayer());
        }
        if (c.state == S::ActionSheet) {
            EXPECT_EQ(hud_->actionSheetView()->superview(), hud_->window());
        }
        if (c.state == S::Loading) {
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
    advance(2.05);  // the old tip's fade-out has ended
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
