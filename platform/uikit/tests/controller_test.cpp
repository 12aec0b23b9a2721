#include "UITestFixture.h"

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"

namespace {

class Screen : public UIViewController {
  public:
    static std::shared_ptr<Screen> create(CallLog* log, std::string name) {
        auto s = std::shared_ptr<Screen>(new Screen());
        s->log_ = log;
        s->name_ = std::move(name);
        return s;
    }
    void viewDidLoad() override { (*log_)(name_ + ".viewDidLoad"); }
    void viewWillAppear(bool) override { (*log_)(name_ + ".willAppear"); }
    void viewDidAppear(bool) override { (*log_)(name_ + ".didAppear"); }
    void viewWillDisappear(bool) override { (*log_)(name_ + ".willDisappear"); }
    void viewDidDisappear(bool) override { (*log_)(name_ + ".didDisappear"); }

  private:
    CallLog* log_ = nullptr;
    std::string name_;
};

using Calls = std::vector<std::string>;

}  // namespace

class Controllers : public UITest {
  protected:
    void SetUp() override { window_ = UIWindow::create(UIScreen::mainScreen().bounds()); }
    CallLog log_;
    UIWindowPtr window_;
};

TEST_F(Controllers, RootLoadsOnceAndAppearsWhenTheWindowShows) {
    auto a = Screen::create(&log_, "a");
    EXPECT_FALSE(a->isViewLoaded());
    window_->setRootViewController(a);
    EXPECT_EQ(a->view()->viewController(), a);
    EXPECT_EQ(log_.take(), Calls{"a.viewDidLoad"});  // once, however often the view is asked for
    EXPECT_EQ(a->view()->superview(), window_);
    EXPECT_EQ(a->view()->frame(), window_->bounds());
    window_->makeKeyAndVisible();
    EXPECT_EQ(log_.take(), (Calls{"a.willAppear", "a.didAppear"}));
    auto b = Screen::create(&log_, "b");
    window_->setRootViewController(b);
    EXPECT_EQ(log_.take(),
              (Calls{"a.willDisappear", "b.viewDidLoad", "b.willAppear", "a.didDisappear", "b.didAppear"}));
    EXPECT_EQ(a->view()->superview(), nullptr);
}

TEST_F(Controllers, PushAndPopMakeTheAppearanceCallsInOrder) {
    auto root = Screen::create(&log_, "root");
    auto nav = UINavigationController::initWithRootViewController(root);
    window_->setRootViewController(nav);
    window_->makeKeyAndVisible();
    log_.take();

    auto next = Screen::create(&log_, "next");
    nav->pushViewController(next, Animated::No);
    EXPECT_EQ(log_.take(), (Calls{"root.willDisappear", "next.viewDidLoad", "next.willAppear",
                                  "root.didDisappear", "next.didAppear"}));
    EXPECT_EQ(nav->topViewController(), next);
    EXPECT_EQ(next->navigationController(), nav);
    EXPECT_EQ(root->view()->superview(), nullptr);

    auto popped = nav->popViewControllerAnimated(Animated::Yes);
    EXPECT_EQ(popped, next);
    EXPECT_EQ(log_.take(), (Calls{"next.willDisappear", "root.willAppear"}));
    advance(UINavigationTransitionDuration - 0.01);
    EXPECT_TRUE(log_.calls.empty());
    advance(0.01);
    EXPECT_EQ(log_.take(), (Calls{"next.didDisappear", "root.didAppear"}));
    EXPECT_EQ(next->navigationController(), nullptr);
    EXPECT_EQ(nav->popViewControllerAnimated(Animated::No), nullptr);  // the root stays
}

