#include "app/hud/THProgressHUDAlertView.h"

#include "app/hud/THAutolayout.h"
#include "app/hud/THProgressHUD.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr CGFloat kWidth = 280;
constexpr CGFloat kButtonHeight = 44;
constexpr CGFloat kInputHeight = 40;

UIColorPtr lightGray() {
    return UIColor::colorWithRed(220 / 255.0, 220 / 255.0, 220 / 255.0, 1);
}
UIColorPtr darkGray() {
    return UIColor::colorWithRed(83 / 255.0, 83 / 255.0, 83 / 255.0, 1);
}

}  // namespace

std::shared_ptr<THProgressHUDAlertView> THProgressHUDAlertView::create(
    const std::string& title, const std::string& message,
    const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate, long alertViewStyle,
    const std::string& cancelButtonTitle, const std::vector<std::string>& otherButtonTitles) {
    UIAssertMainThread();
    auto alert = std::shared_ptr<THProgressHUDAlertView>(new THProgressHUDAlertView());
    alert->delegate_ = delegate;
    alert->build(title, message, alertViewStyle, cancelButtonTitle, otherButtonTitles);
    return alert;
}

std::shared_ptr<UIView> THProgressHUDAlertView::makeDivider() {
    auto divider = UIView::create();
    divider->setBackgroundColor(lightGray());
    addSubview(divider);
    return divider;
}

void THProgressHUDAlertView::build(const std::string& title, const std::string& message, long style,
                                   const std::string& cancelTitle,
                                   const std::vector<std::string>& otherTitles) {
    auto self = this->self<UIView>();
    layer().cornerRadius = 5;
    setBackgroundColor(UIColor::whiteColor());
    layer().shadowOffset = {0, 2};
    layer().shadowOpacity = 0.2f;
    setAlpha(0);
    THAutolayout::addConstraint(self, NSLayoutAttribute::Width, kWidth);

    titleLabel_ = UILabel::create();
    titleLabel_->setFont(UIFont::fontWithName("Helvetica-Bold", 16));
    titleLabel_->setTextColor(UIColor::blackColor());
    titleLabel_->setText(title);
    addSubview(titleLabel_);
    THAutolayout::addConstraint(titleLabel_, NSLayoutAttribute::Top, self, 12);
    THAutolayout::addConstraint(titleLabel_, NSLayoutAttribute::Left, self, 12);

    firstDivider_ = makeDivider();
    THAutolayout::addConstraint(firstDivider_, NSLayoutAttribute::Height, 0.5);
    THAutolayout::addConstraint(firstDivider_, NSLayoutAttribute::Left, self, 0);
    THAutolayout::addConstraint(firstDivider_, NSLayoutAttribute::Right, self, 0);
    THAutolayout::addConstraint(firstDivider_, NSLayoutAttribute::Top, titleLabel_, NSLayoutAttribute::Bottom,
                                12);

    messageLabel_ = UILabel::create();
    messageLabel_->setFont(UIFont::systemFontOfSize(15));
    messageLabel_->setNumberOfLines(0);
    messageLabel_->setLineBreakMode(NSLineBreakMode::ByCharWrapping);
    messageLabel_->setTextColor(darkGray());
    messageLabel_->setText(message);
    messageLabel_->setPreferredMaxLayoutWidth(230);
    addSubview(messageLabel_);
    THAutolayout::addConstraint(messageLabel_, NSLayoutAttribute::CenterX, self, 0);
    THAutolayout::addConstraint(messageLabel_, NSLayoutAttribute::Top, firstDivider_, NSLayoutAttribute::Top,
                                10);

    buildInputs(style);
    UIViewPtr last = inputs_.empty() ? UIViewPtr(messageLabel_) : inputs_.back();

    secondDivider_ = makeDivider();
    THAutolayout::addConstraint(secondDivider_, NSLayoutAttribute::Height, 0.5);
    THAutolayout::addConstraint(secondDivider_, NSLayoutAttribute::Left, self, 0);
    THAutolayout::addConstraint(secondDivider_, NSLayoutAttribute::Right, self, 0);
    THAutolayout::addConstraint(secondDivider_, NSLayoutAttribute::Top, last, NSLayoutAttribute::Bottom, 12);

    // A nil or empty title makes no button; the others keep their indexes.
    std::vector<std::pair<std::string, long>> titles;
    if (!cancelTitle.empty()) titles.emplace_back(cancelTitle, 0);
    for (size_t i = 0; i < otherTitles.size(); ++i) {
        if (!otherTitles[i].empty()) titles.emplace_back(otherTitles[i], static_cast<long>(i) + 1);
    }
    bool stacked = titles.size() != 2;
    for (const auto& [buttonTitle, index] : titles) addButton(buttonTitle, index, stacked);

    if (!stacked) {
        pairDivider_ = makeDivider();
        THAutolayout::addConstraint(pairDivider_, NSLayoutAttribute::Width, 0.5);
        THAutolayout::addConstraint(pairDivider_, NSLayoutAttribute::Height, 30);
        THAutolayout::addConstraint(pairDivider_, NSLayoutAttribute::CenterX, self, 0);
        THAutolayout::addConstraint(pairDivider_, NSLayoutAttribute::CenterY, buttons_.front(), 0);
    }
    UIViewPtr bottom = buttons_.empty() ? secondDivider_ : UIViewPtr(buttons_.back());
    UIView::addConstraint(NSLayoutConstraint::constraintWithItem(
        self, NSLayoutAttribute::Bottom, NSLayoutRelation::Equal, bottom, NSLayoutAttribute::Bottom, 1, 0));
    setNeedsLayout();
    layoutIfNeeded();
}

