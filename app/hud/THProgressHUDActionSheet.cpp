#include "app/hud/THProgressHUDActionSheet.h"

#include "app/hud/THAutolayout.h"
#include "app/hud/THProgressHUD.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr CGFloat kButtonHeight = 44;
constexpr double kSlideDuration = 0.3;

UIColorPtr sheetBackground() {
    return UIColor::colorWithRed(230 / 255.0, 230 / 255.0, 230 / 255.0, 1);
}
UIColorPtr darkGray() {
    return UIColor::colorWithRed(83 / 255.0, 83 / 255.0, 83 / 255.0, 1);
}

}  // namespace

void THProgressHUDActionSheetDelegate::actionSheetView(
    const std::shared_ptr<THProgressHUDActionSheet>& actionSheet, long buttonIndex) {
    actionSheetView(actionSheet, buttonIndex, actionSheet ? actionSheet->userInfo() : Value());
}

std::shared_ptr<THProgressHUDActionSheet> THProgressHUDActionSheet::create(
    const std::string& title, const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
    const std::string& cancelButtonTitle, const std::optional<std::string>& destructiveButtonTitle,
    const std::vector<std::string>& otherButtonTitles, Value userInfo) {
    UIAssertMainThread();
    auto sheet = std::shared_ptr<THProgressHUDActionSheet>(new THProgressHUDActionSheet());
    sheet->delegate_ = delegate;
    sheet->userInfo_ = std::move(userInfo);
    sheet->build(title, cancelButtonTitle, destructiveButtonTitle, otherButtonTitles);
    return sheet;
}

void THProgressHUDActionSheet::build(const std::string& title, const std::string& cancelTitle,
                                     const std::optional<std::string>& destructiveTitle,
                                     const std::vector<std::string>& otherTitles) {
    auto self = this->self<UIView>();
    width_ = UIScreen::mainScreen().bounds().size.width;
    setAlpha(0.93);
    THAutolayout::addConstraint(self, NSLayoutAttribute::Width, width_);
    setBackgroundColor(sheetBackground());
    layer().cornerRadius = 5;
    setClipsToBounds(true);

    if (!title.empty()) {
        titleLabel_ = UILabel::create();
        titleLabel_->setTextColor(darkGray());
        titleLabel_->setText(title);
        titleLabel_->setNumberOfLines(0);
        titleLabel_->setFont(UIFont::systemFontOfSize(12));
        titleLabel_->setBackgroundColor(UIColor::whiteColor());
        titleLabel_->setTextAlignment(NSTextAlignment::Center);
        titleLabel_->setPreferredMaxLayoutWidth(width_ - 40);
        addSubview(titleLabel_);
        THAutolayout::addConstraint(titleLabel_, NSLayoutAttribute::Top, self, 12);
        THAutolayout::addConstraint(titleLabel_, NSLayoutAttribute::CenterX, self, 0);
        THAutolayout::addConstraint(titleLabel_, NSLayoutAttribute::Width, width_ - 40);

        titleBackdrop_ = UIView::create();
        titleBackdrop_->setBackgroundColor(UIColor::whiteColor());
        insertSubview(titleBackdrop_, 0);
        THAutolayout::addConstraint(titleBackdrop_, NSLayoutAttribute::Left, self, 0);
        THAutolayout::addConstraint(titleBackdrop_, NSLayoutAttribute::Top, self, 0);
        THAutolayout::addConstraint(titleBackdrop_, NSLayoutAttribute::Right, self, 0);
        THAutolayout::addConstraint(titleBackdrop_, NSLayoutAttribute::Bottom, titleLabel_, 12);
    }

    // An empty other or cancel title makes no button, the others keep their indexes; a destructive title,
    // even an empty one, makes its button (only a missing one makes none).
    long first = 1;
    if (destructiveTitle) {
        addButton(*destructiveTitle, 1, UIColor::blackColor(), 0.5, 12.5);
        first = 2;
    }
    for (size_t i = 0; i < otherTitles.size(); ++i) {
        if (!otherTitles[i].empty()) {
            addButton(otherTitles[i], first + static_cast<long>(i), UIColor::grayColor(), 0.5, 12.5);
        }
    }
    if (!cancelTitle.empty()) addButton(cancelTitle, 0, UIColor::redColor(), 10, 10);

    UIViewPtr last = buttons_.empty() ? UIViewPtr(titleLabel_) : UIViewPtr(buttons_.back());
    if (last) {
        UIView::addConstraint(NSLayoutConstraint::constraintWithItem(
            self, NSLayoutAttribute::Bottom, NSLayoutRelation::Equal, last, NSLayoutAttribute::Bottom, 1, 0));
    }
    setNeedsLayout();
    layoutIfNeeded();
}

