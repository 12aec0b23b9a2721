#include "platform/uikit/UIActionSheet.h"

#include "platform/foundation/Console.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr CGFloat kMargin = 8;
constexpr CGFloat kButtonHeight = 44;
constexpr CGFloat kCancelGap = 8;

}  // namespace

std::shared_ptr<UIActionSheet> UIActionSheet::create(std::string title,
                                                     std::weak_ptr<UIActionSheetDelegate> delegate,
                                                     std::optional<std::string> cancelButtonTitle,
                                                     std::optional<std::string> destructiveButtonTitle,
                                                     std::vector<std::string> otherButtonTitles) {
    UIAssertMainThread();
    auto sheet = std::shared_ptr<UIActionSheet>(new UIActionSheet());
    sheet->setBackgroundColor(UIColor::clearColor());
    sheet->title_ = std::move(title);
    sheet->delegate_ = std::move(delegate);
    sheet->titleLabel_ = UILabel::create();
    sheet->titleLabel_->setText(sheet->title_);
    sheet->titleLabel_->setFont(UIFont::systemFontOfSize(13));
    sheet->titleLabel_->setTextAlignment(NSTextAlignment::Center);
    sheet->titleLabel_->setNumberOfLines(0);
    sheet->titleLabel_->setBackgroundColor(UIColor::whiteColor());
    sheet->addSubview(sheet->titleLabel_);
    if (destructiveButtonTitle) {
        sheet->destructiveIndex_ = sheet->addButtonWithTitle(*destructiveButtonTitle);
        sheet->buttons_.back()->setTitleColor(UIColor::redColor(), UIControlStateNormal);
    }
    for (auto& other : otherButtonTitles) {
        long index = sheet->addButtonWithTitle(other);
        if (sheet->firstOtherIndex_ < 0) sheet->firstOtherIndex_ = index;
    }
    if (cancelButtonTitle) sheet->cancelIndex_ = sheet->addButtonWithTitle(*cancelButtonTitle);
    for (auto& button : sheet->buttons_) button->setBackgroundColor(UIColor::whiteColor());
    return sheet;
}

void UIActionSheet::showInView(const std::shared_ptr<UIView>& view) {
    UIAssertMainThread();
    if (!view || !view->window()) {
        NSLog("UIActionSheet: showInView needs a view in a window; the sheet is not shown.");
        return;
    }
    present();
}

void UIActionSheet::arrange() {
    CGRect area = superview() ? superview()->bounds() : CGRectMake(0, 0, 375, 667);
    CGFloat width = area.size.width - 2 * kMargin;
    CGFloat y = 0;
    if (!title_.empty()) {
        CGFloat h = titleLabel_->sizeThatFits({width - 2 * kMargin, 0}).height + 2 * 14;
        titleLabel_->setFrame(CGRectMake(0, 0, width, h));
        y = h;
    } else {
        titleLabel_->setFrame(CGRectMake(0, 0, width, 0));
    }
    for (long i = 0; i < numberOfButtons(); ++i) {
        if (i == cancelIndex_ && i > 0) y += kCancelGap;
        buttons_[size_t(i)]->setFrame(CGRectMake(0, y, width, kButtonHeight));
        y += kButtonHeight;
    }
    setFrame(CGRectMake(kMargin, area.size.height - kMargin - y, width, y));
}

void UIActionSheet::notifyClicked(long index) {
    if (auto d = delegate()) d->clickedButtonAtIndex(*this, index);
}

void UIActionSheet::notifyWillDismiss(long index) {
    if (auto d = delegate()) d->willDismissWithButtonIndex(*this, index);
}

void UIActionSheet::notifyDidDismiss(long index) {
    if (auto d = delegate()) d->didDismissWithButtonIndex(*this, index);
}
