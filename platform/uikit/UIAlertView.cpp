#include "platform/uikit/UIAlertView.h"

#include <algorithm>

#include "platform/foundation/Console.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr CGFloat kAlertWidth = 270;
constexpr CGFloat kPadding = 16;
constexpr CGFloat kFieldHeight = 30;
constexpr CGFloat kButtonHeight = 44;

}  // namespace

std::shared_ptr<UIAlertView> UIAlertView::create(std::string title, std::string message,
                                                 std::weak_ptr<UIAlertViewDelegate> delegate,
                                                 std::optional<std::string> cancelButtonTitle,
                                                 std::vector<std::string> otherButtonTitles) {
    UIAssertMainThread();
    auto alert = std::shared_ptr<UIAlertView>(new UIAlertView());
    alert->layer().cornerRadius = 7;
    alert->setClipsToBounds(true);
    alert->delegate_ = std::move(delegate);
    alert->titleLabel_ = UILabel::create();
    alert->titleLabel_->setFont(UIFont::boldSystemFontOfSize(17));
    alert->titleLabel_->setTextAlignment(NSTextAlignment::Center);
    alert->titleLabel_->setNumberOfLines(0);
    alert->messageLabel_ = UILabel::create();
    alert->messageLabel_->setFont(UIFont::systemFontOfSize(13));
    alert->messageLabel_->setTextAlignment(NSTextAlignment::Center);
    alert->messageLabel_->setNumberOfLines(0);
    alert->addSubview(alert->titleLabel_);
    alert->addSubview(alert->messageLabel_);
    alert->setTitle(std::move(title));
    alert->setMessage(std::move(message));
    if (cancelButtonTitle) alert->cancelIndex_ = alert->addButtonWithTitle(*cancelButtonTitle);
    for (auto& other : otherButtonTitles) alert->addButtonWithTitle(other);
    return alert;
}

void UIAlertView::setTitle(std::string title) {
    title_ = std::move(title);
    titleLabel_->setText(title_);
    setNeedsLayout();
}

void UIAlertView::setMessage(std::string message) {
    message_ = std::move(message);
    messageLabel_->setText(message_);
    setNeedsLayout();
}

long UIAlertView::firstOtherButtonIndex() const {
    long first = cancelIndex_ == 0 ? 1 : 0;
    return first < numberOfButtons() ? first : -1;
}

void UIAlertView::setAlertViewStyle(UIAlertViewStyle style) {
    style_ = style;
    for (auto& field : fields_) field->removeFromSuperview();
    fields_.clear();
    auto makeField = [this](bool secure, std::string placeholder) {
        auto field = UITextField::create(CGRectMake(0, 0, kAlertWidth - 2 * kPadding, kFieldHeight));
        field->setBorderStyle(UITextBorderStyle::Line);
        field->setSecureTextEntry(secure);
        field->setPlaceholder(std::move(placeholder));
        field->setFont(UIFont::systemFontOfSize(13));
        fields_.push_back(field);
        addSubview(field);
    };
    switch (style) {
        case UIAlertViewStyle::Default:
            break;
        case UIAlertViewStyle::SecureTextInput:
            makeField(true, "");
            break;
        case UIAlertViewStyle::PlainTextInput:
            makeField(false, "");
            break;
        case UIAlertViewStyle::LoginAndPasswordInput:
            makeField(false, "Login");
            makeField(true, "Password");
            break;
    }
    if (isVisible()) arrange();
}

UITextFieldPtr UIAlertView::textFieldAtIndex(long index) const {
    if (index < 0 || size_t(index) >= fields_.size()) {
        NSLog("UIAlertView: textFieldAtIndex " + std::to_string(index) +
              " is out of range for the alert's style.");
        return nullptr;
    }
    return fields_[size_t(index)];
}

void UIAlertView::show() {
    present();
}

void UIAlertView::didPresent() {
    if (!fields_.empty()) fields_.front()->becomeFirstResponder();
}

void UIAlertView::arrange() {
    CGFloat inner = kAlertWidth - 2 * kPadding;
    CGFloat y = kPadding + 4;
    for (auto& label : {titleLabel_, messageLabel_}) {
        if (label->text().empty()) {
            label->setFrame(CGRectMake(kPadding, y, inner, 0));
            continue;
        }
        CGSize size = label->sizeThatFits({inner, 0});
        label->setFrame(CGRectMake(kPadding, y, inner, size.height));
        y += size.height + 4;
    }
    y += kPadding - 4;
    for (auto& field : fields_) {
        field->setFrame(CGRectMake(kPadding, y, inner, kFieldHeight));
        y += kFieldHeight + 4;
    }
    if (!fields_.empty()) y += kPadding - 4;
    // Two buttons share a row; any other number makes a column.
    long count = numberOfButtons();
    if (count == 2) {
        buttons_[0]->setFrame(CGRectMake(0, y, kAlertWidth / 2, kButtonHeight));
        buttons_[1]->setFrame(CGRectMake(kAlertWidth / 2, y, kAlertWidth / 2, kButtonHeight));
        y += kButtonHeight;
    } else {
        for (auto& button : buttons_) {
            button->setFrame(CGRectMake(0, y, kAlertWidth, kButtonHeight));
            y += kButtonHeight;
        }
    }
    CGRect area = superview() ? superview()->bounds() : CGRectMake(0, 0, kAlertWidth, y);
    setFrame(CGRectMake((area.size.width - kAlertWidth) / 2, (area.size.height - y) / 2, kAlertWidth, y));
}

void UIAlertView::notifyClicked(long index) {
    if (auto d = delegate()) d->clickedButtonAtIndex(*this, index);
}

void UIAlertView::notifyWillDismiss(long index) {
    for (auto& field : fields_) {
        if (field->isFirstResponder()) field->resignFirstResponder();
    }
    if (auto d = delegate()) d->willDismissWithButtonIndex(*this, index);
}

void UIAlertView::notifyDidDismiss(long index) {
    if (auto d = delegate()) d->didDismissWithButtonIndex(*this, index);
}
