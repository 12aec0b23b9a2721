#include "platform/uikit/UIView.h"

#include <cxxabi.h>
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <typeinfo>

#include "platform/foundation/Console.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

void UIAssertMainThread() {
    assert(NSRunLoop::isMainThread() && "UIKit objects are main-thread only");
}

// ---- touches and responders ----

CGPoint UITouch::locationInView(const std::shared_ptr<UIView>& target) const {
    auto win = window.lock();
    if (!target || !win) return locationInWindow;
    return target->convertPointFromView(locationInWindow, win);
}

bool UITouch::isInside(const std::shared_ptr<UIView>& target) const {
    if (!target) return false;
    if (direct && view.lock() == target) return true;
    return target->pointInside(locationInView(target));
}

void UIResponder::touchesBegan(const UITouch& touch) {
    if (auto next = nextResponder()) next->touchesBegan(touch);
}
void UIResponder::touchesEnded(const UITouch& touch) {
    if (auto next = nextResponder()) next->touchesEnded(touch);
}
void UIResponder::touchesCancelled(const UITouch& touch) {
    if (auto next = nextResponder()) next->touchesCancelled(touch);
}

namespace {
std::weak_ptr<UIResponder>& firstResponderSlot() {
    static std::weak_ptr<UIResponder> slot;
    return slot;
}
}  // namespace

bool UIResponder::becomeFirstResponder() {
    UIAssertMainThread();
    if (!canBecomeFirstResponder()) return false;
    auto current = firstResponderSlot().lock();
    if (current.get() == this) return true;
    if (current && !current->resignFirstResponder()) return false;
    firstResponderSlot() = std::static_pointer_cast<UIResponder>(shared_from_this());
    didBecomeFirstResponder();
    return true;
}

bool UIResponder::resignFirstResponder() {
    if (firstResponderSlot().lock().get() != this) return true;
    firstResponderSlot().reset();
    didResignFirstResponder();
    return true;
}

bool UIResponder::isFirstResponder() const {
    return firstResponderSlot().lock().get() == this;
}
std::shared_ptr<UIResponder> UIResponder::firstResponder() {
    return firstResponderSlot().lock();
}

// ---- constraints ----

std::shared_ptr<NSLayoutConstraint> NSLayoutConstraint::constraintWithItem(
    const std::shared_ptr<UIView>& firstItem, NSLayoutAttribute firstAttribute, NSLayoutRelation relation,
    const std::shared_ptr<UIView>& secondItem, NSLayoutAttribute secondAttribute, CGFloat multiplier,
    CGFloat constant) {
    auto c = std::shared_ptr<NSLayoutConstraint>(new NSLayoutConstraint());
    c->firstItem_ = firstItem;
    c->firstAttribute_ = firstAttribute;
    c->relation_ = relation;
    c->secondItem_ = secondItem;
    c->secondAttribute_ = secondItem ? secondAttribute : NSLayoutAttribute::NotAnAttribute;
    c->multiplier_ = multiplier;
    c->constant_ = constant;
    return c;
}

bool NSLayoutConstraint::setActive(bool active) {
    auto self = std::static_pointer_cast<NSLayoutConstraint>(shared_from_this());
    if (!active) {
        if (auto owner = installedIn_.lock()) owner->removeConstraint(self);
        return true;
    }
    if (isActive()) return true;
    auto first = firstItem_.lock();
    auto second = secondItem_.lock();
    if (!first) return false;
    std::shared_ptr<UIView> target;
    if (!second) {
        target = first;
    } else {
        for (auto v = first; v && !target; v = v->superview()) {
            if (second->isDescendantOfView(v)) target = v;
        }
    }
    if (!target) {
        NSLog("Unable to activate constraint: its items have no common ancestor.");
        return false;
    }
    target->addConstraint(self);
    return true;
}

std::string NSLayoutConstraint::description() const {
    auto name = [](const std::shared_ptr<UIView>& v) { return v ? v->className() : std::string("nil"); };
    std::string rel = relation_ == NSLayoutRelation::Equal             ? "=="
                      : relation_ == NSLayoutRelation::LessThanOrEqual ? "<="
                                                                       : ">=";
    return "<NSLayoutConstraint " + name(firstItem()) + "." + std::to_string(int(firstAttribute_)) + " " +
           rel + " " + name(secondItem()) + "." + std::to_string(int(secondAttribute_)) + " * " +
           valuetext::formatDouble(multiplier_) + " + " + valuetext::formatDouble(constant_) + ">";
}

