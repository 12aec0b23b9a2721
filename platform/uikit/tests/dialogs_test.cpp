#include "UITestFixture.h"

#include "platform/uikit/UIActionSheet.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"

namespace {

struct DialogRecorder : UIAlertViewDelegate, UIActionSheetDelegate {
    CallLog log;
    void clickedButtonAtIndex(UIAlertView&, long i) override { log("alert clicked " + std::to_string(i)); }
    void willDismissWithButtonIndex(UIAlertView&, long i) override {
        log("alert willDismiss " + std::to_string(i));
    }
    void didDismissWithButtonIndex(UIAlertView&, long i) override {
        log("alert didDismiss " + std::to_string(i));
    }
    void clickedButtonAtIndex(UIActionSheet&, long i) override { log("sheet clicked " + std::to_string(i)); }
    void willDismissWithButtonIndex(UIActionSheet&, long i) override {
        log("sheet willDismiss " + std::to_string(i));
    }
    void didDismissWithButtonIndex(UIActionSheet&, long i) override {
        log("sheet didDismiss " + std::to_string(i));
    }
};

class DialogsTest : public UITest {
  protected:
    void SetUp() override {
        window_ = UIWindow::create(CGRectMake(0, 0, 375, 667));
        screen_ = UIView::create(window_->bounds());
        window_->addSubview(screen_);
        window_->makeKeyAndVisible();
        delegate_ = std::make_shared<DialogRecorder>();
    }
    void TearDown() override {
        UIDialogs::dismissAllForTesting();
        if (auto r = UIResponder::firstResponder()) r->resignFirstResponder();
        UIKeyboard::resetForTesting();
    }
    UIWindowPtr window_;
    UIViewPtr screen_;
    std::shared_ptr<DialogRecorder> delegate_;
};

using Titles = std::vector<std::string>;

TEST_F(DialogsTest, AlertIndexesPutCancelFirstAndTellTheDelegateInOrder) {
    auto alert = UIAlertView::create("Title", "Message", delegate_, "Cancel", {"One", "Two"});
    EXPECT_EQ(alert->cancelButtonIndex(), 0);
    EXPECT_EQ(alert->firstOtherButtonIndex(), 1);
    alert->show();
    EXPECT_EQ(UIDialogs::visible(), alert);
    EXPECT_EQ(UIDialogs::buttonTitles(), (Titles{"Cancel", "One", "Two"}));
    EXPECT_TRUE(UIDialogs::window()->isKeyWindow());

    ASSERT_TRUE(UITree::tapText("Two"));
    EXPECT_EQ(delegate_->log.take(), (Titles{"alert clicked 2", "alert willDismiss 2"}));
    EXPECT_EQ(UIDialogs::visible(), nullptr);    // answered; fading out
    EXPECT_FALSE(alert->pressButtonAtIndex(0));  // answers once
    advance(UIDialogFadeDuration);
    EXPECT_EQ(delegate_->log.take(), (Titles{"alert didDismiss 2"}));
    EXPECT_EQ(alert->superview(), nullptr);
    EXPECT_EQ(UIDialogs::window(), nullptr);
    EXPECT_TRUE(window_->isKeyWindow());  // key status goes back to the app

    // Without a cancel title the others count from 0; an empty cancel title is still a button.
    auto noCancel = UIAlertView::create("T", "", delegate_, std::nullopt, {"A", "B"});
    EXPECT_EQ(noCancel->cancelButtonIndex(), -1);
    EXPECT_EQ(noCancel->firstOtherButtonIndex(), 0);
    EXPECT_EQ(noCancel->buttonTitleAtIndex(1), "B");
    auto emptyCancel = UIAlertView::create("T", "", delegate_, "", {});
    EXPECT_EQ(emptyCancel->numberOfButtons(), 1);
    EXPECT_EQ(emptyCancel->firstOtherButtonIndex(), -1);
    EXPECT_EQ(emptyCancel->addButtonWithTitle("Later"), 1);
}

TEST_F(DialogsTest, AnAlertWithoutDelegateJustClosesAndProgrammaticDismissalSkipsTheClick) {
    auto tip = UIAlertView::create("Tip", "Saved", {}, "OK");
    tip->show();
    EXPECT_TRUE(UIDialogs::press(0));
    advance(1);
    EXPECT_EQ(UIDialogs::visible(), nullptr);
    EXPECT_FALSE(UIDialogs::press(0));  // nothing to answer

    auto alert = UIAlertView::create("Title", "", delegate_, "Cancel", {"OK"});
    alert->show();
    EXPECT_FALSE(UIDialogs::press(2));  // out of range: nothing happens
    EXPECT_TRUE(alert->isVisible());
    alert->dismissWithClickedButtonIndex(1, Animated::No);
    EXPECT_EQ(delegate_->log.take(), (Titles{"alert willDismiss 1", "alert didDismiss 1"}));
    EXPECT_FALSE(alert->isVisible());
}

TEST_F(DialogsTest, AlertStylesGiveTheirTextFieldsAndRaiseTheKeyboard) {
    struct Case {
        UIAlertViewStyle style;
        std::vector<bool> secure;
    };
    for (const Case& c :
         {Case{UIAlertViewStyle::Default, {}}, Case{UIAlertViewStyle::SecureTextInput, {true}},
          Case{UIAlertViewStyle::PlainTextInput, {false}},
          Case{UIAlertViewStyle::LoginAndPasswordInput, {false, true}}}) {
        auto alert = UIAlertView::create("Sign in", "", delegate_, "Cancel", {"OK"});
        alert->setAlertViewStyle(c.style);
        for (size_t i = 0; i < c.secure.size(); ++i) {
            ASSERT_NE(alert->textFieldAtIndex(long(i)), nullptr);
            EXPECT_EQ(alert->textFieldAtIndex(long(i))->isSecureTextEntry(), c.secure[i]);
        }
        EXPECT_EQ(alert->textFieldAtIndex(long(c.secure.size())), nullptr);
        EXPECT_EQ(alert->textFieldAtIndex(-1), nullptr);
        alert->show();
        EXPECT_EQ(UIKeyboard::isVisible(), !c.secure.empty());
        if (!c.secure.empty()) {
            UIKeyboard::typeText("me");
            EXPECT_EQ(alert->textFieldAtIndex(0)->text(), "me");
        }
        UIDialogs::press(1);
        EXPECT_FALSE(UIKeyboard::isVisible());
        advance(1);
    }
}

TEST_F(DialogsTest, ActionSheetIndexesRunDestructiveOthersCancel) {
    struct Case {
        std::optional<std::string> cancel, destructive;
        Titles titles;
        long cancelIndex, destructiveIndex, firstOther;
    };
    const Case cases[] = {
        {"Cancel", std::nullopt, {"One", "Two", "Cancel"}, 2, -1, 0},
        {"Cancel", "Delete", {"Delete", "One", "Two", "Cancel"}, 3, 0, 1},
        {std::nullopt, "Delete", {"Delete", "One", "Two"}, -1, 0, 1},
        {std::nullopt, std::nullopt, {"One", "Two"}, -1, -1, 0},
        {"", "", {"", "One", "Two", ""}, 3, 0, 1},  // empty titles still make buttons
    };
    for (const auto& c : cases) {
        auto sheet = UIActionSheet::create("Pick", delegate_, c.cancel, c.destructive, {"One", "Two"});
        EXPECT_EQ(sheet->cancelButtonIndex(), c.cancelIndex);
        EXPECT_EQ(sheet->destructiveButtonIndex(), c.destructiveIndex);
        EXPECT_EQ(sheet->firstOtherButtonIndex(), c.firstOther);
        sheet->showInView(screen_);
        EXPECT_EQ(UIDialogs::buttonTitles(), c.titles);
        // Pressing "Two" reports its place in that order.
        long two = long(std::find(c.titles.begin(), c.titles.end(), "Two") - c.titles.begin());
        ASSERT_TRUE(UIDialogs::press(two));
        advance(1);
        EXPECT_EQ(delegate_->log.take(),
                  (Titles{"sheet clicked " + std::to_string(two), "sheet willDismiss " + std::to_string(two),
                          "sheet didDismiss " + std::to_string(two)}));
    }
    // A sheet needs a view on screen.
    auto sheet = UIActionSheet::create("Pick", delegate_, "Cancel", std::nullopt, {});
    sheet->showInView(UIView::create());
    EXPECT_EQ(UIDialogs::visible(), nullptr);
    sheet->showInView(nullptr);
    EXPECT_EQ(UIDialogs::visible(), nullptr);
}

TEST_F(DialogsTest, DialogsShowInTheirOwnWindowAboveTheAppAndStack) {
    auto first = UIAlertView::create("First", "Body", delegate_, "OK");
    first->show();
    auto sheet = UIActionSheet::create("Second", delegate_, "Cancel", "Delete", {});
    sheet->showInView(screen_);
    EXPECT_EQ(UIDialogs::visible(), sheet);
    EXPECT_TRUE(first->isHidden());  // waits beneath
    auto windows = UIApplication::sharedApplication()->windows();
    ASSERT_EQ(windows.back(), UIDialogs::window());
    std::string dump = UITree::dump();
    EXPECT_LT(dump.find("UIWindow frame={{0, 0}, {375, 667}} level=0"), dump.find("level=2000 key"));
    // At the bottom, 8 in from the edges: a 44-high title area, Delete, an 8-point gap, Cancel.
    EXPECT_NE(dump.find("  UIActionSheet frame={{8, 519}, {359, 140}} title=\"Second\"\n"
                        "    UILabel frame={{0, 0}, {359, 44}} text=\"Second\"\n"
                        "    UIButton frame={{0, 44}, {359, 44}} title=\"Delete\"\n"
                        "    UIButton frame={{0, 96}, {359, 44}} title=\"Cancel\"\n"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("UIAlertView frame={{52.5, 273}, {270, 121}} hidden title=\"First\""),
              std::string::npos);
    ASSERT_TRUE(UITree::tapText("Cancel"));
    advance(1);
    EXPECT_EQ(UIDialogs::visible(), first);
    EXPECT_FALSE(first->isHidden());
    EXPECT_EQ(delegate_->log.take(),
              (Titles{"sheet clicked 1", "sheet willDismiss 1", "sheet didDismiss 1"}));
}

}  // namespace