TEST_F(Controllers, PopToRootAndOverlappingTransitions) {
    auto root = Screen::create(&log_, "root");
    auto nav = UINavigationController::initWithRootViewController(root);
    window_->setRootViewController(nav);
    window_->makeKeyAndVisible();
    auto b = Screen::create(&log_, "b");
    auto c = Screen::create(&log_, "c");
    nav->pushViewController(b, Animated::Yes);
    // A second push before the first has finished completes the first one first.
    nav->pushViewController(c, Animated::Yes);
    log_.take();
    advance(1);
    EXPECT_EQ(nav->viewControllers(), (std::vector<UIViewControllerPtr>{root, b, c}));
    EXPECT_EQ(log_.take(), (Calls{"b.didDisappear", "c.didAppear"}));

    nav->pushViewController(b, Animated::No);  // already on the stack
    EXPECT_EQ(nav->viewControllers().size(), 3u);

    auto popped = nav->popToRootViewControllerAnimated(Animated::No);
    EXPECT_EQ(popped, (std::vector<UIViewControllerPtr>{b, c}));
    EXPECT_EQ(log_.take(), (Calls{"c.willDisappear", "root.willAppear", "c.didDisappear", "root.didAppear"}));
}

TEST_F(Controllers, PresentAndDismiss) {
    auto root = Screen::create(&log_, "root");
    window_->setRootViewController(root);
    window_->makeKeyAndVisible();
    log_.take();
    auto modal = Screen::create(&log_, "modal");
    int completions = 0;
    root->presentViewController(modal, Animated::Yes, [&] { ++completions; });
    EXPECT_EQ(log_.take(), (Calls{"root.willDisappear", "modal.viewDidLoad", "modal.willAppear"}));
    EXPECT_EQ(root->presentedViewController(), modal);
    EXPECT_EQ(modal->presentingViewController(), root);
    advance(UIModalTransitionDuration);
    EXPECT_EQ(log_.take(), (Calls{"root.didDisappear", "modal.didAppear"}));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(root->view()->superview(), nullptr);

    // Presenting again while presenting does nothing.
    root->presentViewController(Screen::create(&log_, "other"), Animated::No, [&] { ++completions; });
    EXPECT_EQ(completions, 1);

    modal->dismissViewControllerAnimated(Animated::No, [&] { ++completions; });
    EXPECT_EQ(log_.take(),
              (Calls{"modal.willDisappear", "root.willAppear", "modal.didDisappear", "root.didAppear"}));
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(root->view()->superview(), window_);

    // A controller outside any window cannot present.
    auto loose = Screen::create(&log_, "loose");
    loose->presentViewController(Screen::create(&log_, "x"), Animated::No);
    EXPECT_EQ(loose->presentedViewController(), nullptr);
}

TEST_F(Controllers, NavigationBarShowsTheTopItemAndItsButtons) {
    auto root = Screen::create(&log_, "root");
    root->setTitle("Home");
    auto nav = UINavigationController::initWithRootViewController(root);
    window_->setRootViewController(nav);
    window_->makeKeyAndVisible();
    auto bar = nav->navigationBar();
    EXPECT_EQ(bar->titleLabel()->text(), "Home");
    EXPECT_EQ(bar->leftButton(), nullptr);

    auto next = Screen::create(&log_, "next");
    next->setTitle("Detail");
    nav->pushViewController(next, Animated::No);
    ASSERT_NE(bar->leftButton(), nullptr);
    EXPECT_EQ(bar->leftButton()->currentTitle(), "Home");  // the default back button

    int shares = 0;
    next->navigationItem()->setRightBarButtonItem(
        UIBarButtonItem::createWithTitle("Share", UIBarButtonItemStyle::Plain, [&] { ++shares; }));
    EXPECT_TRUE(UITree::tapText("Share"));
    EXPECT_EQ(shares, 1);

    bar->setTitleTextAttributes(
        {{NSForegroundColorAttributeName, Value(UIColor::colorWithWhite(54 / 255.0, 1))},
         {NSFontAttributeName, Value(UIFont::systemFontOfSize(17))}});
    EXPECT_TRUE(colorsEqual(bar->titleLabel()->textColor(), UIColor::colorWithWhite(54 / 255.0, 1)));
    EXPECT_FALSE(bar->titleLabel()->font()->isBold());

    EXPECT_TRUE(UITree::tapText("Home"));  // back
    advance(1);
    EXPECT_EQ(nav->topViewController(), root);

    nav->setNavigationBarHidden(true, Animated::No);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_FALSE(UITree::tapText("Home"));
}