// ---- the view ----

UIView::UIView(CGRect frame) : frame_(frame) {}

UIView::~UIView() {
    for (auto& sub : subviews_) sub->superview_.reset();
}

std::shared_ptr<UIView> UIView::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<UIView>(new UIView(frame));
}

std::string UIView::className() const {
    return UIClassNameOf(*this);
}

std::string UIClassNameOf(const Object& object) {
    const char* mangled = typeid(object).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    return name;
}

void UIView::setFrame(CGRect frame) {
    noteAnimatableChange("frame");
    if (frame.size != frame_.size) setNeedsLayout();
    frame_ = frame;
}

void UIView::setBounds(CGRect bounds) {
    noteAnimatableChange("bounds");
    CGPoint c = center();
    if (bounds.size != frame_.size) setNeedsLayout();
    boundsOrigin_ = bounds.origin;
    frame_ = {{c.x - bounds.size.width / 2, c.y - bounds.size.height / 2}, bounds.size};
}

void UIView::setCenter(CGPoint center) {
    noteAnimatableChange("center");
    frame_.origin = {center.x - frame_.size.width / 2, center.y - frame_.size.height / 2};
}

void UIView::setAlpha(CGFloat alpha) {
    noteAnimatableChange("alpha");
    alpha_ = alpha < 0 ? 0 : alpha > 1 ? 1 : alpha;
}

void UIView::setHidden(bool hidden) {
    hidden_ = hidden;
}

void UIView::setBackgroundColor(UIColorPtr color) {
    noteAnimatableChange("backgroundColor");
    backgroundColor_ = std::move(color);
}

UIColorPtr UIView::tintColor() const {
    if (tintColor_) return tintColor_;
    if (auto sup = superview()) return sup->tintColor();
    return UIColor::colorWithRed(0, 122.0 / 255, 1, 1);
}

std::shared_ptr<UIWindow> UIView::window() const {
    for (auto v = superview(); v; v = v->superview()) {
        if (auto w = std::dynamic_pointer_cast<UIWindow>(v)) return w;
    }
    return nullptr;
}

bool UIView::isDescendantOfView(const std::shared_ptr<UIView>& view) const {
    if (!view) return false;
    for (const UIView* v = this; v;) {
        if (v == view.get()) return true;
        auto sup = v->superview_.lock();
        v = sup.get();
    }
    return false;
}

void UIView::propagateWillMoveToWindow(const std::shared_ptr<UIWindow>& window) {
    willMoveToWindow(window);
    auto children = subviews_;
    for (auto& child : children) child->propagateWillMoveToWindow(window);
}

void UIView::propagateDidMoveToWindow() {
    didMoveToWindow();
    auto children = subviews_;
    for (auto& child : children) child->propagateDidMoveToWindow();
}

void UIView::moveHere(const std::shared_ptr<UIView>& view, size_t index) {
    UIAssertMainThread();
    if (!view || view.get() == this || isDescendantOfView(view)) {
        NSLog("Cannot add a view to itself or to one of its own subviews; ignored.");
        return;
    }
    auto self = shared_from_this();
    auto holder = view;  // keeps the view alive while hooks run
    auto oldSuper = view->superview();
    if (oldSuper.get() == this) {
        // Re-adding a subview only moves it.
        auto& subs = subviews_;
        subs.erase(std::find(subs.begin(), subs.end(), view));
        subs.insert(subs.begin() + std::min(index, subs.size()), view);
        return;
    }
    auto newWindow = std::dynamic_pointer_cast<UIWindow>(self);
    if (!newWindow) newWindow = window();
    auto oldWindow = view->window();
    bool windowChanges = oldWindow != newWindow;

    auto me = std::static_pointer_cast<UIView>(self);
    view->willMoveToSuperview(me);
    if (windowChanges) view->propagateWillMoveToWindow(newWindow);

    // Hooks may have moved the view already; take it from wherever it is now.
    if (auto current = view->superview()) {
        current->willRemoveSubview(view);
        auto& subs = current->subviews_;
        auto it = std::find(subs.begin(), subs.end(), view);
        if (it != subs.end()) subs.erase(it);
        current->detachConstraintsReferencing(*view);
    }
    subviews_.insert(subviews_.begin() + std::min(index, subviews_.size()), view);
    view->superview_ = me;
    setNeedsLayout();

    didAddSubview(view);
    view->didMoveToSuperview();
    if (windowChanges) view->propagateDidMoveToWindow();
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
    moveHere(view, subviews_.size());
}

