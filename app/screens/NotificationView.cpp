#include "app/screens/NotificationView.h"

#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/graphics/UIFont.h"
#include "platform/graphics/UIImage.h"
#include "platform/uikit/UIImageView.h"

namespace {

constexpr CGFloat kIconLeft = 15;
constexpr CGFloat kIconTop = 10;
constexpr int kIconSide = 20;
constexpr CGFloat kTitleGap = 8;
constexpr int kTitleHeight = 20;
constexpr CGFloat kDetailRight = -10;

// Kind names for the console line about a payload of an unexpected shape, in the order of Value::Kind.
const char* kindName(const Value& value) {
    static constexpr const char* kNames[] = {"null", "boolean", "number", "number",     "number", "string",
                                             "data", "date",    "array",  "dictionary", "set",    "object"};
    return kNames[size_t(value.kind())];
}

// The text the detail line shows for the payload's `aps`.
std::string detailText(const Value& aps) {
    if (aps.isNull()) return "";
    if (!aps.isDictionary()) {
        NSLog(std::string("NotificationView: aps is a ") + kindName(aps) +
              ", not a dictionary; no detail shown");
        return "";
    }
    const Value* alert = aps.find("alert");
    if (!alert || alert->isNull()) return "";
    if (const std::string* text = alert->asString()) return *text;
    if (alert->isDictionary()) {
        // The localisable form: the text is its body; keys and arguments for translation are not used.
        const Value* body = alert->find("body");
        if (body && body->isString()) return *body->asString();
        if (body && !body->isNull()) {
            NSLog(std::string("NotificationView: alert body is a ") + kindName(*body) +
                  ", not a string; "
                  "no detail shown");
        }
        return "";
    }
    NSLog(std::string("NotificationView: alert is a ") + kindName(*alert) +
          ", not a string; no detail shown");
    return "";
}

}  // namespace

std::shared_ptr<NotificationView> NotificationView::create() {
    UIAssertMainThread();
    auto view = std::shared_ptr<NotificationView>(new NotificationView());
    view->setBackgroundColor(UIColor::blackColor());
    view->setAlpha(0.8);
    view->initUI();
    return view;
}

void NotificationView::initUI() {
    auto banner = self<UIView>();

    auto icon = UIImageView::create();
    icon->setImage(UIImage::imageNamed(kNotificationViewIconName));
    addSubview(icon);
    lay_makeConstraints(icon, [&](LAYConstraintMaker& make) {
        make.left().equalTo(banner).offset(kIconLeft);
        make.top().equalTo(banner).offset(kIconTop);
        make.width().equalTo(LAYBox(kIconSide));
        make.height().equalTo(LAYBox(kIconSide));
    });

    titleLb_ = UILabel::create();
    titleLb_->setTextColor(UIColor::whiteColor());
    titleLb_->setFont(UIFont::systemFontOfSize(13));
    addSubview(titleLb_);
    lay_makeConstraints(titleLb_, [&](LAYConstraintMaker& make) {
        make.left().equalTo(lay_right(icon)).offset(kTitleGap);
        make.centerY().equalTo(UIViewPtr(icon));
        make.height().equalTo(LAYBox(kTitleHeight));
    });

    detailLb_ = UILabel::create();
    detailLb_->setTextColor(UIColor::whiteColor());
    detailLb_->setFont(UIFont::systemFontOfSize(12));
    detailLb_->setNumberOfLines(2);
    detailLb_->setLineBreakMode(NSLineBreakMode::ByTruncatingTail);
    addSubview(detailLb_);
    auto title = titleLb_;
    lay_makeConstraints(detailLb_, [&](LAYConstraintMaker& make) {
        make.left().equalTo(lay_left(title));
        make.right().equalTo(banner).offset(kDetailRight);
        make.top().equalTo(lay_bottom(title));
    });
}

void NotificationView::refreshShowNotiWithDic(const Value& aps) {
    UIAssertMainThread();
    std::string title;
    if (auto executable = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleExecutable")) {
        if (executable->isString()) title = *executable->asString();
    }
    if (titleLb_) titleLb_->setText(title);
    if (detailLb_) detailLb_->setText(detailText(aps));
}
