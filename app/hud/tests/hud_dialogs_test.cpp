#include "HUDTestFixture.h"

#include <map>
#include <optional>

namespace {

// Implements only the userInfo variant.
struct UserInfoSheetDelegate : THProgressHUDActionSheetDelegate {
    std::vector<std::string> calls;
    using THProgressHUDActionSheetDelegate::actionSheetView;
    void actionSheetView(const std::shared_ptr<THProgressHUDActionSheet>&, long index,
                         const Value& info) override {
        calls.push_back(std::to_string(index) + "+info:" + info.description());
    }
};

// The title -> tag of every button.
std::map<std::string, long> indexesOf(const std::vector<std::shared_ptr<UIButton>>& buttons) {
    std::map<std::string, long> out;
    for (auto& b : buttons) out[b->currentTitle()] = b->tag();
    return out;
}

// A tap on the dimmed area, away from any dialog.
void tapMask(THProgressHUD& hud) {
    auto hit = UIApplication::sharedApplication()->hitTest({3, 3});
    ASSERT_EQ(hit, hud.maskLayer());
    UITouch touch;
    touch.view = hit;
    touch.window = hud.window();
    hit->touchesBegan(touch);
    hit->touchesEnded(touch);
}

}  // namespace

class HUDAlert : public HUDTest {};

