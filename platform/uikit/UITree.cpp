#include "platform/uikit/UITree.h"

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIWindow.h"

namespace UITree {
namespace {

void dumpInto(const std::shared_ptr<UIView>& view, int depth, std::string& out) {
    out.append(size_t(depth) * 2, ' ');
    out += view->dumpLine();
    out += '\n';
    for (auto& sub : view->subviews()) dumpInto(sub, depth + 1, out);
}

std::shared_ptr<UIView> findIn(const std::shared_ptr<UIView>& view, const std::string& text) {
    if (view->isHidden() || view->alpha() < 0.01) return nullptr;
    const auto& subs = view->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        if (auto found = findIn(*it, text)) return found;
    }
    if (view->displayedText() == text || view->accessibilityLabel() == text) return view;
    return nullptr;
}

}  // namespace

std::string dumpView(const std::shared_ptr<UIView>& view) {
    std::string out;
    if (!view) return out;
    view->layoutIfNeeded();
    dumpInto(view, 0, out);
    return out;
}

std::string dump(Windows which) {
    std::string out;
    for (auto& window : UIApplication::sharedApplication()->windows()) {
        if (which == Windows::Visible && window->isHidden()) continue;
        out += dumpView(window);
    }
    return out;
}

std::shared_ptr<UIView> findView(const std::string& text) {
    if (text.empty()) return nullptr;
    auto windows = UIApplication::sharedApplication()->windows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        (*it)->layoutIfNeeded();
        if (auto found = findIn(*it, text)) return found;
    }
    return nullptr;
}

bool tap(const std::shared_ptr<UIView>& view) {
    if (!view) return false;
    auto window = view->window();
    if (!window || window->isHidden()) return false;
    window->layoutIfNeeded();
    CGRect b = view->bounds();
    CGPoint screen = view->convertPointToScreen(b.center());
    auto hit = UIApplication::sharedApplication()->hitTest(screen);
    // The touch lands on the view, or on the closest ancestor that takes touches (a label in a cell).
    if (!hit || !(hit->isDescendantOfView(view) || view->isDescendantOfView(hit))) return false;
    UITouch touch;
    touch.view = hit;
    touch.window = window;
    touch.locationInWindow = view->convertPointToView(b.center(), nullptr);
    hit->touchesBegan(touch);
    hit->touchesEnded(touch);
    return true;
}

bool tapText(const std::string& text) {
    return tap(findView(text));
}

}  // namespace UITree