// The space above a button: `gapAfterButton` below another button, `gapAfterTitle` below the title, none at
// the top of the sheet.
void THProgressHUDActionSheet::addButton(const std::string& title, long index, UIColorPtr titleColor,
                                         CGFloat gapAfterButton, CGFloat gapAfterTitle) {
    auto self = this->self<UIView>();
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setTitle(title, UIControlStateNormal);
    button->setTitleColor(std::move(titleColor), UIControlStateNormal);
    button->titleLabel()->setFont(UIFont::systemFontOfSize(16));
    button->setBackgroundColor(UIColor::whiteColor());
    button->setTag(index);
    std::weak_ptr<THProgressHUDActionSheet> weak = this->self<THProgressHUDActionSheet>();
    button->addTarget(
        weak,
        [weak](UIControl& sender) {
            if (auto sheet = weak.lock())
                sheet->actionSheetViewDidClickedButtonAtIndex(static_cast<UIButton&>(sender));
        },
        UIControlEventTouchUpInside);
    addSubview(button);

    CGFloat gap = gapAfterButton;
    if (!buttons_.empty()) {
        THAutolayout::addConstraint(button, NSLayoutAttribute::Top, buttons_.back(),
                                    NSLayoutAttribute::Bottom, gap);
    } else if (titleLabel_) {
        gap = gapAfterTitle;
        THAutolayout::addConstraint(button, NSLayoutAttribute::Top, titleLabel_, NSLayoutAttribute::Bottom,
                                    gap);
    } else {
        gap = 0;
        THAutolayout::addConstraint(button, NSLayoutAttribute::Top, self, 0);
    }
    THAutolayout::addConstraint(button, NSLayoutAttribute::Width, width_);
    THAutolayout::addConstraint(button, NSLayoutAttribute::CenterX, self, 0);
    THAutolayout::addConstraint(button, NSLayoutAttribute::Height, kButtonHeight);
    buttons_.push_back(button);
    gaps_.push_back(gap);
}

void THProgressHUDActionSheet::actionSheetViewDidClickedButtonAtIndex(const UIButton& button) {
    clickButtonAtIndex(button.tag());
}

void THProgressHUDActionSheet::clickButtonAtIndex(long buttonIndex) {
    if (answered_) return;
    answered_ = true;
    auto self = this->self<THProgressHUDActionSheet>();  // alive through the callback
    if (auto delegate = delegate_.lock()) delegate->actionSheetView(self, buttonIndex);
    auto hud = THProgressHUD::shareInstancetype();
    if (hud->actionSheetView() == self) hud->dismissActionSheet();
}

void THProgressHUDActionSheet::animateLayout(std::function<void(bool)> completion) {
    std::weak_ptr<THProgressHUDActionSheet> weak = this->self<THProgressHUDActionSheet>();
    UIView::animateWithDuration(
        kSlideDuration,
        [weak] {
            if (auto sheet = weak.lock()) {
                sheet->setNeedsLayout();
                sheet->layoutIfNeeded();
            }
        },
        std::move(completion));
}

void THProgressHUDActionSheet::show() {
    up_ = true;
    if (centerY_) centerY_->setConstant(-frame().size.height);
    std::weak_ptr<THProgressHUDActionSheet> weak = this->self<THProgressHUDActionSheet>();
    animateLayout([weak](bool) {
        auto sheet = weak.lock();
        // A sheet hidden while it was still sliding up stays down.
        if (sheet && sheet->up_ && sheet->centerY_) sheet->centerY_->setConstant(-sheet->frame().size.height);
    });
}

void THProgressHUDActionSheet::hide() {
    up_ = false;
    if (centerY_) centerY_->setConstant(0);
    setNeedsLayout();
}

void THProgressHUDActionSheet::remove() {
    hide();
    std::weak_ptr<THProgressHUDActionSheet> weak = this->self<THProgressHUDActionSheet>();
    animateLayout([weak](bool) {
        if (auto sheet = weak.lock()) sheet->removeFromSuperview();
    });
}

void THProgressHUDActionSheet::didMoveToSuperview() {
    UIView::didMoveToSuperview();
    auto superview = this->superview();
    if (!superview) return;
    auto self = this->self<UIView>();
    THAutolayout::addConstraint(self, NSLayoutAttribute::CenterX, superview, 0);
    centerY_ = NSLayoutConstraint::constraintWithItem(self, NSLayoutAttribute::Top, NSLayoutRelation::Equal,
                                                      superview, NSLayoutAttribute::Bottom, 1, 0);
    superview->addConstraint(centerY_);
    setNeedsLayout();
    layoutIfNeeded();
}

void THProgressHUDActionSheet::layoutSubviews() {
    // What the recorded constraints say, placed by hand.
    CGFloat y = 0;
    if (titleLabel_) {
        CGSize title = titleLabel_->intrinsicContentSize();
        titleLabel_->setFrame(CGRectMake(20, 12, width_ - 40, title.height));
        titleBackdrop_->setFrame(CGRectMake(0, 0, width_, 12 + title.height + 12));
        y = 12 + title.height;
    }
    for (size_t i = 0; i < buttons_.size(); ++i) {
        y += gaps_[i];
        buttons_[i]->setFrame(CGRectMake(0, y, width_, kButtonHeight));
        y += kButtonHeight;
    }
    CGRect frame = CGRectMake(0, 0, width_, y);
    if (auto superview = this->superview()) {
        CGRect area = superview->bounds();
        CGFloat offset = centerY_ ? centerY_->constant() : 0;
        frame.origin = {area.midX() - width_ / 2, area.maxY() + offset};
    }
    if (frame != this->frame()) setFrame(frame);
}
