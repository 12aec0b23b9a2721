#include "app/hud/THProgressHUDTipView.h"

#include "app/hud/THAutolayout.h"
#include "platform/foundation/TextUtil.h"

namespace {

constexpr CGFloat kIconSide = 35;
constexpr CGFloat kMargin = 10;
constexpr CGFloat kMessageMaxWidth = 180;
constexpr CGFloat kMinWidth = 80;

const char* iconName(long tipType) {
    switch (tipType) {
        case THProgressHUDTipTypeSuccess:
            return "progresshud.bundle/succeed";
        case THProgressHUDTipTypeDone:
            return "progresshud.bundle/done";
        case THProgressHUDTipTypeError:
            return "progresshud.bundle/error";
        case THProgressHUDTipTypeWarning:
            return "progresshud.bundle/warning";
        default:
            return nullptr;
    }
}

// The message as shown: at most THProgressHUDTipMaxLength units (a surrogate pair is never split) and "…".
std::string shownMessage(const std::string& tip) {
    if (TextUtil::utf16Length(tip) <= THProgressHUDTipMaxLength) return tip;
    auto end = TextUtil::utf8Offset(tip, THProgressHUDTipMaxLength);
    if (!end) end = TextUtil::utf8Offset(tip, THProgressHUDTipMaxLength - 1);
    return tip.substr(0, end.value_or(0)) + "…";
}

}  // namespace

std::shared_ptr<THProgressHUDTipView> THProgressHUDTipView::create(const std::string& tip, long tipType) {
    UIAssertMainThread();
    auto view = std::shared_ptr<THProgressHUDTipView>(new THProgressHUDTipView());
    view->build(tip, tipType);
    return view;
}

void THProgressHUDTipView::build(const std::string& tip, long tipType) {
    auto self = this->self<UIView>();
    layer().cornerRadius = 5;
    setBackgroundColor(UIColor::whiteColor());
    layer().shadowOffset = {2, 2};
    layer().shadowOpacity = 0.2f;
    setAlpha(0);
    layer().borderWidth = 0.2;
    layer().borderColor = UIColor::colorWithRed(220 / 255.0, 220 / 255.0, 220 / 255.0, 1);

    imageView_ = UIImageView::create();
    addSubview(imageView_);
    THAutolayout::addConstraint(imageView_, NSLayoutAttribute::Width, kIconSide);
    THAutolayout::addConstraint(imageView_, NSLayoutAttribute::Height, kIconSide);
    THAutolayout::addConstraint(imageView_, NSLayoutAttribute::CenterX, self, 0);
    THAutolayout::addConstraint(imageView_, NSLayoutAttribute::Top, self, kMargin);
    if (const char* name = iconName(tipType)) imageView_->setImage(UIImage::imageNamed(name));

    label_ = UILabel::create();
    label_->setTextColor(UIColor::grayColor());
    label_->setFont(UIFont::fontWithName("Helvetica-Bold", 14));
    label_->setNumberOfLines(0);
    label_->setLineBreakMode(NSLineBreakMode::ByCharWrapping);
    label_->setTextAlignment(NSTextAlignment::Left);
    label_->setText(shownMessage(tip));
    label_->setPreferredMaxLayoutWidth(kMessageMaxWidth);
    addSubview(label_);
    THAutolayout::addConstraint(label_, NSLayoutAttribute::Top, imageView_, NSLayoutAttribute::Bottom,
                                kMargin);
    THAutolayout::addConstraint(label_, NSLayoutAttribute::CenterX, self, 0);

    CGSize message = label_->intrinsicContentSize();
    CGFloat width = message.width > 60 ? message.width + 2 * kMargin : kMinWidth;
    THAutolayout::addConstraint(self, NSLayoutAttribute::Width, width);
    auto bottom =
        NSLayoutConstraint::constraintWithItem(self, NSLayoutAttribute::Bottom, NSLayoutRelation::Equal,
                                               label_, NSLayoutAttribute::Bottom, 1, kMargin);
    UIView::addConstraint(bottom);
    setFrame(CGRectMake(0, 0, width, kMargin + kIconSide + kMargin + message.height + kMargin));
    layoutIfNeeded();
}

void THProgressHUDTipView::didMoveToSuperview() {
    UIView::didMoveToSuperview();
    if (superview()) layoutIfNeeded();
}

void THProgressHUDTipView::layoutSubviews() {
    // What the recorded constraints say, placed by hand.
    CGFloat midX = bounds().size.width / 2;
    imageView_->setFrame(CGRectMake(midX - kIconSide / 2, kMargin, kIconSide, kIconSide));
    CGSize message = label_->intrinsicContentSize();
    label_->setFrame(
        CGRectMake(midX - message.width / 2, kMargin + kIconSide + kMargin, message.width, message.height));
}
