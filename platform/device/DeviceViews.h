// What the device's finger looks for on screen: views by their text, the controller a person is looking at,
// its scroll views, the current page, and whether a view can be reached by a tap.
//
// "Shown" means on a visible window, not hidden and not transparent (alpha 0.01 or more) all the way up,
// and not wholly outside the window. Searches go topmost window first and, within a window, front-most view
// first (subviews before their superview), as a finger meets them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

class UIWebView;

namespace DeviceViews {

// Visible windows, topmost first, laid out.
std::vector<std::shared_ptr<UIWindow>> visibleWindowsTopFirst();
bool isShown(const std::shared_ptr<UIView>& view);

// The first shown view whose displayed text or accessibility label equals `text`; failing that, the first
// whose text or label contains it. Among equal matches one that a tap reaches wins. A label inside a button
// stands for the button. nullptr when nothing matches.
std::shared_ptr<UIView> findByText(const std::string& text);

// Why a tap at the centre of `view` would not reach it: "" when it would; otherwise a short reason
// ("is covered by UIView", "is disabled", "is outside the screen").
std::string unreachableReason(const std::shared_ptr<UIView>& view);

// The controller a person looks at: the key window's root controller (or, when the key window has none,
// that of the topmost visible window with one), following presented controllers and navigation stacks.
std::shared_ptr<UIViewController> visibleController();

// The front-most shown view of type T under `root` (the root itself included) that satisfies `accept`.
template <class T>
std::shared_ptr<T> frontmost(const std::shared_ptr<UIView>& root,
                             const std::function<bool(const T&)>& accept);

// The scroll view a pull or a swipe acts on: in the visible controller's view, else in the topmost window.
// Vertical: the front-most that scrolls vertically, else the front-most of any kind. Horizontal: the
// front-most that pages or whose content is wider than itself.
std::shared_ptr<UIScrollView> scrollViewForPull();
std::shared_ptr<UIScrollView> scrollViewForPaging();
// The front-most shown web view, topmost window first.
std::shared_ptr<UIWebView> visibleWebView();

}  // namespace DeviceViews

template <class T>
std::shared_ptr<T> DeviceViews::frontmost(const std::shared_ptr<UIView>& root,
                                          const std::function<bool(const T&)>& accept) {
    if (!root || root->isHidden() || root->alpha() < 0.01) return nullptr;
    const auto& subs = root->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        if (auto found = frontmost<T>(*it, accept)) return found;
    }
    auto typed = std::dynamic_pointer_cast<T>(root);
    return typed && accept(*typed) && isShown(root) ? typed : nullptr;
}
