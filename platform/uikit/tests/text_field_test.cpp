#include "UITestFixture.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/uikit/UITextField.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Records delegate calls and notifications in one log; answers as told.
struct FieldRecorder : UITextFieldDelegate {
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    bool begin = true, end = true, clear = true, ret = true;
    size_t maxLength = 1000;  // refuse changes once the text is longer than this (as the sign-in screen does)

    bool textFieldShouldBeginEditing(UITextField&) override {
        (*log)("shouldBegin");
        return begin;
    }
    void textFieldDidBeginEditing(UITextField&) override { (*log)("didBegin"); }
    bool textFieldShouldEndEditing(UITextField&) override {
        (*log)("shouldEnd");
        return end;
    }
    void textFieldDidEndEditing(UITextField&) override { (*log)("didEnd"); }
    bool textFieldShouldClear(UITextField&) override {
        (*log)("shouldClear");
        return clear;
    }
    bool textFieldShouldReturn(UITextField&) override {
        (*log)("shouldReturn");
        return ret;
    }
    bool shouldChangeCharactersInRange(UITextField& f, NSRange r, const std::string& s) override {
        (*log)("change {" + std::to_string(r.location) + ", " + std::to_string(r.length) + "} \"" + s + "\"");
        return s.empty() || TextUtil::utf16Length(f.text()) <= maxLength;
    }
};

class TextFieldTest : public UITest {
  protected:
    void SetUp() override {
        UIKeyboard::resetForTesting();
        window_ = UIWindow::create(CGRectMake(0, 0, 375, 667));
        window_->makeKeyAndVisible();
        field_ = UITextField::create(CGRectMake(20, 100, 300, 48));
        field_->setPlaceholder("Phone");
        window_->addSubview(field_);
        delegate_ = std::make_shared<FieldRecorder>();
        field_->setDelegate(delegate_);
        auto& center = NSNotificationCenter::defaultCenter();
        for (const char* name :
             {UITextFieldTextDidBeginEditingNotification, UITextFieldTextDidEndEditingNotification,
              UITextFieldTextDidChangeNotification, UIKeyboardWillShowNotification,
              UIKeyboardDidShowNotification, UIKeyboardWillHideNotification, UIKeyboardDidHideNotification}) {
            tokens_.push_back(center.addObserver(name, nullptr, nullptr, [this](const NSNotification& n) {
                std::string shortName = n.name;
                for (const char* prefix : {"UITextFieldText", "UIKeyboard"}) {
                    if (shortName.rfind(prefix, 0) == 0)
                        shortName = shortName.substr(std::string(prefix).size());
                }
                (*delegate_->log)(shortName.substr(0, shortName.size() - std::string("Notification").size()));
                if (n.name.rfind("UIKeyboard", 0) == 0) keyboardInfo_.push_back(n.userInfo);
            }));
        }
        field_->addAction([log = delegate_->log](UIControl&) { (*log)("editingChanged"); },
                          UIControlEventEditingChanged);
    }
    void TearDown() override {
        for (auto t : tokens_) NSNotificationCenter::defaultCenter().removeObserver(t);
        if (auto r = UIResponder::firstResponder()) r->resignFirstResponder();
        UIKeyboard::resetForTesting();
        UIPasteboard::generalPasteboard().setString(std::nullopt);
    }
    std::vector<std::string> take() { return delegate_->log->take(); }

    UIWindowPtr window_;
    UITextFieldPtr field_;
    std::shared_ptr<FieldRecorder> delegate_;
    std::vector<NSNotificationCenter::Token> tokens_;
    std::vector<Value::Dictionary> keyboardInfo_;
};

using Log = std::vector<std::string>;

TEST_F(TextFieldTest, BeginAndEndEditingCallAndNotifyInTheDocumentedOrder) {
    ASSERT_TRUE(field_->becomeFirstResponder());
    EXPECT_EQ(take(), (Log{"shouldBegin", "DidBeginEditing", "didBegin", "WillShow", "DidShow"}));
    EXPECT_TRUE(field_->isFirstResponder());
    EXPECT_TRUE(field_->isEditing());
    EXPECT_TRUE(UIKeyboard::isVisible());
    EXPECT_TRUE(field_->becomeFirstResponder());  // already: nothing more
    EXPECT_TRUE(take().empty());

    ASSERT_TRUE(field_->resignFirstResponder());
    EXPECT_EQ(take(), (Log{"shouldEnd", "WillHide", "didEnd", "DidEndEditing", "DidHide"}));
    EXPECT_FALSE(field_->isEditing());
    EXPECT_FALSE(UIKeyboard::isVisible());

    ASSERT_EQ(keyboardInfo_.size(), 4u);
    const auto& willShow = keyboardInfo_[0];
    EXPECT_EQ(willShow.at(UIKeyboardFrameBeginUserInfoKey).stringValue(), "{{0, 667}, {375, 216}}");
    EXPECT_EQ(willShow.at(UIKeyboardFrameEndUserInfoKey).stringValue(), "{{0, 451}, {375, 216}}");
    EXPECT_EQ(willShow.at(UIKeyboardAnimationDurationUserInfoKey), Value(0.25));
    EXPECT_EQ(willShow.at(UIKeyboardAnimationCurveUserInfoKey), Value(7));
    EXPECT_EQ(keyboardInfo_[2].at(UIKeyboardFrameEndUserInfoKey).stringValue(), "{{0, 667}, {375, 216}}");
}

