#include <optional>

#include "HUDTestFixture.h"

class HUDStateTable : public HUDTest {};

TEST_F(HUDStateTable, EveryStateAgainstEveryRequest) {
    // From each state (the row; states and requests are numbered alike), what each request
    // (dismissLoadingView, showLoading, alert, tip, sheet) leads to: the state (0-4), the loading count, and
    // "=" when the view shown before is still the one (the request was ignored or replaced nothing).
    const char* const table[5][5] = {{"00", "11", "20", "30", "40"},
                                     {"00", "12=", "20", "30", "40"},
                                     {"20=", "11", "20", "30", "40"},
                                     {"30=", "11", "20", "30=", "40"},
                                     {"40=", "11", "20", "30", "40="}};
    for (int from = 0; from < 5; ++from) {
        for (int request = 0; request < 5; ++request) {
            const std::string cell = table[from][request];
            const S to = S(cell[0] - '0');
            SCOPED_TRACE(std::string("from ") + std::to_string(from) + " " + infoOf(Request(request)).name);
            freshHUD();
            if (from != 0) send(*hud_, Request(from));
            advance(0.1);
            UIViewPtr before = dialogOf(*hud_);
            send(*hud_, Request(request));
            EXPECT_EQ(std::tuple(hud_->state(), hud_->loadingCount(), windowShown()),
                      std::tuple(to, cell[1] - '0', to != S::Idle));
            advance(0.4);  // every fade and slide has ended; a tip stays longer
            EXPECT_EQ(std::tuple(hud_->state(), windowShown(), showsOnly(to)),
                      std::tuple(to, to != S::Idle, true));
            UIViewPtr after = dialogOf(*hud_);
            EXPECT_TRUE(!before || !after || (before == after) == (cell.size() == 3));
            EXPECT_FALSE(hud_->window()->isKeyWindow());
            EXPECT_TRUE(appWindow_->isKeyWindow());
        }
    }
}

TEST_F(HUDStateTable, TipWindowIsTheTipAndLaterRequestsRestoreTheFullScreen) {
    hud_->showTip("短");
    CGRect screen = UIScreen::mainScreen().bounds();
    EXPECT_EQ(std::tuple(hud_->window()->frame().size, hud_->window()->center(), hud_->maskLayer()->alpha()),
              std::tuple(hud_->tipView()->bounds().size, screen.center(), 0.0));
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
    hud_->dismissLoadingView();
    EXPECT_EQ(hud_->state(), S::Idle);
    EXPECT_EQ(label->displayedText(), THProgressHUDDefaultLoadingText) << "the fade out resets the text";
    hud_->dismissLoadingView();  // one too many: nothing
    EXPECT_EQ(hud_->loadingCount(), 0);

    // An error tip ends loading whatever the count, and its watchdog.
    hud_->showLoading();
    hud_->showLoading();
    hud_->showErrorTip("网络错误");
    EXPECT_EQ(std::pair(hud_->loadingCount(), hud_->timer() && hud_->timer()->isValid()),
              std::pair(0, false));
}

TEST_F(HUDStateTable, WatchdogTakesBackOneRequest120SecondsAfterTheFadeInAndRearmsWhileSomeRemain) {
    for (int i = 0; i < 3; ++i) hud_->showLoading();
    // The clock's steps from the start, and the count left after each: 120 s from the end of the fade in.
    for (auto [step, count] :
         {std::pair(120.29, 3), std::pair(0.01, 2), std::pair(119.8, 2), std::pair(0.3, 1)}) {
        advance(step);
        EXPECT_EQ(std::pair(hud_->loadingCount(), windowShown()), std::pair(count, true)) << step;
    }
    advance(120);
    EXPECT_EQ(std::tuple(hud_->state(), windowShown(), hud_->timer() && hud_->timer()->isValid()),
              std::tuple(S::Idle, false, false));
}

