// Labels, image views, controls and buttons.
#include <algorithm>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"

// ---- UILabel ----

UILabel::UILabel(CGRect frame) : UIView(frame) {
    font_ = UIFont::systemFontOfSize(17);
    textColor_ = UIColor::blackColor();
    setUserInteractionEnabled(false);
}

std::shared_ptr<UILabel> UILabel::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UILabel>(new UILabel(frame));
}

void UILabel::setText(std::string text) {
    text_ = std::move(text);
    invalidateIntrinsicContentSize();
}

void UILabel::setFont(UIFontPtr font) {
    font_ = font ? std::move(font) : UIFont::systemFontOfSize(17);
    invalidateIntrinsicContentSize();
}

void UILabel::setTextColor(UIColorPtr color) {
    textColor_ = color ? std::move(color) : UIColor::blackColor();
}

void UILabel::setNumberOfLines(long lines) {
    numberOfLines_ = std::max(0L, lines);
    invalidateIntrinsicContentSize();
}

void UILabel::setPreferredMaxLayoutWidth(CGFloat width) {
    preferredMaxLayoutWidth_ = width;
    invalidateIntrinsicContentSize();
}

CGSize UILabel::measure(CGFloat maxWidth) const {
    if (numberOfLines_ == 1)
        return TextMetrics::boundingSize(text_, *font_, 0, 1, NSLineBreakMode::ByClipping);
    // Several lines wrap by words whatever the truncation mode; truncation applies to the last line only.
    NSLineBreakMode mode = lineBreakMode_ == NSLineBreakMode::ByCharWrapping
                               ? NSLineBreakMode::ByCharWrapping
                               : NSLineBreakMode::ByWordWrapping;
    return TextMetrics::boundingSize(text_, *font_, maxWidth, int(numberOfLines_), mode);
}

CGSize UILabel::intrinsicContentSize() const {
    return measure(preferredMaxLayoutWidth_);
}

CGSize UILabel::sizeThatFits(CGSize size) const {
    CGSize s = measure(size.width > 0 ? size.width : 0);
    if (numberOfLines_ == 1 && size.width > 0) s.width = std::min(s.width, size.width);
    return s;
}

std::string UILabel::dumpDetails() const {
    return text_.empty() ? "" : " text=" + UIDumpQuoted(text_);
}

// ---- UIImageView ----

UIImageView::UIImageView(CGRect frame) : UIView(frame) {
    setUserInteractionEnabled(false);
}

std::shared_ptr<UIImageView> UIImageView::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UIImageView>(new UIImageView(frame));
}

std::shared_ptr<UIImageView> UIImageView::createWithImage(UIImagePtr image) {
    CGSize size = image ? image->size() : CGSizeZero;
    auto view = create(CGRectMake(0, 0, size.width, size.height));
    view->setImage(std::move(image));
    return view;
}

void UIImageView::setImage(UIImagePtr image) {
    image_ = std::move(image);
    invalidateIntrinsicContentSize();
}

CGSize UIImageView::intrinsicContentSize() const {
    if (!image_) return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
    return image_->size();
}

CGSize UIImageView::sizeThatFits(CGSize) const {
    return image_ ? image_->size() : CGSizeZero;
}

std::string UIImageView::dumpDetails() const {
    if (!image_) return "";
    return " image=" + UIDumpQuoted(image_->name().empty() ? "<unnamed>" : image_->name());
}

// ---- UIControl ----

std::shared_ptr<UIControl> UIControl::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UIControl>(new UIControl(frame));
}

UIControl::ActionId UIControl::addTarget(std::weak_ptr<void> target, Action action, UIControlEvents events) {
    if (!action || events == 0) return 0;
    bool hasTarget = target.owner_before(std::weak_ptr<void>{}) || std::weak_ptr<void>{}.owner_before(target);
    actions_.push_back({nextId_, hasTarget, std::move(target), std::move(action), events});
    return nextId_++;
}

void UIControl::removeAction(ActionId id) {
    actions_.erase(
        std::remove_if(actions_.begin(), actions_.end(), [&](const Entry& e) { return e.id == id; }),
        actions_.end());
}

void UIControl::removeTarget(const std::weak_ptr<void>& target, UIControlEvents events) {
    for (auto& e : actions_) {
        if (!target.owner_before(e.target) && !e.target.owner_before(target)) e.events &= ~events;
    }
    actions_.erase(
        std::remove_if(actions_.begin(), actions_.end(), [](const Entry& e) { return e.events == 0; }),
        actions_.end());
}

UIControlEvents UIControl::allControlEvents() const {
    UIControlEvents all = 0;
    for (auto& e : actions_) all |= e.events;
    return all;
}

void UIControl::sendActionsForControlEvents(UIControlEvents events) {
    UIAssertMainThread();
    auto keepAlive = shared_from_this();
    auto entries = actions_;  // actions may add or remove actions
    for (auto& e : entries) {
        if (!(e.events & events)) continue;
        std::shared_ptr<void> target;
        if (e.hasTarget) {
            target = e.target.lock();
            if (!target) continue;
        }
        e.action(*this);
    }
}

void UIControl::setEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    if (!enabled) highlighted_ = false;
    stateChanged();
}

void UIControl::setHighlighted(bool highlighted) {
    if (highlighted_ == highlighted) return;
    highlighted_ = highlighted;
    stateChanged();
}

void UIControl::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    stateChanged();
}

