// The banner laid over the top of the window when a remote notification arrives while the application is in
// the foreground: the logo, the application's name and the notification's alert text on a dark translucent
// strip. Whoever shows it places it (full width, 60 points high), fills it with refreshShowNotiWithDic and
// fades it out; the view itself only builds its content.
//
//   [logo 20x20]  Quorvane                       <- titleLb, white 13, centred on the logo
//                 alert text, wrapped to two     <- detailLb, white 12, at most two lines, the rest
//                 lines and cut after the sec... -- cut off with an ellipsis
#pragma once

#include <memory>

#include "platform/foundation/Value.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIView.h"

inline constexpr const char* kNotificationViewIconName = "login.bundle/LOGO.jpg";

class NotificationView : public UIView {
  public:
    // Black at alpha 0.8, with its icon and both labels in place and constrained.
    static std::shared_ptr<NotificationView> create();

    // Fills the banner from the payload's `aps` dictionary: the title is the main bundle's executable name
    // ("" when the bundle names none); the detail is `alert` when it is a string, the "body" string of
    // `alert` when it is a dictionary (the localisable form; "" without a body), and "" for anything else,
    // including a missing `alert` or an `aps` that is no dictionary. Values of an unexpected type are logged
    // to the console.
    void refreshShowNotiWithDic(const Value& aps);

    UILabelPtr titleLb() const { return titleLb_; }
    void setTitleLb(UILabelPtr label) { titleLb_ = std::move(label); }
    UILabelPtr detailLb() const { return detailLb_; }
    void setDetailLb(UILabelPtr label) { detailLb_ = std::move(label); }

  protected:
    NotificationView() : UIView(CGRectZero) {}

  private:
    void initUI();

    UILabelPtr titleLb_;
    UILabelPtr detailLb_;
};

using NotificationViewPtr = std::shared_ptr<NotificationView>;
