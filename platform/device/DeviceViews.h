// What the device's finger looks for on screen: views by their text, the controller a person is looking at,
// its scroll views, the current page, and whether a view can be reached by a tap.
//
// "Shown" means on a visible window, not hidden and not transparent all the way up, and neither wholly
// outside the window nor outside what a scroll view above it shows. Not transparent: alpha 0.01 or more, or
// an alpha animation still in flight on the view. The toolkit gives an animated property its final value at
// once, but a person sees a view that fades out (a tip, the push banner) until the fade ends; taps still go
// by the final alpha, as hit testing does. Searches go topmost window first and, within a window, front-most
// view first (subviews before their superview), as a finger meets them.
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
// The view itself, superviews aside: not hidden and not transparent (see above).
bool showsItself(const UIView& view);

// The first shown view whose displayed text or accessibility label equals (Exact) or contains (Part)
// `text`. A button with neither title nor label goes by its image's name, as the screen shows it. Among
// matches one that a tap reaches wins. A label inside a button stands for the button. nullptr when nothing
// matches.
enum class Match { Exact, Part };
std::shared_ptr<UIView> findByText(const std::string& text, Match match);

// How the finger reaches a view, in one place for every tap of the device.
//
// Hit testing at the view's centre comes first, as on a phone. The toolkit records constraints but solves
// none, so a view placed only by constraints keeps a frame without size, and so do its subviews' hit tests:
// no point is inside it. When the view or one of its superviews has no size, hit testing cannot decide,
// and the touch is handed to the view directly (touch down, then touch up inside) provided a person could
// touch it: the view is shown (see above), user interaction is on for it and every superview up to its
// window (a view that takes no touches itself, a label, passes the touch to the closest superview that
// does), no control on the way is disabled, and no window above its own (an alert, the HUD's window)
// takes a touch at the view's place. A view with a size that hit testing does not reach is not touched.
struct TapPath {
    enum class Way { HitTesting, Directly, None };
    Way way = Way::None;
    std::shared_ptr<UIView> target;  // Directly: the view that gets the touch
    std::string reason;              // None: why not ("is covered by the alert", "is disabled", ...)
};
TapPath tapPath(const std::shared_ptr<UIView>& view);

// Why a tap on `view` would not reach it: "" when it would; otherwise tapPath's short reason.
std::string unreachableReason(const std::shared_ptr<UIView>& view);

// Taps `view` along its tap path. "" when the touch was delivered, else why not.
std::string tap(const std::shared_ptr<UIView>& view);

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
// Whether `web` is still on its way to a page: loading, or not yet started on the first one (the engine may
// not have begun the load the view was asked for).
bool isPageLoading(const UIWebView& web);

}  // namespace DeviceViews

template <class T>
std::shared_ptr<T> DeviceViews::frontmost(const std::shared_ptr<UIView>& root,
                                          const std::function<bool(const T&)>& accept) {
    if (!root || !showsItself(*root)) return nullptr;
    const auto& subs = root->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        if (auto found = frontmost<T>(*it, accept)) return found;
    }
    auto typed = std::dynamic_pointer_cast<T>(root);
    return typed && accept(*typed) && isShown(root) ? typed : nullptr;
}
