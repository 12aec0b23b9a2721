#include "UITestFixture.h"

#include "platform/foundation/Process.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

class Windows : public UITest {};

TEST_F(Windows, KeyStatusPassesToTheTopmostVisibleWindow) {
    auto app = UIApplication::sharedApplication();
    auto main = UIWindow::create(UIScreen::mainScreen().bounds());
    auto banner = UIWindow::create(UIScreen::mainScreen().bounds());
    banner->setWindowLevel(UIWindowLevelStatusBar);
    auto hud = UIWindow::create(UIScreen::mainScreen().bounds());
    hud->setWindowLevel(UIWindowLevelAlert + 100);
    EXPECT_EQ(app->keyWindow(), nullptr);

    main->makeKeyAndVisible();
    EXPECT_TRUE(main->isKeyWindow());
    // The HUD's set-up: key and visible, then hidden at once; key status goes back.
    hud->makeKeyAndVisible();
    EXPECT_TRUE(hud->isKeyWindow());
    EXPECT_FALSE(main->isKeyWindow());
    hud->setHidden(true);
    EXPECT_EQ(app->keyWindow(), main);

    banner->setHidden(false);
    hud->makeKeyAndVisible();
    hud->resignKeyWindow();
    EXPECT_EQ(app->keyWindow(), banner);  // topmost visible other window, not the previous key
    hud->setHidden(true);
    EXPECT_EQ(app->keyWindow(), banner);  // hiding a window that is not key changes nothing
    banner->setHidden(true);
    EXPECT_EQ(app->keyWindow(), main);
    main->setHidden(true);
    EXPECT_EQ(app->keyWindow(), nullptr);

    EXPECT_EQ(app->windows(), (std::vector<UIWindowPtr>{main, banner, hud}));
    hud.reset();
    EXPECT_EQ(app->windows().size(), 2u);
}

TEST_F(Windows, ScreenFollowsTheDeviceProfile) {
    EXPECT_EQ(UIScreen::mainScreen().scale(), 2);
    DeviceProfile profile;
    profile.screenWidth = 320;
    profile.screenHeight = 568;
    DeviceProfile::set(profile);
    EXPECT_EQ(UIScreen::mainScreen().bounds(), CGRectMake(0, 0, 320, 568));
    DeviceProfile::reset();
}

TEST_F(Windows, HitTestingCrossesWindowsTopmostFirst) {
    auto app = UIApplication::sharedApplication();
    auto low = UIWindow::create(CGRectMake(0, 0, 300, 300));
    auto high = UIWindow::create(CGRectMake(100, 100, 100, 100));
    high->setWindowLevel(UIWindowLevelAlert);
    low->makeKeyAndVisible();
    auto lowChild = UIView::create(CGRectMake(0, 0, 300, 300));
    low->addSubview(lowChild);
    EXPECT_EQ(app->hitTest({150, 150}), lowChild);  // the high window is hidden
    high->setHidden(false);
    EXPECT_EQ(app->hitTest({150, 150}), high);
    EXPECT_EQ(app->hitTest({50, 50}), lowChild);
    high->setUserInteractionEnabled(false);
    EXPECT_EQ(app->hitTest({150, 150}), lowChild);
}

class Animations : public UITest {};

TEST_F(Animations, ModelChangesAtOnceAndCompletionWaitsForTheClock) {
    auto v = UIView::create();
    std::vector<bool> results;
    UIView::animateWithDuration(
        3.0, [&] { v->setAlpha(0); }, [&](bool finished) { results.push_back(finished); });
    EXPECT_EQ(v->alpha(), 0);
    auto inFlight = UIView::animationsInFlight();
    ASSERT_EQ(inFlight.size(), 1u);
    EXPECT_TRUE(inFlight[0].property == "alpha" && inFlight[0].view.lock() == v &&
                inFlight[0].duration == 3.0);
    turn();
    advance(2.9);
    EXPECT_TRUE(results.empty());
    advance(0.1);
    EXPECT_EQ(results, std::vector<bool>{true});
    EXPECT_TRUE(UIView::animationsInFlight().empty());
}

