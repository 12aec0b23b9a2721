// The dialog a person must answer: the platform's alert views and action sheets, or the alert and action
// sheet that the application's HUD draws itself. The HUD's are plain views in the HUD's window, known here
// by their class names; their buttons carry their index as their tag. The topmost shown one wins.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIView.h"

namespace DeviceDialogs {

struct Dialog {
    std::shared_ptr<UIView> view;
    std::string kind;  // "alert", "action sheet", "hud alert", "hud action sheet"
    std::vector<std::pair<long, std::shared_ptr<UIButton>>> buttons;  // by the dialog's own index
};

// What kind of dialog `view` is ("" for none of them).
std::string kindOf(const UIView& view);
// The index the dialog `dialog` gives `button`, or -1.
long indexOf(const UIView& dialog, const UIButton& button);

std::optional<Dialog> visible();
// Answers `dialog` with the button of `index` as a tap would. "" on success, else the reason.
std::string press(const Dialog& dialog, long index);

}  // namespace DeviceDialogs