void THProgressHUDAlertView::addButton(const std::string& title, long index, bool stacked) {
    auto self = this->self<UIView>();
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setTitle(title, UIControlStateNormal);
    button->setTitleColor(index == 0 ? UIColor::redColor() : UIColor::blackColor(), UIControlStateNormal);
    button->titleLabel()->setFont(UIFont::fontWithName("Helvetica-Bold", 16));
    button->setTag(index);
    std::weak_ptr<THProgressHUDAlertView> weak = this->self<THProgressHUDAlertView>();
    button->addTarget(
        weak,
        [weak](UIControl& sender) {
            if (auto alert = weak.lock())
                alert->alertViewDidClickedButtonAtIndex(static_cast<UIButton&>(sender));
        },
        UIControlEventTouchUpInside);

    if (!stacked) {
        addSubview(button);
        bool left = buttons_.empty();
        THAutolayout::addConstraint(button, NSLayoutAttribute::Width, kWidth / 2);
        THAutolayout::addConstraint(button, NSLayoutAttribute::Height, kButtonHeight);
        THAutolayout::addConstraint(button, NSLayoutAttribute::Top, secondDivider_, NSLayoutAttribute::Bottom,
                                    0);
        THAutolayout::addConstraint(button, left ? NSLayoutAttribute::Left : NSLayoutAttribute::Right, self,
                                    0);
        buttons_.push_back(button);
        return;
    }
    UIViewPtr above = buttons_.empty() ? secondDivider_ : UIViewPtr(buttons_.back());
    if (!buttons_.empty()) {
        // The divider under the previous button.
        auto divider = makeDivider();
        THAutolayout::addConstraint(divider, NSLayoutAttribute::Height, 0.5);
        THAutolayout::addConstraint(divider, NSLayoutAttribute::Left, self, 5);
        THAutolayout::addConstraint(divider, NSLayoutAttribute::Right, self, -5);
        THAutolayout::addConstraint(divider, NSLayoutAttribute::Top, buttons_.back(),
                                    NSLayoutAttribute::Bottom, 0);
        buttonDividers_.push_back(divider);
    }
    insertSubview(button, 0);
    THAutolayout::addConstraint(button, NSLayoutAttribute::Height, kButtonHeight);
    THAutolayout::addConstraint(button, NSLayoutAttribute::Left, self, 0);
    THAutolayout::addConstraint(button, NSLayoutAttribute::Right, self, 0);
    THAutolayout::addConstraint(button, NSLayoutAttribute::Top, above, NSLayoutAttribute::Bottom, 0);
    buttons_.push_back(button);
}

void THProgressHUDAlertView::alertViewDidClickedButtonAtIndex(const UIButton& button) {
    clickButtonAtIndex(button.tag());
}

void THProgressHUDAlertView::clickButtonAtIndex(long buttonIndex) {
    if (answered_) return;
    answered_ = true;
    auto self = this->self<THProgressHUDAlertView>();  // alive through the callbacks
    if (auto delegate = delegate_.lock()) {
        delegate->alertView(self, buttonIndex);
        delegate->alertView(self, buttonIndex, userInfo_);
    }
    auto hud = THProgressHUD::shareInstancetype();
    if (hud->alertView() == self) hud->dismissAlertView();
}

void THProgressHUDAlertView::didMoveToSuperview() {
    UIView::didMoveToSuperview();
    auto superview = this->superview();
    if (!superview) return;
    auto self = this->self<UIView>();
    centerY_ =
        NSLayoutConstraint::constraintWithItem(self, NSLayoutAttribute::CenterY, NSLayoutRelation::Equal,
                                               superview, NSLayoutAttribute::CenterY, 1, 0);
    superview->addConstraint(centerY_);
    THAutolayout::addConstraint(self, NSLayoutAttribute::CenterX, superview, THAutolayout::Multiplier{1});
    setNeedsLayout();
    layoutIfNeeded();
}