TEST_F(Animations, ALaterAnimationOfTheSamePropertyTakesOver) {
    auto v = UIView::create();
    auto other = UIView::create();
    std::vector<std::string> log;
    UIView::animateWithDuration(
        3.0, [&] { v->setAlpha(0); },
        [&](bool f) { log.push_back(std::string("first ") + (f ? "YES" : "NO")); });
    // Another view's alpha, or another property, takes nothing over.
    UIView::animateWithDuration(
        1.0,
        [&] {
            other->setAlpha(0.5);
            v->setCenter({1, 1});
        },
        [&](bool f) { log.push_back(std::string("second ") + (f ? "YES" : "NO")); });
    EXPECT_EQ(UIView::animationsInFlight().size(), 3u);
    UIView::animateWithDuration(
        1.0, [&] { v->setAlpha(1); },
        [&](bool f) { log.push_back(std::string("third ") + (f ? "YES" : "NO")); });
    EXPECT_TRUE(log.empty());  // not synchronously
    turn();
    EXPECT_EQ(log, std::vector<std::string>{"first NO"});
    advance(1.0);
    EXPECT_EQ(log, (std::vector<std::string>{"first NO", "second YES", "third YES"}));
    advance(5);
    EXPECT_EQ(log.size(), 3u);  // the interrupted one never completes twice

    // Partly taken over, an animation finishes at its own end, with NO.
    auto w = UIView::create();
    std::vector<bool> first;
    UIView::animateWithDuration(
        2.0,
        [&] {
            w->setAlpha(0);
            w->setBackgroundColor(UIColor::redColor());
        },
        [&](bool f) { first.push_back(f); });
    UIView::animateWithDuration(
        0.5, [&] { w->setAlpha(1); }, nullptr);
    turn();
    EXPECT_TRUE(first.empty());  // still animates the colour
    advance(2.0);
    EXPECT_EQ(first, std::vector<bool>{false});
}

TEST_F(Animations, ABlockThatChangesNothingCompletesOnTheNextTurn) {
    int calls = 0;
    bool finished = false;
    UIView::animateWithDuration(
        10, [] {},
        [&](bool f) {
            ++calls;
            finished = f;
        });
    EXPECT_EQ(calls, 0);
    turn();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(finished);

    auto v = UIView::create();
    v->setFrame(CGRectMake(1, 2, 3, 4));  // outside a block: not animated
    UIView::animateWithDuration(
        1, [&] { UIView::performWithoutAnimation([&] { v->setAlpha(0.2); }); }, [&](bool) { ++calls; });
    EXPECT_TRUE(UIView::animationsInFlight().empty());
    turn();
    EXPECT_EQ(calls, 2);
}

TEST_F(Animations, ACompletionMayStartTheNextAnimationWithDelayAndOptions) {
    auto v = UIView::create();
    std::vector<std::string> log;
    // The tip's pattern: fade in, then fade out after a delay from the completion.
    UIView::animateWithDuration(
        0.3, [&] { v->setAlpha(1); },
        [&](bool) {
            log.push_back("in");
            UIView::animateWithDuration(
                0.3, 1.5, UIViewAnimationOptionAllowAnimatedContent, [&] { v->setAlpha(0); },
                [&](bool f) { log.push_back(f ? "out" : "out-interrupted"); });
        });
    advance(0.3);
    EXPECT_EQ(log, std::vector<std::string>{"in"});
    ASSERT_EQ(UIView::animationsInFlight().size(), 1u);
    EXPECT_EQ(UIView::animationsInFlight()[0].options, UIViewAnimationOptionAllowAnimatedContent);
    advance(1.75);  // the delay counts towards the end
    EXPECT_EQ(log.size(), 1u);
    advance(0.1);
    EXPECT_EQ(log, (std::vector<std::string>{"in", "out"}));
}
