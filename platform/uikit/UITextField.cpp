#include "platform/uikit/UITextField.h"

#include <algorithm>

#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIPasteboard.h"

namespace {

constexpr CGFloat kClearButtonSize = 19;
constexpr CGFloat kClearButtonMargin = 6;

// Start of the character containing UTF-16 position `index` (a position between the halves of a pair
// moves back to the pair's start).
size_t characterStart(const std::string& text, size_t index) {
    if (index == 0 || TextUtil::utf8Offset(text, index)) return index;
    return index - 1;
}

}  // namespace

UITextField::UITextField(CGRect frame) : UIControl(frame) {
    font_ = UIFont::systemFontOfSize(17);
    textColor_ = UIColor::blackColor();
}

std::shared_ptr<UITextField> UITextField::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UITextField>(new UITextField(frame));
}

void UITextField::setText(std::string text) {
    text_ = std::move(text);
    size_t end = TextUtil::utf16Length(text_);
    selection_ = {end, 0};
    caretByte_ = text_.size();
    updateAccessoryViews();
}

void UITextField::setFont(UIFontPtr font) {
    font_ = font ? std::move(font) : UIFont::systemFontOfSize(17);
}

void UITextField::setSelectedRange(NSRange range) {
    size_t length = TextUtil::utf16Length(text_);
    size_t start = characterStart(text_, std::min(range.location, length));
    size_t end = characterStart(text_, std::min(range.location + std::min(range.length, length), length));
    selection_ = {start, std::max(start, end) - start};
    caretByte_.reset();
}

// ---- accessory views ----

bool UITextField::shows(UITextFieldViewMode mode) const {
    switch (mode) {
        case UITextFieldViewMode::Never:
            return false;
        case UITextFieldViewMode::WhileEditing:
            return editing_;
        case UITextFieldViewMode::UnlessEditing:
            return !editing_;
        case UITextFieldViewMode::Always:
            return true;
    }
    return false;
}

void UITextField::setClearButtonMode(UITextFieldViewMode mode) {
    clearButtonMode_ = mode;
    updateAccessoryViews();
}

void UITextField::setLeftView(const std::shared_ptr<UIView>& view) {
    if (leftView_ && leftView_->superview().get() == this) leftView_->removeFromSuperview();
    leftView_ = view;
    updateAccessoryViews();
}

void UITextField::setLeftViewMode(UITextFieldViewMode mode) {
    leftViewMode_ = mode;
    updateAccessoryViews();
}

void UITextField::setRightView(const std::shared_ptr<UIView>& view) {
    if (rightView_ && rightView_->superview().get() == this) rightView_->removeFromSuperview();
    rightView_ = view;
    updateAccessoryViews();
}

void UITextField::setRightViewMode(UITextFieldViewMode mode) {
    rightViewMode_ = mode;
    updateAccessoryViews();
}

std::shared_ptr<UIButton> UITextField::visibleClearButton() const {
    return clearButton_ && clearButton_->superview().get() == this ? clearButton_ : nullptr;
}

void UITextField::updateAccessoryViews() {
    auto place = [this](const std::shared_ptr<UIView>& view, bool show) {
        if (!view) return;
        bool attached = view->superview().get() == this;
        if (show && !attached) addSubview(view);
        if (!show && attached) view->removeFromSuperview();
    };
    place(leftView_, shows(leftViewMode_));
    place(rightView_, shows(rightViewMode_));
    bool clearShows = shows(clearButtonMode_) && !text_.empty();
    if (clearShows && !clearButton_) {
        clearButton_ = UIButton::buttonWithType(UIButtonType::Custom);
        clearButton_->setAccessibilityLabel("Clear text");
        std::weak_ptr<UITextField> weak = self<UITextField>();
        clearButton_->addAction(
            [weak](UIControl&) {
                if (auto field = weak.lock()) field->clearText();
            },
            UIControlEventTouchUpInside);
    }
    place(clearButton_, clearShows);
    setNeedsLayout();
}

void UITextField::layoutSubviews() {
    CGSize size = bounds().size;
    CGFloat right = size.width;
    if (leftView_ && leftView_->superview().get() == this) {
        CGSize s = leftView_->frame().size;
        leftView_->setFrame(CGRectMake(0, (size.height - s.height) / 2, s.width, s.height));
    }
    if (rightView_ && rightView_->superview().get() == this) {
        CGSize s = rightView_->frame().size;
        right -= s.width;
        rightView_->setFrame(CGRectMake(right, (size.height - s.height) / 2, s.width, s.height));
    }
    if (auto clear = visibleClearButton()) {
        clear->setFrame(CGRectMake(right - kClearButtonMargin - kClearButtonSize,
                                   (size.height - kClearButtonSize) / 2, kClearButtonSize, kClearButtonSize));
    }
}

// ---- first responder ----

bool UITextField::canBecomeFirstResponder() const {
    return isEnabled() && window() != nullptr;
}