TEST_F(HUDAlert, ButtonIndexesByTitles) {
    struct Case {
        std::string cancel;
        std::vector<std::string> others;
        std::map<std::string, long> indexes;
    };
    const Case cases[] = {
        {"取消", {"确定"}, {{"取消", 0}, {"确定", 1}}},
        {"取消", {"拍照", "相册"}, {{"取消", 0}, {"拍照", 1}, {"相册", 2}}},
        // Empty titles make no button and the others keep their indexes.
        {"取消", {"", "相册"}, {{"取消", 0}, {"相册", 2}}},
        {"", {"确定"}, {{"确定", 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancel + " + " + std::to_string(c.others.size()));
        for (const auto& [title, index] : c.indexes) {
            auto delegate = std::make_shared<RecordingDelegate>();
            hud_->showAlertWithTitle("标题", "内容", delegate, 0, Value("info"), c.cancel, c.others);
            EXPECT_EQ(indexesOf(hud_->alertView()->buttons()), c.indexes);
            ASSERT_TRUE(tapButton(title));
            EXPECT_EQ(delegate->calls, (std::vector<std::string>{std::to_string(index),
                                                                 std::to_string(index) + "+info:info"}));
            EXPECT_EQ(hud_->state(), S::Idle);
            advance(0.3);
            EXPECT_FALSE(windowShown());
        }
    }
}

TEST_F(HUDAlert, ADelegateMayShowTheNextThingFromItsCallback) {
    const struct {
        const char* name;
        std::function<void(THProgressHUD&)> next;
        S state;
        const char* text;  // shown by the new dialog
        double endsAfter;  // 0: stays
    } cases[] = {
        {"tip", [](THProgressHUD& h) { h.showErrorTip("密码错误"); }, S::Tip, nullptr, 2},
        {"alert", [](THProgressHUD& h) { h.showAlertWithTitle("第二", "m", nullptr, 0, "好", {}); }, S::Alert,
         "第二", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshHUD();
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->onPress = [&](long) { c.next(*hud_); };
        hud_->showAlertWithTitle("第一", "m", delegate, 0, "取消", {"确定"});
        ASSERT_TRUE(tapButton("确定"));
        EXPECT_EQ(hud_->state(), c.state);
        advance(0.5);
        EXPECT_EQ(hud_->state(), c.state);
        EXPECT_TRUE(windowShown());
        EXPECT_EQ(shownByState(), onlyViewOf(c.state));
        if (c.text) {
            EXPECT_NE(UITree::findView(c.text), nullptr);
        }
        EXPECT_EQ(UITree::findView("第一"), nullptr);
        if (c.endsAfter > 0) {
            advance(c.endsAfter);
            EXPECT_EQ(hud_->state(), S::Idle);
            EXPECT_FALSE(windowShown());
        }
    }
}

TEST_F(HUDAlert, TheDelegateIsHeldWeakly) {
    auto delegate = std::make_shared<RecordingDelegate>();
    hud_->showAlertWithTitle("t", "m", delegate, 0, "取消", {});
    std::weak_ptr<RecordingDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    ASSERT_TRUE(tapButton("取消"));
    EXPECT_EQ(hud_->state(), S::Idle);
}

class HUDActionSheet : public HUDTest {};

TEST_F(HUDActionSheet, ButtonIndexesWithAndWithoutADestructiveButton) {
    struct Case {
        std::string title;
        std::string cancel;
        std::optional<std::string> destructive;
        std::vector<std::string> others;
        std::map<std::string, long> indexes;
    };
    const Case cases[] = {
        {"选择", "取消", std::nullopt, {"拍照", "相册"}, {{"拍照", 1}, {"相册", 2}, {"取消", 0}}},
        {"选择", "取消", "删除", {"拍照", "相册"}, {{"删除", 1}, {"拍照", 2}, {"相册", 3}, {"取消", 0}}},
        // An empty destructive title still makes its button; an empty other title makes none.
        {"", "取消", "", {"", "相册"}, {{"", 1}, {"相册", 3}, {"取消", 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title + "/" + c.cancel + "/" + c.destructive.value_or("(none)"));
        for (const auto& [title, index] : c.indexes) {
            auto delegate = std::make_shared<RecordingDelegate>();
            hud_->showActionSheetWithTitle(c.title, delegate, c.cancel, c.destructive, c.others, Value("u"));
            auto sheet = hud_->actionSheetView();
            EXPECT_EQ(indexesOf(sheet->buttons()), c.indexes);
            EXPECT_EQ(sheet->titleLabel() != nullptr, !c.title.empty());
            advance(0.3);  // slid up: its bottom on the screen's bottom
            EXPECT_EQ(sheet->frame().maxY(), UIScreen::mainScreen().bounds().maxY());
            ASSERT_TRUE(tapButton(title));
            // Only the first callback when the delegate has both.
            EXPECT_EQ(delegate->calls, std::vector<std::string>{std::to_string(index)});
            EXPECT_EQ(hud_->state(), S::Idle);
            advance(0.3);
            EXPECT_FALSE(windowShown());
            EXPECT_EQ(sheet->superview(), nullptr);
        }
    }
}

TEST_F(HUDActionSheet, ASheetDismissedWhileSlidingUpStaysDown) {
    hud_->showActionSheetWithTitle("选择", nullptr, "取消", std::nullopt, {});
    auto sheet = hud_->actionSheetView();
    advance(0.1);
    hud_->dismissActionSheet();
    advance(0.25);  // the slide up has ended, the slide down not yet
    ASSERT_TRUE(sheet->superview());
    sheet->setNeedsLayout();
    sheet->layoutIfNeeded();
    EXPECT_GE(sheet->frame().minY(), UIScreen::mainScreen().bounds().maxY());
}

TEST_F(HUDActionSheet, TheUserInfoVariantGetsTheSheetsUserInfo) {
    auto delegate = std::make_shared<UserInfoSheetDelegate>();
    hud_->showActionSheetWithTitle("", delegate, "取消", std::nullopt, {"拍照"}, Value("照片"));
    ASSERT_TRUE(tapButton("拍照"));
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"1+info:照片"});
}

// Mended faults in both dialogs: a tap on the dimmed area, and the second touch of a quick double tap.
class HUDDialogs : public HUDTest {
  protected:
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    void showAlert(bool withButtons) {
        hud_->showAlertWithTitle("t", "m", delegate_, 0, withButtons ? "取消" : "",
                                 {withButtons ? "确定" : ""});
    }
    void showSheet(bool withButtons) {
        hud_->showActionSheetWithTitle("只有标题", delegate_, withButtons ? "取消" : "", std::nullopt,
                                       {withButtons ? "拍照" : ""});
    }
};

TEST_F(HUDDialogs, ATapOutsideAnswersCancelOnlyWhenThereIsNoButton) {
    const struct {
        bool sheet, withButtons;
        std::vector<std::string> calls;
    } cases[] = {
        {false, false, {"0", "0+info:<null>"}},
        {false, true, {}},
        {true, false, {"0"}},
        {true, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sheet ? "sheet" : "alert") +
                     (c.withButtons ? " with buttons" : " without"));
        freshHUD();
        delegate_->calls.clear();
        c.sheet ? showSheet(c.withButtons) : showAlert(c.withButtons);
        advance(0.3);
        tapMask(*hud_);
        EXPECT_EQ(delegate_->calls, c.calls);
        advance(0.3);
        EXPECT_EQ(windowShown(), c.withButtons);
        EXPECT_EQ(hud_->state(), c.withButtons ? (c.sheet ? S::ActionSheet : S::Alert) : S::Idle);
    }
}

TEST_F(HUDDialogs, ADoubleTapReportsOnePress) {
    showAlert(true);
    auto buttons = hud_->alertView()->buttons();
    ASSERT_TRUE(tapButton("确定"));
    // Nothing fades here, so the next touches of a quick double tap are delivered straight to the buttons.
    buttons[1]->sendActionsForControlEvents(UIControlEventTouchUpInside);
    buttons[0]->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(delegate_->calls, (std::vector<std::string>{"1", "1+info:<null>"}));

    delegate_->calls.clear();
    showSheet(true);
    advance(0.3);
    buttons = hud_->actionSheetView()->buttons();
    ASSERT_TRUE(tapButton("拍照"));
    buttons[0]->sendActionsForControlEvents(UIControlEventTouchUpInside);
    buttons[1]->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(delegate_->calls, std::vector<std::string>{"1"});
}

TEST_F(HUDAlert, EditingRaisesTheAlertAndTheDelegateReadsTheTypedText) {
    struct Reader : THProgressHUDAlertViewDelegate {
        std::string user, password;
        void alertView(const std::shared_ptr<THProgressHUDAlertView>& alert, long) override {
            user = alert->plainTextInput()->text();
            password = alert->secureTextInput()->text();
        }
    };
    auto delegate = std::make_shared<Reader>();
    hud_->showAlertWithTitle("登录", "", delegate, 3, "取消", {"确定"});
    auto alert = hud_->alertView();
    alert->layoutIfNeeded();
    CGFloat restingY = alert->center().y;
    ASSERT_TRUE(alert->plainTextInput()->becomeFirstResponder());
    alert->plainTextInput()->insertText("13800000000");
    EXPECT_EQ(alert->center().y, restingY - UIScreen::mainScreen().bounds().size.height * 0.25);
    ASSERT_TRUE(alert->secureTextInput()->becomeFirstResponder());
    alert->secureTextInput()->insertText("秘密");
    alert->secureTextInput()->resignFirstResponder();
    advance(0.3);
    EXPECT_EQ(alert->center().y, restingY);
    ASSERT_TRUE(tapButton("确定"));
    EXPECT_EQ(delegate->user, "13800000000");
    EXPECT_EQ(delegate->password, "秘密");
}