TEST_F(TextFieldTest, TheDelegateCanRefuseBeginningAndEnding) {
    delegate_->begin = false;
    EXPECT_FALSE(field_->becomeFirstResponder());
    EXPECT_EQ(take(), (Log{"shouldBegin"}));
    EXPECT_FALSE(UIKeyboard::isVisible());

    delegate_->begin = true;
    field_->becomeFirstResponder();
    take();
    delegate_->end = false;
    EXPECT_FALSE(field_->resignFirstResponder());
    EXPECT_TRUE(field_->isFirstResponder());
    EXPECT_EQ(take(), (Log{"shouldEnd"}));
    // Another field cannot take over while this one refuses to end.
    auto other = UITextField::create(CGRectMake(20, 200, 300, 48));
    window_->addSubview(other);
    EXPECT_FALSE(other->becomeFirstResponder());
    EXPECT_TRUE(field_->isFirstResponder());

    // Taken out of its window, the field ends editing without being asked.
    take();
    field_->removeFromSuperview();
    EXPECT_FALSE(field_->isFirstResponder());
    EXPECT_EQ(take(), (Log{"WillHide", "didEnd", "DidEndEditing", "DidHide"}));
    // A field in no window cannot edit.
    EXPECT_FALSE(field_->becomeFirstResponder());
}

TEST_F(TextFieldTest, PassingEditingToAnotherFieldKeepsTheKeyboardUp) {
    auto other = UITextField::create(CGRectMake(20, 200, 300, 48));
    other->setKeyboardType(UIKeyboardType::NumberPad);
    window_->addSubview(other);
    field_->becomeFirstResponder();
    take();
    keyboardInfo_.clear();
    ASSERT_TRUE(other->becomeFirstResponder());
    EXPECT_EQ(take(),
              (Log{"shouldEnd", "didEnd", "DidEndEditing", "DidBeginEditing", "WillShow", "DidShow"}));
    EXPECT_TRUE(UIKeyboard::isVisible());
    EXPECT_EQ(UIKeyboard::keyboardType(), UIKeyboardType::NumberPad);
    ASSERT_EQ(keyboardInfo_.size(), 2u);
    EXPECT_EQ(keyboardInfo_[0].at(UIKeyboardFrameBeginUserInfoKey),
              keyboardInfo_[0].at(UIKeyboardFrameEndUserInfoKey));
    EXPECT_EQ(UIResponder::firstResponder(), other);
}

TEST_F(TextFieldTest, EditsOfferUTF16RangesForTypingDeletingAndPasting) {
    field_->becomeFirstResponder();
    take();
    ASSERT_TRUE(
        UIKeyboard::typeText("a\xF0\x9F\x98\x80"
                             "b"));  // a, U+1F600 (two units), b
    EXPECT_EQ(take(),
              (Log{"change {0, 0} \"a\"", "editingChanged", "DidChange", "change {1, 0} \"\xF0\x9F\x98\x80\"",
                   "editingChanged", "DidChange", "change {3, 0} \"b\"", "editingChanged", "DidChange"}));
    EXPECT_EQ(field_->selectedRange(), (NSRange{4, 0}));

    UIKeyboard::pressDelete();  // b
    UIKeyboard::pressDelete();  // the whole pair, never half of it
    EXPECT_EQ(take(), (Log{"change {3, 1} \"\"", "editingChanged", "DidChange", "change {1, 2} \"\"",
                           "editingChanged", "DidChange"}));
    EXPECT_EQ(field_->text(), "a");

    UIPasteboard::generalPasteboard().setString("\xE4\xBD\xA0\xF0\x9F\x98\x80");  // 你 + U+1F600: three units
    field_->setSelectedRange({0, 0});
    ASSERT_TRUE(UIKeyboard::paste());
    EXPECT_EQ(take(), (Log{"change {0, 0} \"\xE4\xBD\xA0\xF0\x9F\x98\x80\"", "editingChanged", "DidChange"}));
    EXPECT_EQ(field_->text(),
              "\xE4\xBD\xA0\xF0\x9F\x98\x80"
              "a");
    EXPECT_EQ(field_->selectedRange(), (NSRange{3, 0}));

    // A selection is replaced as a whole; a position inside the pair moves to its start.
    field_->setSelectedRange({2, 2});
    EXPECT_EQ(field_->selectedRange(), (NSRange{1, 3}));
    UIKeyboard::typeText("x");
    EXPECT_EQ(take(), (Log{"change {1, 3} \"x\"", "editingChanged", "DidChange"}));
    EXPECT_EQ(field_->text(), "\xE4\xBD\xA0x");

    // Nothing before the caret: no change is offered.
    field_->setSelectedRange({0, 0});
    UIKeyboard::pressDelete();
    EXPECT_TRUE(take().empty());
    // An empty pasteboard pastes nothing.
    UIPasteboard::generalPasteboard().setString(std::nullopt);
    field_->paste();
    EXPECT_TRUE(take().empty());
}

