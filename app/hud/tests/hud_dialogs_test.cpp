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

TEST_F(HUDAlert, ButtonIndexesOfBothDialogsAndTheirCallbacks) {
    // A sheet (else an alert), its title, cancel, destructive and other titles, and the index of each button.
    using Titles = std::vector<std::string>;
    const std::tuple<bool, std::string, std::string, std::optional<std::string>, Titles,
                     std::map<std::string, long>>
        rows[] = {
            {false, "标题", "取消", std::nullopt, {"拍照", "相册"}, {{"取消", 0}, {"拍照", 1}, {"相册", 2}}},
            // Empty titles make no button and the others keep their indexes.
            {false, "标题", "取消", std::nullopt, {"", "相册"}, {{"取消", 0}, {"相册", 2}}},
            {false, "标题", "", std::nullopt, {"确定"}, {{"确定", 1}}},
            {true, "选择", "取消", std::nullopt, {"拍照", "相册"}, {{"拍照", 1}, {"相册", 2}, {"取消", 0}}},
            {true,
             "选择",
             "取消",
             "删除",
             {"拍照", "相册"},
             {{"删除", 1}, {"拍照", 2}, {"相册", 3}, {"取消", 0}}},
            // An empty destructive title still makes its button; an empty other title makes none.
            {true, "", "取消", "", {"", "相册"}, {{"", 1}, {"相册", 3}, {"取消", 0}}}};
    for (const auto& [sheet, title, cancel, destructive, others, indexes] : rows) {
        for (const auto& [button, index] : indexes) {
            SCOPED_TRACE(title + "/" + cancel + ": " + button);
            auto delegate = std::make_shared<RecordingDelegate>();
            std::vector<std::string> calls{std::to_string(index)};  // only the first callback of a sheet
            if (sheet) {
                hud_->showActionSheetWithTitle(title, delegate, cancel, destructive, others, Value("u"));
                EXPECT_EQ(hud_->actionSheetView()->titleLabel() != nullptr, !title.empty());
                EXPECT_EQ(indexesOf(hud_->actionSheetView()->buttons()), indexes);
                advance(0.3);  // slid up: its bottom on the screen's bottom
                EXPECT_EQ(hud_->actionSheetView()->frame().maxY(), UIScreen::mainScreen().bounds().maxY());
            } else {
                hud_->showAlertWithTitle(title, "内容", delegate, 0, Value("info"), cancel, others);
                EXPECT_EQ(indexesOf(hud_->alertView()->buttons()), indexes);
                calls.push_back(std::to_string(index) + "+info:info");
            }
            auto dialog = dialogOf(*hud_);
            auto buttons = sheet ? hud_->actionSheetView()->buttons() : hud_->alertView()->buttons();
            ASSERT_TRUE(tapButton(button));
            // Nothing fades here, so the next touches of a quick double tap reach the buttons: no second
            // press.
            for (auto& other : buttons) other->sendActionsForControlEvents(UIControlEventTouchUpInside);
            EXPECT_EQ(delegate->calls, calls);
            EXPECT_EQ(hud_->state(), S::Idle);
            advance(0.3);
            EXPECT_FALSE(windowShown());
            EXPECT_EQ(dialog->superview(), nullptr);
        }
    }
}

TEST_F(HUDAlert, ADelegateMayShowTheNextThingFromItsCallback) {
    for (bool tip : {true, false}) {
        freshHUD();
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->onPress = [&](long) {
            tip ? hud_->showErrorTip("密码错误")
                : hud_->showAlertWithTitle("第二", "m", nullptr, 0, "好", {});
        };
        hud_->showAlertWithTitle("第一", "m", delegate, 0, "取消", {"确定"});
        ASSERT_TRUE(tapButton("确定"));
        const S state = tip ? S::Tip : S::Alert;
        advance(0.5);
        EXPECT_EQ(std::tuple(hud_->state(), windowShown(), showsOnly(state)), std::tuple(state, true, true));
        EXPECT_EQ(std::pair(UITree::findView("第一"), UITree::findView("第二") != nullptr),
                  std::pair(UIViewPtr(), !tip));
        advance(2);  // a tip ends, an alert stays
        EXPECT_EQ(hud_->state(), tip ? S::Idle : S::Alert);
    }
}

TEST_F(HUDAlert, DelegatesAreHeldWeaklyAndASheetsUserInfoVariantGetsItsUserInfo) {
    auto delegate = std::make_shared<RecordingDelegate>();
    hud_->showAlertWithTitle("t", "m", delegate, 0, "取消", {});
    std::weak_ptr<RecordingDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    ASSERT_TRUE(tapButton("取消"));
    auto infoOnly = std::make_shared<UserInfoSheetDelegate>();
    hud_->showActionSheetWithTitle("", infoOnly, "取消", std::nullopt, {"拍照"}, Value("照片"));
    ASSERT_TRUE(tapButton("拍照"));
    EXPECT_EQ(infoOnly->calls, std::vector<std::string>{"1+info:照片"});
}

TEST_F(HUDAlert, ASheetDismissedWhileSlidingUpStaysDown) {
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

// A mended fault in both dialogs.
TEST_F(HUDAlert, ATapOutsideAnswersCancelOnlyWhenThereIsNoButton) {
    // A sheet (else an alert), with buttons or without, and the delegate's calls after a tap on the dimmed
    // area.
    const std::tuple<bool, bool, std::vector<std::string>> rows[] = {
        {false, false, {"0", "0+info:<null>"}}, {false, true, {}}, {true, false, {"0"}}, {true, true, {}}};
    for (const auto& [sheet, buttons, calls] : rows) {
        freshHUD();
        auto delegate = std::make_shared<RecordingDelegate>();
        const std::string cancel = buttons ? "取消" : "", other = buttons ? "确定" : "";
        if (sheet) {
            hud_->showActionSheetWithTitle("只有标题", delegate, cancel, std::nullopt, {other});
        } else {
            hud_->showAlertWithTitle("t", "m", delegate, 0, cancel, {other});
        }
        advance(0.3);
        tapMask(*hud_);
        EXPECT_EQ(delegate->calls, calls) << sheet << buttons;
        advance(0.3);
        EXPECT_EQ(std::pair(windowShown(), hud_->state()),
                  std::pair(buttons, buttons ? (sheet ? S::ActionSheet : S::Alert) : S::Idle));
    }
}

TEST_F(HUDAlert, EditingRaisesTheAlertAndTheDelegateReadsTheTypedText) {
    struct Reader : THProgressHUDAlertViewDelegate {
        std::string typed;
        void alertView(const std::shared_ptr<THProgressHUDAlertView>& a, long) override {
            typed = a->plainTextInput()->text() + "/" + a->secureTextInput()->text();
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
    EXPECT_EQ(delegate->typed, "13800000000/秘密");
}
