#include "platform/device/DeviceViews.h"

#include "platform/device/ScreenText.h"

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UITree.h"
#include "platform/webkit/UIWebView.h"

namespace DeviceViews {
namespace {

CGRect rectInWindow(const UIView& view) {
    return view.convertRectToView(view.bounds(), nullptr);
}

bool disjoint(CGRect r, CGRect w) {
    return r.maxX() <= w.minX() || r.minX() >= w.maxX() || r.maxY() <= w.minY() || r.minY() >= w.maxY();
}

// Wholly outside its window, or outside what a scroll view above it shows of its content (a refresh
// header above the top). Unsized views (laid out by constraints) count as on screen.
bool outsideWindow(const UIView& view, const UIWindow& window) {
    CGRect r = rectInWindow(view);
    if (r.isEmpty()) return false;
    if (disjoint(r, window.bounds())) return true;
    for (auto v = view.superview(); v; v = v->superview()) {
        if (std::dynamic_pointer_cast<UIScrollView>(v) &&
            disjoint(view.convertRectToView(view.bounds(), v), v->bounds()))
            return true;
    }
    return false;
}

void collectMatches(const std::shared_ptr<UIView>& view, const std::string& text, bool exact,
                    std::vector<std::shared_ptr<UIView>>& out) {
    if (!showsItself(*view)) return;
    const auto& subs = view->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) collectMatches(*it, text, exact, out);
    auto matches = [&](const std::string& shown) {
        return exact ? shown == text : shown.find(text) != std::string::npos;
    };
    if (matches(view->displayedText()) ||
        (!view->accessibilityLabel().empty() && matches(view->accessibilityLabel())))
        out.push_back(view);
    else if (auto button = std::dynamic_pointer_cast<UIButton>(view);
             button && button->currentTitle().empty() && button->accessibilityLabel().empty() &&
             button->currentImage() && !button->currentImage()->name().empty() &&
             matches(button->currentImage()->name()))
        out.push_back(view);
}

// A label or image inside a button stands for the button.
std::shared_ptr<UIView> standIn(const std::shared_ptr<UIView>& view) {
    for (auto v = view->superview(); v; v = v->superview()) {
        if (std::dynamic_pointer_cast<UIButton>(v)) return v;
    }
    return view;
}

std::shared_ptr<UIViewController> followVisible(std::shared_ptr<UIViewController> controller) {
    for (int hops = 0; controller && hops < 64; ++hops) {
        std::shared_ptr<UIViewController> next = controller->presentedViewController();
        if (!next) {
            if (auto nav = std::dynamic_pointer_cast<UINavigationController>(controller))
                next = nav->visibleViewController();
        }
        if (!next || next == controller) break;
        controller = next;
    }
    return controller;
}

// Where the device looks for scroll views: the visible controller's view, or the topmost window.
std::shared_ptr<UIView> scrollSearchRoot() {
    if (auto controller = visibleController(); controller && controller->isViewLoaded()) {
        auto view = controller->view();
        if (isShown(view)) return view;
    }
    auto windows = visibleWindowsTopFirst();
    return windows.empty() ? nullptr : std::shared_ptr<UIView>(windows.front());
}

}  // namespace

std::vector<std::shared_ptr<UIWindow>> visibleWindowsTopFirst() {
    std::vector<std::shared_ptr<UIWindow>> out;
    auto all = UIApplication::sharedApplication()->windows();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if ((*it)->isHidden()) continue;
        (*it)->layoutIfNeeded();
        out.push_back(*it);
    }
    return out;
}

bool isShown(const std::shared_ptr<UIView>& view) {
    if (!view) return false;
    auto window = view->window();
    if (!window) return false;
    for (auto v = view; v; v = v->superview()) {
        if (!showsItself(*v)) return false;
    }
    return !outsideWindow(*view, *window);
}

bool showsItself(const UIView& view) {
    if (view.isHidden()) return false;
    if (view.alpha() >= 0.01) return true;
    for (auto& animation : UIView::animationsInFlight()) {
        if (animation.property == "alpha" && animation.view.lock().get() == &view) return true;
    }
    return false;
}

std::shared_ptr<UIView> findByText(const std::string& text, Match match) {
    if (text.empty()) return nullptr;
    std::vector<std::shared_ptr<UIView>> matches;
    for (auto& window : visibleWindowsTopFirst())
        collectMatches(window, text, match == Match::Exact, matches);
    std::shared_ptr<UIView> first;
    for (auto& found : matches) {
        auto view = standIn(found);
        if (!isShown(view)) continue;
        if (unreachableReason(view).empty()) return view;
        if (!first) first = view;
    }
    return first;
}

