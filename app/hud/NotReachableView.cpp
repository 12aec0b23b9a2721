#include "app/hud/NotReachableView.h"

#include "platform/graphics/UIFont.h"

namespace {

UIColorPtr grey(double component) {
    return UIColor::colorWithRed(component, component, component, 1);
}

// The toolkit's grouped-table background, for the pressed title.
UIColorPtr groupTableViewBackgroundColor() {
    return UIColor::colorWithRed(239 / 255.0, 239 / 255.0, 244 / 255.0, 1);
}

}  // namespace

std::shared_ptr<NotReachableView> NotReachableView::create(CGRect frame) {
    auto view = std::shared_ptr<NotReachableView>(new NotReachableView(frame));
    view->setBackgroundColor(UIColor::whiteColor());
    view->addImageViewAndLabel();
    return view;
}

std::shared_ptr<NotReachableView> NotReachableView::create(CGRect frame, std::weak_ptr<void> target,
                                                           UIControl::Action action) {
    auto view = create(frame);
    view->addReloadButton(std::move(target), std::move(action));
    return view;
}

NotReachableView::NotReachableView(CGRect frame) : UIView(frame) {}

void NotReachableView::addImageViewAndLabel() {
    for (const UIViewPtr& old : {UIViewPtr(imageView_), UIViewPtr(bigLabel_), UIViewPtr(smallLabel_)}) {
        if (old && old->superview().get() == this) old->removeFromSuperview();
    }
    const CGSize size = frame().size;

    imageView_ = UIImageView::createWithImage(UIImage::imageNamed("base.bundle/wifi@2x.png"));
    imageView_->setCenter(CGPointMake(size.width * 0.5, size.height * 0.3));
    addSubview(imageView_);

    bigLabel_ = UILabel::create();
    bigLabel_->setNumberOfLines(0);
    bigLabel_->setTextColor(grey(0.478));
    bigLabel_->setFont(UIFont::systemFontOfSize(19));
    bigLabel_->setText("连接失败");
    bigLabel_->sizeToFit();
    bigLabel_->setCenter(CGPointMake(size.width * 0.5, imageView_->frame().maxY() + 20));
    addSubview(bigLabel_);

    smallLabel_ = UILabel::create();
    smallLabel_->setNumberOfLines(0);
    smallLabel_->setTextColor(grey(151 / 255.0));
    smallLabel_->setFont(UIFont::systemFontOfSize(14));
    smallLabel_->setTextAlignment(NSTextAlignment::Center);
    smallLabel_->setText("请检查您的手机是否联网");
    smallLabel_->sizeToFit();
    smallLabel_->setCenter(CGPointMake(size.width * 0.5, bigLabel_->frame().maxY() + 18));
    addSubview(smallLabel_);
}

void NotReachableView::addReloadButton(std::weak_ptr<void> target, UIControl::Action action) {
    const CGRect big = bigLabel_->frame();
    reloadButton_ = UIButton::buttonWithType(UIButtonType::Custom);
    reloadButton_->setFrame(CGRectMake(big.origin.x - 20, smallLabel_->frame().maxY() + 15,
                                       big.size.width + 40, big.size.height + 10));
    CALayer& layer = reloadButton_->layer();
    layer.borderColor = grey(155 / 255.0);
    layer.borderWidth = 1;
    layer.cornerRadius = reloadButton_->frame().size.height / 2;
    reloadButton_->titleLabel()->setFont(UIFont::systemFontOfSize(18));
    reloadButton_->setTitleColor(bigLabel_->textColor(), UIControlStateNormal);
    reloadButton_->setTitleColor(groupTableViewBackgroundColor(), UIControlStateHighlighted);
    reloadButton_->setTitle("重新加载", UIControlStateNormal);
    if (action) reloadButton_->addTarget(std::move(target), std::move(action), UIControlEventTouchUpInside);
    addSubview(reloadButton_);
}
