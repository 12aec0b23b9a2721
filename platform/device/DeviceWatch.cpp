#include "platform/device/DeviceWatch.h"

#include "platform/device/DeviceDialogs.h"
#include "platform/device/DeviceViews.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/UIWebView.h"

namespace {

// The application's passing views, known here by their class names as a person knows them by their look.
constexpr const char* kHUDTipClass = "THProgressHUDTipView";
constexpr const char* kBannerClass = "NotificationView";

// The texts of the labels in `view`, quoted, in tree order; a button's own label is its title, not text.
void collectTexts(const std::shared_ptr<UIView>& view, std::string& out) {
    for (auto& sub : view->subviews()) {
        if (!DeviceViews::isShown(sub) || std::dynamic_pointer_cast<UIButton>(sub)) continue;
        if (auto label = std::dynamic_pointer_cast<UILabel>(sub); label && !label->text().empty())
            out += " " + UIDumpQuoted(label->text());
        collectTexts(sub, out);
    }
}

// What passing thing `view` is ("hud tip", "alert", ...), or "".
std::string passingKind(const UIView& view) {
    if (std::string kind = DeviceDialogs::kindOf(view); !kind.empty()) return kind;
    const std::string name = view.className();
    if (name == kHUDTipClass) return "hud tip";
    if (name == kBannerClass) return "banner";
    return "";
}

void collectPassing(const std::shared_ptr<UIView>& view, std::set<std::string>& out) {
    if (!DeviceViews::isShown(view) && !std::dynamic_pointer_cast<UIWindow>(view)) return;
    if (std::string kind = passingKind(*view); !kind.empty()) {
        std::string line = kind;
        collectTexts(view, line);
        out.insert(line);
        return;
    }
    for (auto& sub : view->subviews()) collectPassing(sub, out);
}

}  // namespace

std::unique_ptr<DeviceWatch> DeviceWatch::create() {
    std::unique_ptr<DeviceWatch> watch(new DeviceWatch());
    DeviceWatch* self = watch.get();
    watch->observer_ = NSNotificationCenter::defaultCenter().addObserver(
        UIWebViewLoadDidEndNotification, nullptr, nullptr, [self](const NSNotification& note) {
            auto text = [&](const char* key) {
                auto found = note.userInfo.find(key);
                return found == note.userInfo.end() ? std::string() : found->second.stringValue();
            };
            // A load that a newer one replaced, or that was stopped, showed nothing.
            auto code = note.userInfo.find(UIWebViewLoadErrorCodeKey);
            if (code != note.userInfo.end() && code->second.integerValue() == NSURLErrorCancelled) return;
            const std::string error = text(UIWebViewLoadErrorKey);
            if (error.empty()) UIMarkLaunchInstant("page-loaded");
            self->ended_ += error.empty()
                                ? "page loaded: " + text(UIWebViewLoadURLKey) + "\n"
                                : "page failed: " + text(UIWebViewLoadURLKey) + " (" + error + ")\n";
        });
    return watch;
}

DeviceWatch::~DeviceWatch() {
    NSNotificationCenter::defaultCenter().removeObserver(observer_);
}

std::string DeviceWatch::look() {
    UIAssertMainThread();
    std::set<std::string> now;
    for (auto& window : DeviceViews::visibleWindowsTopFirst()) collectPassing(window, now);
    std::string lines;
    lines.swap(ended_);
    for (auto& thing : now) {
        if (!shown_.contains(thing)) lines += "shown: " + thing + "\n";
    }
    shown_ = std::move(now);
    return lines;
}