TEST_F(HUDStateTable, WatchdogIsArmedWhenTheFadeInIsCutShortAndRunsWhileTheMainLoopTracksATouch) {
    hud_->showLoading();
    // Something else animates the same views and takes the fade over.
    auto loading = std::dynamic_pointer_cast<THProgressHUDLoadingView>(hud_->window()->subviews().back());
    ASSERT_NE(loading, nullptr);
    UIView::animateWithDuration(0.1, [&] { hud_->maskLayer()->setAlpha(1), loading->setAlpha(1); });
    advance(0.3);
    std::optional<S> stateWhileTracking;
    NSRunLoop::main().perform([&] { clock_.advance(120), stateWhileTracking = hud_->state(); });
    NSRunLoop::main().runOnce(UITrackingRunLoopMode, 0);
    EXPECT_EQ(std::pair(stateWhileTracking, windowShown()), std::pair(std::optional(S::Idle), false));
}

TEST_F(HUDStateTable, WhatIsShownDuringAClosingFadeStays) {
    const std::pair<Request, Request> rows[] = {{Request::Loading, Request::Loading},
                                                {Request::Alert, Request::Alert},
                                                {Request::Sheet, Request::Tip},
                                                {Request::Alert, Request::Sheet}};
    for (const auto& [first, second] : rows) {
        SCOPED_TRACE(std::string(infoOf(first).name) + ", " + infoOf(second).name);
        freshHUD();
        send(*hud_, first);
        first == Request::Loading ? hud_->dismissLoadingView()
        : first == Request::Alert ? hud_->dismissAlertView()
                                  : hud_->dismissActionSheet();
        advance(0.14);
        send(*hud_, second);
        advance(0.5);
        const S state = S(second);
        EXPECT_EQ(std::tuple(hud_->state(), windowShown(), showsOnly(state)), std::tuple(state, true, true));
        EXPECT_TRUE(state != S::Alert || hud_->alertView()->superview() == hud_->maskLayer());
        EXPECT_TRUE(state != S::Loading || hud_->maskLayer()->alpha() == 1);
    }
}

TEST_F(HUDStateTable, AnOldTipNeverClosesALaterOne) {
    int first = 0, second = 0;
    hud_->showTip("一", THProgressHUDTipTypeSuccess, [&] { ++first; });
    auto oldTip = hud_->tipView();  // kept alive, so its fades run to the end
    advance(0.1);
    hud_->showLoading();
    hud_->showTip("二", THProgressHUDTipTypeSuccess, [&] { ++second; });
    auto newTip = hud_->tipView();
    advance(2.05);  // the old tip's fade-out has ended (0.3 in, 1.5 stay, 0.3 out)
    EXPECT_EQ(std::tuple(hud_->state(), hud_->tipView(), newTip->superview(), windowShown()),
              std::tuple(S::Tip, newTip, hud_->window(), true));
    advance(0.1);
    EXPECT_EQ(std::tuple(hud_->state(), first, second), std::tuple(S::Idle, 0, 1));
}

TEST_F(HUDStateTable, ATipIgnoredWhileAnotherShowsNeverCompletes) {
    int first = 0, ignored = 0;
    hud_->showTip("一", 0, [&] { ++first; });
    hud_->showTip("二", 0, [&] { ++ignored; });
    advance(3);
    EXPECT_EQ(std::pair(first, ignored), std::pair(1, 0));
}

TEST_F(HUDStateTable, ResetStateFromATipDoesNotLeaveTheHUDStuck) {
    hud_->showTip("一");
    hud_->resetState(S::Idle);
    EXPECT_EQ(std::pair(hud_->state(), countIn<THProgressHUDTipView>(hud_->window())), std::pair(S::Tip, 0));
    advance(2.2);
    EXPECT_EQ(std::pair(hud_->state(), windowShown()), std::pair(S::Idle, false));
    hud_->showTip("二");
    EXPECT_EQ(hud_->state(), S::Tip);
}