void UIView::insertSubview(const std::shared_ptr<UIView>& view, size_t index) {
    moveHere(view, index);
}

void UIView::insertSubviewAbove(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling) {
    auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
    if (it == subviews_.end()) return addSubview(view);
    size_t index = size_t(it - subviews_.begin()) + 1;
    // When the view is already a subview below the sibling, removing it first shifts the sibling down.
    auto own = std::find(subviews_.begin(), subviews_.end(), view);
    if (own != subviews_.end() && own < it) --index;
    moveHere(view, index);
}

void UIView::insertSubviewBelow(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling) {
    auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
    if (it == subviews_.end()) return addSubview(view);
    size_t index = size_t(it - subviews_.begin());
    auto own = std::find(subviews_.begin(), subviews_.end(), view);
    if (own != subviews_.end() && own < it) --index;
    moveHere(view, index);
}

void UIView::removeFromSuperview() {
    UIAssertMainThread();
    auto sup = superview();
    if (!sup) return;
    auto self = std::static_pointer_cast<UIView>(shared_from_this());
    auto oldWindow = window();
    willMoveToSuperview(nullptr);
    if (oldWindow) propagateWillMoveToWindow(nullptr);
    sup = superview();  // a hook may have moved the view
    if (!sup) return;
    sup->willRemoveSubview(self);
    auto& subs = sup->subviews_;
    auto it = std::find(subs.begin(), subs.end(), self);
    if (it != subs.end()) subs.erase(it);
    superview_.reset();
    sup->setNeedsLayout();
    sup->detachConstraintsReferencing(*this);
    didMoveToSuperview();
    if (oldWindow) propagateDidMoveToWindow();
    // The first responder gives up the keyboard when it leaves the screen with any of its superviews.
    if (auto responder = std::dynamic_pointer_cast<UIView>(firstResponder());
        responder && responder->isDescendantOfView(self))
        responder->resignFirstResponder();
}

void UIView::detachConstraintsReferencing(const UIView& removed) {
    auto involves = [&](const std::shared_ptr<UIView>& item) {
        return item && item->isDescendantOfView(std::const_pointer_cast<UIView>(
                           std::static_pointer_cast<const UIView>(removed.shared_from_this())));
    };
    for (auto v = std::static_pointer_cast<UIView>(shared_from_this()); v; v = v->superview()) {
        std::vector<NSLayoutConstraintPtr> keep;
        for (auto& c : v->constraints_) {
            if (involves(c->firstItem()) || involves(c->secondItem()))
                c->installedIn_.reset();
            else
                keep.push_back(c);
        }
        v->constraints_ = std::move(keep);
    }
}

void UIView::bringSubviewToFront(const std::shared_ptr<UIView>& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end()) return;
    subviews_.erase(it);
    subviews_.push_back(view);
}

void UIView::sendSubviewToBack(const std::shared_ptr<UIView>& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end()) return;
    subviews_.erase(it);
    subviews_.insert(subviews_.begin(), view);
}

std::shared_ptr<UIView> UIView::viewWithTag(long tag) {
    if (tag_ == tag) return std::static_pointer_cast<UIView>(shared_from_this());
    for (auto& sub : subviews_) {
        if (auto found = sub->viewWithTag(tag)) return found;
    }
    return nullptr;
}

void UIView::willMoveToSuperview(const std::shared_ptr<UIView>&) {}
void UIView::didMoveToSuperview() {}
void UIView::willMoveToWindow(const std::shared_ptr<UIWindow>&) {}
void UIView::didMoveToWindow() {}
void UIView::didAddSubview(const std::shared_ptr<UIView>&) {}
void UIView::willRemoveSubview(const std::shared_ptr<UIView>&) {}

void UIView::addConstraint(const NSLayoutConstraintPtr& constraint) {
    if (!constraint) return;
    if (auto owner = constraint->installedIn_.lock()) {
        if (owner.get() == this) return;
        owner->removeConstraint(constraint);
    }
    constraints_.push_back(constraint);
    constraint->installedIn_ = std::static_pointer_cast<UIView>(shared_from_this());
    setNeedsLayout();
}

void UIView::addConstraints(const std::vector<NSLayoutConstraintPtr>& constraints) {
    for (auto& c : constraints) addConstraint(c);
}