TEST_F(TextFieldTest, ALongRunOfKeysTypesEveryCharacterInOrder) {
    // Each key costs the same however much is typed before it: a run this long would take minutes if
    // each walked the text from its start.
    field_->setDelegate({});
    field_->setText("\xE4\xBD\xA0");
    ASSERT_TRUE(field_->becomeFirstResponder());
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "a\xE4\xBD\xA0\xF0\x9F\x98\x80";  // a, 你, U+1F600
    text += "\xFF";  // a byte that is no UTF-8 is a key of its own
    ASSERT_TRUE(UIKeyboard::typeText(text));
    EXPECT_EQ(field_->text(), "\xE4\xBD\xA0" + text);
    EXPECT_EQ(field_->selectedRange(), (NSRange{1 + 20000 * 4 + 1, 0}));
    // Typing goes on at a caret moved by hand.
    field_->setSelectedRange({1, 0});
    UIKeyboard::typeText("b");
    EXPECT_EQ(field_->text().substr(0, 5),
              "\xE4\xBD\xA0"
              "ba");
}

TEST_F(TextFieldTest, ARefusedChangeKeepsTheTextAndTellsNobody) {
    delegate_->maxLength = 2;  // refuse once more than two units are there
    field_->becomeFirstResponder();
    UIKeyboard::typeText("12345");
    EXPECT_EQ(field_->text(), "123");
    take();
    UIKeyboard::typeText("4");
    EXPECT_EQ(take(), (Log{"change {3, 0} \"4\""}));
    EXPECT_EQ(field_->text(), "123");
    UIKeyboard::pressDelete();  // deleting is always allowed
    EXPECT_EQ(field_->text(), "12");
    // A long paste into a short field is judged on the length before the change: accepted whole.
    UIPasteboard::generalPasteboard().setString("3456789");
    field_->paste();
    EXPECT_EQ(field_->text(), "123456789");
    // Code sets the text without asking anyone.
    take();
    field_->setText("0");
    EXPECT_TRUE(take().empty());
}

TEST_F(TextFieldTest, ReturnAndClearAskTheDelegate) {
    field_->setClearButtonMode(UITextFieldViewMode::WhileEditing);
    field_->setText("abc");
    EXPECT_EQ(field_->visibleClearButton(), nullptr);  // not editing yet
    field_->becomeFirstResponder();
    ASSERT_NE(field_->visibleClearButton(), nullptr);
    take();

    delegate_->clear = false;
    ASSERT_TRUE(UITree::tap(field_->visibleClearButton()));
    EXPECT_EQ(take(), (Log{"shouldClear"}));
    EXPECT_EQ(field_->text(), "abc");
    delegate_->clear = true;
    UITree::tap(field_->visibleClearButton());
    EXPECT_EQ(take(), (Log{"shouldClear", "editingChanged", "DidChange"}));
    EXPECT_EQ(field_->text(), "");
    EXPECT_EQ(field_->visibleClearButton(), nullptr);  // nothing left to clear

    // Return: asked, never typed; editing ends only when someone listens for the on-exit event.
    UIKeyboard::pressReturn();
    EXPECT_EQ(take(), (Log{"shouldReturn"}));
    EXPECT_TRUE(field_->isEditing());
    field_->addAction([](UIControl&) {}, UIControlEventEditingDidEndOnExit);
    delegate_->ret = false;
    UIKeyboard::pressReturn();
    EXPECT_TRUE(field_->isEditing());
    delegate_->ret = true;
    UIKeyboard::pressReturn();
    EXPECT_FALSE(field_->isEditing());
    EXPECT_EQ(field_->text(), "");
    EXPECT_FALSE(UIKeyboard::typeText("x"));  // no first responder any more
}

TEST_F(TextFieldTest, SideViewsFollowTheirModesAndATapStartsEditing) {
    auto left = UIView::create(CGRectMake(0, 0, 80, 48));
    auto right = UIView::create(CGRectMake(0, 0, 80, 48));
    field_->setLeftView(left);
    field_->setLeftViewMode(UITextFieldViewMode::Always);
    field_->setRightView(right);
    field_->setRightViewMode(UITextFieldViewMode::UnlessEditing);
    window_->layoutIfNeeded();
    EXPECT_EQ(left->superview(), field_);
    EXPECT_EQ(right->frame(), CGRectMake(220, 0, 80, 48));

    // A tap on the placeholder (the left view passes the touch up to the field) starts editing.
    ASSERT_TRUE(UITree::tapText("Phone"));
    EXPECT_TRUE(field_->isEditing());
    EXPECT_EQ(right->superview(), nullptr);
    field_->setSecureTextEntry(true);
    UIKeyboard::typeText("pw");
    EXPECT_EQ(field_->dumpLine(),
              "UITextField frame={{20, 100}, {300, 48}} text=\"\xE2\x80\xA2\xE2\x80\xA2\" secure editing");
    EXPECT_EQ(field_->text(), "pw");
}

}  // namespace