bool UITextField::becomeFirstResponder() {
    UIAssertMainThread();
    if (isFirstResponder()) return true;
    if (!canBecomeFirstResponder()) return false;
    auto keepAlive = self<UITextField>();
    if (auto d = delegate(); d && !d->textFieldShouldBeginEditing(*this)) return false;
    bool became;
    {
        UIKeyboard::HandOver keepKeyboardUp;
        became = UIResponder::becomeFirstResponder();
    }
    if (!became) return false;
    editing_ = true;
    size_t end = TextUtil::utf16Length(text_);
    selection_ = {end, 0};
    caretByte_ = text_.size();
    updateAccessoryViews();
    NSNotificationCenter::defaultCenter().post(UITextFieldTextDidBeginEditingNotification, keepAlive);
    if (auto d = delegate()) d->textFieldDidBeginEditing(*this);
    sendActionsForControlEvents(UIControlEventEditingDidBegin);
    // Listeners may have ended the editing already.
    if (isFirstResponder()) UIKeyboard::show(keyboardType_);
    return true;
}

bool UITextField::resignFirstResponder() {
    UIAssertMainThread();
    if (!isFirstResponder()) {
        editing_ = false;
        return true;
    }
    auto keepAlive = self<UITextField>();
    // A field taken out of its window is not asked.
    if (window()) {
        if (auto d = delegate(); d && !d->textFieldShouldEndEditing(*this)) return false;
    }
    UIResponder::resignFirstResponder();
    editing_ = false;
    updateAccessoryViews();
    UIKeyboard::willHide();
    if (auto d = delegate()) d->textFieldDidEndEditing(*this);
    NSNotificationCenter::defaultCenter().post(UITextFieldTextDidEndEditingNotification, keepAlive);
    sendActionsForControlEvents(UIControlEventEditingDidEnd);
    UIKeyboard::didHide();
    return true;
}

void UITextField::touchesEnded(const UITouch& touch) {
    auto me = self<UITextField>();
    bool inside = touch.isInside(me);
    UIControl::touchesEnded(touch);
    if (inside && isEnabled()) becomeFirstResponder();
}

// ---- edits ----

std::optional<std::pair<size_t, size_t>> UITextField::byteRange(NSRange range) const {
    // Typing at the caret finds its place from the caret's byte offset: a long run of keys walks the text
    // once, not once a key.
    if (caretByte_ && selection_.length == 0 && range == NSRange{selection_.location, 0})
        return std::pair(*caretByte_, *caretByte_);
    if (range.length > SIZE_MAX - range.location) return std::nullopt;
    auto begin = TextUtil::utf8Offset(text_, range.location);
    auto end = TextUtil::utf8Offset(text_, range.location + range.length);
    if (!begin || !end) return std::nullopt;
    return std::pair(*begin, *end);
}

bool UITextField::replace(NSRange range, const std::string& replacement) {
    auto keepAlive = self<UITextField>();
    if (!byteRange(range)) return false;
    if (auto d = delegate(); d && !d->shouldChangeCharactersInRange(*this, range, replacement)) return false;
    // The delegate may have changed the text itself; the range must still fit.
    auto bytes = byteRange(range);
    if (!bytes) return false;
    text_.replace(bytes->first, bytes->second - bytes->first, replacement);
    selection_ = {range.location + TextUtil::utf16Length(replacement), 0};
    caretByte_ = bytes->first + replacement.size();
    textChanged();
    return true;
}

void UITextField::textChanged() {
    auto keepAlive = self<UITextField>();
    updateAccessoryViews();
    sendActionsForControlEvents(UIControlEventEditingChanged);
    NSNotificationCenter::defaultCenter().post(UITextFieldTextDidChangeNotification, keepAlive);
}

void UITextField::insertText(const std::string& text) {
    UIAssertMainThread();
    if (text == "\n") return pressReturn();
    if (text.empty()) return;
    replace(selection_, text);
}

void UITextField::deleteBackward() {
    UIAssertMainThread();
    NSRange range = selection_;
    if (range.length == 0) {
        if (range.location == 0) return;
        size_t start = characterStart(text_, range.location - 1);
        range = {start, range.location - start};
    }
    replace(range, "");
}

void UITextField::paste() {
    UIAssertMainThread();
    auto text = UIPasteboard::generalPasteboard().string();
    if (!text || text->empty()) return;
    replace(selection_, *text);
}

void UITextField::clearText() {
    UIAssertMainThread();
    auto keepAlive = self<UITextField>();
    if (!editing_ && !becomeFirstResponder()) return;
    if (auto d = delegate(); d && !d->textFieldShouldClear(*this)) return;
    if (text_.empty()) return;
    text_.clear();
    selection_ = {0, 0};
    caretByte_ = 0;
    textChanged();
}

void UITextField::pressReturn() {
    auto keepAlive = self<UITextField>();
    if (auto d = delegate(); d && !d->textFieldShouldReturn(*this)) return;
    if (!(allControlEvents() & UIControlEventEditingDidEndOnExit)) return;
    sendActionsForControlEvents(UIControlEventEditingDidEndOnExit);
    resignFirstResponder();
}

// ---- what shows ----

std::string UITextField::displayedText() const {
    if (text_.empty()) return placeholder_;
    if (!secure_) return text_;
    std::string bullets;
    for (size_t i = 0, n = TextUtil::utf16Length(text_); i < n; ++i) bullets += "\u2022";
    return bullets;
}

std::string UITextField::dumpDetails() const {
    std::string details;
    if (!text_.empty())
        details += " text=" + UIDumpQuoted(displayedText());
    else if (!placeholder_.empty())
        details += " placeholder=" + UIDumpQuoted(placeholder_);
    if (secure_) details += " secure";
    if (editing_) details += " editing";
    return details;
}