namespace {

// Whether hit testing can place `view`: false when it or a superview has no size.
bool hasPlaceableFrame(const UIView& view) {
    if (view.bounds().isEmpty()) return false;
    for (auto v = view.superview(); v; v = v->superview()) {
        if (v->bounds().isEmpty()) return false;
    }
    return true;
}

// The view of a window above `window` that takes a touch at `screenPoint`, if any.
std::shared_ptr<UIView> blockerAbove(const UIWindow& window, CGPoint screenPoint) {
    auto all = UIApplication::sharedApplication()->windows();
    bool above = false;
    for (auto& w : all) {
        if (w.get() == &window) {
            above = true;
            continue;
        }
        if (!above) continue;
        CGPoint p{screenPoint.x - w->frame().origin.x + w->bounds().origin.x,
                  screenPoint.y - w->frame().origin.y + w->bounds().origin.y};
        if (auto hit = w->hitTest(p)) return hit;
    }
    return nullptr;
}

TapPath refused(std::string reason) {
    return {TapPath::Way::None, nullptr, std::move(reason)};
}

}  // namespace

TapPath tapPath(const std::shared_ptr<UIView>& view) {
    if (!isShown(view)) return refused("is not on screen");
    for (auto v = view; v; v = v->superview()) {
        if (v->alpha() < 0.01) return refused("is fading out");
        if (auto control = std::dynamic_pointer_cast<UIControl>(v); control && !control->isEnabled())
            return refused("is disabled");
        if (!v->isUserInteractionEnabled() && std::dynamic_pointer_cast<UIControl>(v))
            return refused("takes no touches");
    }
    CGPoint centre = view->convertPointToScreen(view->bounds().center());
    if (hasPlaceableFrame(*view)) {
        auto hit = UIApplication::sharedApplication()->hitTest(centre);
        if (!hit) return refused("takes no touches");
        if (hit->isDescendantOfView(view) || view->isDescendantOfView(hit))
            return {TapPath::Way::HitTesting, nullptr, ""};
        return refused("is covered by " + ScreenText::covering(hit));
    }
    // Hit testing cannot decide: the touch goes straight to the view when a person could touch it.
    std::shared_ptr<UIView> target;
    for (auto v = view; v; v = v->superview()) {
        if (!v->isUserInteractionEnabled()) {
            if (target || std::dynamic_pointer_cast<UIWindow>(v)) return refused("takes no touches");
            continue;  // a label or image passes the touch on
        }
        if (!target) target = v;
    }
    if (!target || std::dynamic_pointer_cast<UIWindow>(target)) return refused("takes no touches");
    if (auto blocker = blockerAbove(*view->window(), centre))
        return refused("is covered by " + ScreenText::covering(blocker));
    return {TapPath::Way::Directly, target, ""};
}

std::string unreachableReason(const std::shared_ptr<UIView>& view) {
    return tapPath(view).reason;
}

std::string tap(const std::shared_ptr<UIView>& view) {
    TapPath path = tapPath(view);
    switch (path.way) {
        case TapPath::Way::HitTesting:
            return UITree::tap(view) ? "" : "did not take the tap";
        case TapPath::Way::Directly: {
            UITouch touch;
            touch.view = path.target;
            touch.window = view->window();
            touch.locationInWindow = path.target->convertPointToView(path.target->bounds().center(), nullptr);
            touch.direct = true;
            auto target = path.target;  // the touch may take the view off screen
            target->touchesBegan(touch);
            target->touchesEnded(touch);
            return "";
        }
        case TapPath::Way::None:
            break;
    }
    return path.reason;
}

std::shared_ptr<UIViewController> visibleController() {
    auto app = UIApplication::sharedApplication();
    if (auto key = app->keyWindow(); key && !key->isHidden() && key->rootViewController())
        return followVisible(key->rootViewController());
    for (auto& window : visibleWindowsTopFirst()) {
        if (window->rootViewController()) return followVisible(window->rootViewController());
    }
    return nullptr;
}

std::shared_ptr<UIScrollView> scrollViewForPull() {
    auto root = scrollSearchRoot();
    auto vertical = frontmost<UIScrollView>(root, [](const UIScrollView& s) {
        UIEdgeInsets in = s.contentInset();
        return s.alwaysBounceVertical() ||
               s.contentSize().height + in.top + in.bottom > s.bounds().size.height;
    });
    return vertical ? vertical : frontmost<UIScrollView>(root, [](const UIScrollView&) { return true; });
}

std::shared_ptr<UIScrollView> scrollViewForPaging() {
    return frontmost<UIScrollView>(scrollSearchRoot(), [](const UIScrollView& s) {
        UIEdgeInsets in = s.contentInset();
        return s.bounds().size.width > 0 &&
               (s.isPagingEnabled() || s.contentSize().width + in.left + in.right > s.bounds().size.width);
    });
}

std::shared_ptr<UIWebView> visibleWebView() {
    for (auto& window : visibleWindowsTopFirst()) {
        if (auto web = frontmost<UIWebView>(window, [](const UIWebView&) { return true; })) return web;
    }
    return nullptr;
}

bool isPageLoading(const UIWebView& web) {
    return web.isLoading() || (web.documentURL().empty() && !web.request().URL());
}

}  // namespace DeviceViews