void UIView::removeConstraint(const NSLayoutConstraintPtr& constraint) {
    auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
    if (it == constraints_.end()) return;
    (*it)->installedIn_.reset();
    constraints_.erase(it);
    setNeedsLayout();
}

void UIView::removeConstraints(const std::vector<NSLayoutConstraintPtr>& constraints) {
    for (auto& c : constraints) removeConstraint(c);
}

void UIView::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    auto children = subviews_;
    for (auto& child : children) child->layoutIfNeeded();
}

CGSize UIView::sizeThatFits(CGSize) const {
    return frame_.size;
}

void UIView::sizeToFit() {
    CGSize size = sizeThatFits(frame_.size);
    setBounds({boundsOrigin_, size});
}

bool UIView::pointInside(CGPoint point) const {
    return bounds().contains(point);
}

std::shared_ptr<UIView> UIView::hitTest(CGPoint point) {
    if (hidden_ || alpha_ < 0.01 || !userInteractionEnabled_) return nullptr;
    if (!pointInside(point)) return nullptr;
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        const auto& sub = *it;
        CGPoint p{point.x - sub->frame_.origin.x + sub->boundsOrigin_.x,
                  point.y - sub->frame_.origin.y + sub->boundsOrigin_.y};
        if (auto hit = sub->hitTest(p)) return hit;
    }
    return std::static_pointer_cast<UIView>(shared_from_this());
}

CGPoint UIView::convertPointToScreen(CGPoint point) const {
    for (const UIView* v = this; v;) {
        point = {point.x - v->boundsOrigin_.x + v->frame_.origin.x,
                 point.y - v->boundsOrigin_.y + v->frame_.origin.y};
        auto sup = v->superview_.lock();
        v = sup.get();
    }
    return point;
}

namespace {
CGPoint screenToView(CGPoint point, const UIView& view) {
    std::vector<const UIView*> chain;
    for (const UIView* v = &view; v;) {
        chain.push_back(v);
        auto sup = v->superview();
        v = sup.get();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const UIView* v = *it;
        point = {point.x - v->frame().origin.x + v->bounds().origin.x,
                 point.y - v->frame().origin.y + v->bounds().origin.y};
    }
    return point;
}
}  // namespace

CGPoint UIView::convertPointToView(CGPoint point, const std::shared_ptr<UIView>& view) const {
    CGPoint screen = convertPointToScreen(point);
    if (view) return screenToView(screen, *view);
    auto win = window();
    if (win) return screenToView(screen, *win);
    // A window converts to screen coordinates; a detached tree to its root's coordinates.
    if (dynamic_cast<const UIWindow*>(this)) return screen;
    const UIView* root = this;
    while (auto sup = root->superview()) root = sup.get();
    return screenToView(screen, *root);
}

CGPoint UIView::convertPointFromView(CGPoint point, const std::shared_ptr<UIView>& view) const {
    CGPoint screen = view ? view->convertPointToScreen(point) : point;
    if (!view) {
        if (auto win = window()) screen = win->convertPointToScreen(point);
    }
    return screenToView(screen, *this);
}

CGRect UIView::convertRectToView(CGRect rect, const std::shared_ptr<UIView>& view) const {
    return {convertPointToView(rect.origin, view), rect.size};
}

void UIView::setAssociatedValue(const void* key, Value value) {
    if (value.isNull())
        associated_.erase(key);
    else
        associated_[key] = std::move(value);
}

Value UIView::associatedValue(const void* key) const {
    auto it = associated_.find(key);
    if (it == associated_.end()) return Value();
    if (auto* v = std::any_cast<Value>(&it->second)) return *v;
    return Value();
}

std::shared_ptr<UIResponder> UIView::nextResponder() const {
    if (auto vc = controller_.lock()) return vc;
    return superview();
}

namespace {
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out + "\"";
}
}  // namespace

std::string UIView::dumpLine() const {
    std::string line = className() + " frame=" + NSStringFromCGRect(frame_);
    if (alpha_ != 1) line += " alpha=" + valuetext::formatDouble(alpha_);
    if (hidden_) line += " hidden";
    line += dumpDetails();
    if (!accessibilityLabel_.empty()) line += " label=" + quoted(accessibilityLabel_);
    return line;
}

std::string UIDumpQuoted(const std::string& text) {
    return quoted(text);
}