void THProgressHUDAlertView::layoutSubviews() {
    // What the recorded constraints say, placed by hand.
    CGSize title = titleLabel_->intrinsicContentSize();
    titleLabel_->setFrame(CGRectMake(12, 12, title.width, title.height));
    CGFloat y = 12 + title.height + 12;
    firstDivider_->setFrame(CGRectMake(0, y, kWidth, 0.5));
    CGSize message = messageLabel_->intrinsicContentSize();
    messageLabel_->setFrame(CGRectMake((kWidth - message.width) / 2, y + 10, message.width, message.height));
    y += 10 + message.height;
    for (auto& input : inputs_) {
        input->setFrame(CGRectMake(20, y + 10, kWidth - 40, kInputHeight));
        y += 10 + kInputHeight;
    }
    secondDivider_->setFrame(CGRectMake(0, y + 12, kWidth, 0.5));
    y += 12 + 0.5;
    if (pairDivider_) {
        buttons_[0]->setFrame(CGRectMake(0, y, kWidth / 2, kButtonHeight));
        buttons_[1]->setFrame(CGRectMake(kWidth / 2, y, kWidth / 2, kButtonHeight));
        pairDivider_->setFrame(CGRectMake((kWidth - 0.5) / 2, y + (kButtonHeight - 30) / 2, 0.5, 30));
        y += kButtonHeight;
    } else {
        for (size_t i = 0; i < buttons_.size(); ++i) {
            buttons_[i]->setFrame(CGRectMake(0, y, kWidth, kButtonHeight));
            y += kButtonHeight;
            if (i < buttonDividers_.size()) buttonDividers_[i]->setFrame(CGRectMake(5, y, kWidth - 10, 0.5));
        }
    }
    CGRect frame = CGRectMake(0, 0, kWidth, y);
    if (auto superview = this->superview()) {
        CGRect area = superview->bounds();
        CGFloat offset = centerY_ ? centerY_->constant() : 0;
        frame.origin = {area.midX() - kWidth / 2, area.midY() - y / 2 + offset};
    }
    if (frame != this->frame()) setFrame(frame);
}

void THProgressHUDAlertView::buildInputs(long style) {
    switch (style) {
        case THProgressHUDAlertViewStyleSecureTextInput:
            secureTextInput_ = addInput(true);
            break;
        case THProgressHUDAlertViewStylePlainTextInput:
            plainTextInput_ = addInput(false);
            break;
        case THProgressHUDAlertViewStyleLoginAndPassword:
            plainTextInput_ = addInput(false);
            secureTextInput_ = addInput(true);
            break;
        default:
            break;
    }
}

std::shared_ptr<UITextField> THProgressHUDAlertView::addInput(bool secure) {
    auto self = this->self<UIView>();
    UIViewPtr above = inputs_.empty() ? UIViewPtr(messageLabel_) : inputs_.back();
    auto input = UITextField::create();
    input->layer().cornerRadius = 5;
    input->layer().borderColor = lightGray();
    input->layer().borderWidth = 0.5;
    input->setDelegate(std::static_pointer_cast<THProgressHUDAlertView>(self));
    input->setLeftView(UIView::create(CGRectMake(0, 0, 10, 10)));
    input->setLeftViewMode(UITextFieldViewMode::Always);
    input->setFont(UIFont::systemFontOfSize(12));
    input->setClearButtonMode(UITextFieldViewMode::Always);
    input->setSecureTextEntry(secure);
    addSubview(input);
    THAutolayout::addConstraint(input, NSLayoutAttribute::Top, above, NSLayoutAttribute::Bottom, 10);
    THAutolayout::addConstraint(input, NSLayoutAttribute::Left, self, 20);
    THAutolayout::addConstraint(input, NSLayoutAttribute::Right, self, -20);
    THAutolayout::addConstraint(input, NSLayoutAttribute::Height, kInputHeight);
    inputs_.push_back(input);
    return input;
}

void THProgressHUDAlertView::textFieldDidBeginEditing(UITextField&) {
    moveForEditing(-(UIScreen::mainScreen().bounds().size.height * 0.25));
}

void THProgressHUDAlertView::textFieldDidEndEditing(UITextField&) {
    moveForEditing(0);
}

void THProgressHUDAlertView::moveForEditing(CGFloat offset) {
    if (centerY_) centerY_->setConstant(offset);
    std::weak_ptr<THProgressHUDAlertView> weak = this->self<THProgressHUDAlertView>();
    UIView::animateWithDuration(0.3, [weak] {
        if (auto alert = weak.lock()) {
            alert->setNeedsLayout();
            alert->layoutIfNeeded();
        }
    });
}