UIControlState UIControl::state() const {
    UIControlState s = UIControlStateNormal;
    if (highlighted_) s |= UIControlStateHighlighted;
    if (!enabled_) s |= UIControlStateDisabled;
    if (selected_) s |= UIControlStateSelected;
    return s;
}

void UIControl::touchesBegan(const UITouch&) {
    if (!enabled_) return;
    tracking_ = true;
    setHighlighted(true);
    sendActionsForControlEvents(UIControlEventTouchDown);
}

void UIControl::touchesEnded(const UITouch& touch) {
    if (!tracking_) return;
    tracking_ = false;
    setHighlighted(false);
    if (!enabled_) return;
    auto self = std::static_pointer_cast<UIView>(shared_from_this());
    bool inside = touch.isInside(self);
    sendActionsForControlEvents(inside ? UIControlEventTouchUpInside : UIControlEventTouchUpOutside);
}

void UIControl::touchesCancelled(const UITouch&) {
    if (!tracking_) return;
    tracking_ = false;
    setHighlighted(false);
    sendActionsForControlEvents(UIControlEventTouchCancel);
}

// ---- UIButton ----

UIButton::UIButton(UIButtonType type, CGRect frame) : UIControl(frame), type_(type) {
    titleColors_[UIControlStateNormal] =
        type == UIButtonType::System ? UIColor::colorWithRed(0, 122.0 / 255, 1, 1) : UIColor::whiteColor();
}

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
    UIAssertMainThread();
    return std::shared_ptr<UIButton>(new UIButton(type, CGRectZero));
}

template <class T>
T UIButton::lookup(const std::map<UIControlState, T>& table, UIControlState state) {
    auto find = [&](UIControlState s) -> const T* {
        auto it = table.find(s);
        return it == table.end() ? nullptr : &it->second;
    };
    if (auto v = find(state)) return *v;
    if ((state & UIControlStateDisabled) && find(UIControlStateDisabled))
        return *find(UIControlStateDisabled);
    if ((state & UIControlStateHighlighted) && find(UIControlStateHighlighted)) {
        return *find(UIControlStateHighlighted);
    }
    if ((state & UIControlStateSelected) && find(UIControlStateSelected))
        return *find(UIControlStateSelected);
    if (auto v = find(UIControlStateNormal)) return *v;
    return T{};
}

void UIButton::setTitle(const std::string& title, UIControlState state) {
    titles_[state] = title;
    refresh();
}
std::string UIButton::titleForState(UIControlState state) const {
    return lookup(titles_, state);
}

void UIButton::setTitleColor(UIColorPtr color, UIControlState state) {
    if (color)
        titleColors_[state] = std::move(color);
    else
        titleColors_.erase(state);
    refresh();
}
UIColorPtr UIButton::titleColorForState(UIControlState state) const {
    return lookup(titleColors_, state);
}

void UIButton::setImage(UIImagePtr image, UIControlState state) {
    if (image)
        images_[state] = std::move(image);
    else
        images_.erase(state);
    refresh();
}
UIImagePtr UIButton::imageForState(UIControlState state) const {
    return lookup(images_, state);
}

void UIButton::setBackgroundImage(UIImagePtr image, UIControlState state) {
    if (image)
        backgroundImages_[state] = std::move(image);
    else
        backgroundImages_.erase(state);
    refresh();
}
UIImagePtr UIButton::backgroundImageForState(UIControlState state) const {
    return lookup(backgroundImages_, state);
}

std::shared_ptr<UILabel> UIButton::titleLabel() {
    if (!titleLabel_) {
        titleLabel_ = UILabel::create();
        titleLabel_->setFont(UIFont::systemFontOfSize(type_ == UIButtonType::System ? 15 : 18));
        addSubview(titleLabel_);
        refresh();
    }
    return titleLabel_;
}

std::shared_ptr<UIImageView> UIButton::imageView() {
    if (!imageView_) {
        imageView_ = UIImageView::create();
        addSubview(imageView_);
        refresh();
    }
    return imageView_;
}

void UIButton::stateChanged() {
    refresh();
}

void UIButton::refresh() {
    if (titleLabel_) {
        titleLabel_->setText(currentTitle());
        titleLabel_->setTextColor(currentTitleColor());
    }
    if (imageView_) imageView_->setImage(currentImage());
    invalidateIntrinsicContentSize();
}

CGSize UIButton::intrinsicContentSize() const {
    CGSize title;
    std::string text = currentTitle();
    if (!text.empty()) {
        auto font = titleLabel_ ? titleLabel_->font()
                                : UIFont::systemFontOfSize(type_ == UIButtonType::System ? 15 : 18);
        title = TextMetrics::boundingSize(text, *font, 0, 1);
    }
    CGSize image = currentImage() ? currentImage()->size() : CGSizeZero;
    CGSize size{title.width + image.width, std::max(title.height, image.height)};
    if (auto background = currentBackgroundImage()) {
        size.width = std::max(size.width, background->size().width);
        size.height = std::max(size.height, background->size().height);
    }
    if (type_ == UIButtonType::System) size.height = std::max(size.height, CGFloat(30));
    return size;
}

CGSize UIButton::sizeThatFits(CGSize) const {
    return intrinsicContentSize();
}

std::string UIButton::dumpDetails() const {
    std::string details;
    std::string title = currentTitle();
    if (!title.empty()) details += " title=" + UIDumpQuoted(title);
    if (auto image = currentImage()) {
        details += " image=" + UIDumpQuoted(image->name().empty() ? "<unnamed>" : image->name());
    }
    if (!isEnabled()) details += " disabled";
    if (isSelected()) details += " selected";
    return details;
}
