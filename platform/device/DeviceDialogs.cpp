#include "platform/device/DeviceDialogs.h"

#include "platform/device/DeviceViews.h"
#include "platform/uikit/UIDialogs.h"

namespace DeviceDialogs {
namespace {

constexpr const char* kHUDAlertClass = "THProgressHUDAlertView";
constexpr const char* kHUDSheetClass = "THProgressHUDActionSheet";

void collectButtons(const std::shared_ptr<UIView>& view, std::vector<std::shared_ptr<UIButton>>& out) {
    for (auto& sub : view->subviews()) {
        if (auto button = std::dynamic_pointer_cast<UIButton>(sub))
            out.push_back(button);
        else
            collectButtons(sub, out);
    }
}

std::shared_ptr<UIView> findDialog(const std::shared_ptr<UIView>& view) {
    if (view->isHidden() || view->alpha() < 0.01) return nullptr;
    if (!kindOf(*view).empty()) {
        auto platform = std::dynamic_pointer_cast<UIDialogView>(view);
        return !platform || platform->isVisible() ? view : nullptr;
    }
    const auto& subs = view->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        if (auto found = findDialog(*it)) return found;
    }
    return nullptr;
}

}  // namespace

std::string kindOf(const UIView& view) {
    std::string name = view.className();
    if (name == kHUDAlertClass) return "hud alert";
    if (name == kHUDSheetClass) return "hud action sheet";
    if (dynamic_cast<const UIDialogView*>(&view)) return name == "UIActionSheet" ? "action sheet" : "alert";
    return "";
}

long indexOf(const UIView& dialog, const UIButton& button) {
    if (auto platform = dynamic_cast<const UIDialogView*>(&dialog)) {
        for (long i = 0; i < platform->numberOfButtons(); ++i) {
            if (platform->buttonAtIndex(i).get() == &button) return i;
        }
        return -1;
    }
    return kindOf(dialog).empty() ? -1 : button.tag();
}

std::optional<Dialog> visible() {
    for (auto& window : DeviceViews::visibleWindowsTopFirst()) {
        auto view = findDialog(window);
        if (!view) continue;
        Dialog dialog{view, kindOf(*view), {}};
        std::vector<std::shared_ptr<UIButton>> buttons;
        collectButtons(view, buttons);
        for (auto& button : buttons) {
            if (button->isHidden()) continue;
            if (long index = indexOf(*view, *button); index >= 0) dialog.buttons.emplace_back(index, button);
        }
        return dialog;
    }
    return std::nullopt;
}

std::string press(const Dialog& dialog, long index) {
    if (auto platform = std::dynamic_pointer_cast<UIDialogView>(dialog.view)) {
        return platform->pressButtonAtIndex(index)
                   ? ""
                   : "the " + dialog.kind + " has no button " + std::to_string(index);
    }
    for (auto& [i, button] : dialog.buttons) {
        if (i != index) continue;
        std::string reason = DeviceViews::tap(button);
        return reason.empty() ? "" : "button " + std::to_string(index) + " " + reason;
    }
    return "the " + dialog.kind + " has no button " + std::to_string(index);
}

}  // namespace DeviceDialogs
