// Block animations on the headless tree.
//
// Nothing moves on screen, so an animation is only its bookkeeping: the (view, property) pairs changed in
// the block, and a one-shot timer on the main run loop at delay + duration that runs the completion. A later
// animation of the same property of the same view takes that property over; an animation left without
// properties completes with finished NO on the next turn of the run loop.
#include <algorithm>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIView.h"

namespace {

struct AnimatedProperty {
    std::weak_ptr<UIView> view;
    std::string name;
    bool same(const std::weak_ptr<UIView>& v, const std::string& n) const {
        return name == n && !view.owner_before(v) && !v.owner_before(view);
    }
};

struct Animation {
    std::vector<AnimatedProperty> properties;
    double duration = 0;
    double delay = 0;
    UIViewAnimationOptions options = 0;
    double endTime = 0;
    std::function<void(bool)> completion;
    std::shared_ptr<NSTimer> timer;
    bool interrupted = false;
};

struct AnimationState {
    std::vector<std::vector<AnimatedProperty>*> blocks;  // open animation blocks, innermost last
    int suppressed = 0;                                  // performWithoutAnimation depth
    std::vector<std::shared_ptr<Animation>> inFlight;
};

AnimationState& state() {
    static auto* s = new AnimationState();
    return *s;
}

void removeFromFlight(const std::shared_ptr<Animation>& animation) {
    auto& list = state().inFlight;
    list.erase(std::remove(list.begin(), list.end(), animation), list.end());
    if (animation->timer) animation->timer->invalidate();
    animation->timer.reset();
}

void finishAtEnd(const std::weak_ptr<Animation>& weak) {
    auto animation = weak.lock();
    if (!animation) return;
    auto& list = state().inFlight;
    if (std::find(list.begin(), list.end(), animation) == list.end()) return;
    removeFromFlight(animation);
    if (animation->completion) animation->completion(!animation->interrupted);
}

void takeOver(const AnimatedProperty& property) {
    auto list = state().inFlight;
    for (auto& animation : list) {
        auto& props = animation->properties;
        auto before = props.size();
        props.erase(
            std::remove_if(props.begin(), props.end(),
                           [&](const AnimatedProperty& p) { return p.same(property.view, property.name); }),
            props.end());
        if (props.size() == before) continue;
        animation->interrupted = true;
        if (props.empty()) {
            removeFromFlight(animation);
            if (animation->completion) {
                NSRunLoop::main().perform(
                    [completion = std::move(animation->completion)] { completion(false); });
            }
        }
    }
}

}  // namespace

void UIView::noteAnimatableChange(const char* property) {
    auto& s = state();
    if (s.blocks.empty() || s.suppressed > 0) return;
    std::weak_ptr<UIView> me = std::static_pointer_cast<UIView>(shared_from_this());
    auto& props = *s.blocks.back();
    for (auto& p : props) {
        if (p.same(me, property)) return;
    }
    props.push_back({me, property});
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations) {
    animateWithDuration(duration, 0, 0, animations, nullptr);
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations,
                                 std::function<void(bool finished)> completion) {
    animateWithDuration(duration, 0, 0, animations, std::move(completion));
}

void UIView::animateWithDuration(double duration, double delay, UIViewAnimationOptions options,
                                 const std::function<void()>& animations,
                                 std::function<void(bool finished)> completion) {
    UIAssertMainThread();
    auto& s = state();
    std::vector<AnimatedProperty> changed;
    s.blocks.push_back(&changed);
    if (animations) animations();
    s.blocks.pop_back();

    if (changed.empty()) {
        if (completion) NSRunLoop::main().perform([completion = std::move(completion)] { completion(true); });
        return;
    }
    for (auto& property : changed) takeOver(property);

    auto animation = std::make_shared<Animation>();
    animation->properties = std::move(changed);
    animation->duration = std::max(0.0, duration);
    animation->delay = std::max(0.0, delay);
    animation->options = options;
    animation->endTime = Clock::monotonic() + animation->delay + animation->duration;
    animation->completion = std::move(completion);
    std::weak_ptr<Animation> weak = animation;
    animation->timer =
        NSTimer::timerWithTimeInterval(animation->delay + animation->duration, Repeats::No,
                                       [weak](const std::shared_ptr<NSTimer>&) { finishAtEnd(weak); });
    s.inFlight.push_back(animation);
    NSRunLoop::main().addTimer(animation->timer, NSRunLoopCommonModes);
}

void UIView::performWithoutAnimation(const std::function<void()>& changes) {
    auto& s = state();
    ++s.suppressed;
    if (changes) changes();
    --s.suppressed;
}

std::vector<UIViewAnimationInfo> UIView::animationsInFlight() {
    std::vector<UIViewAnimationInfo> out;
    for (auto& animation : state().inFlight) {
        for (auto& p : animation->properties) {
            out.push_back({p.view, p.name, animation->duration, animation->delay, animation->options,
                           animation->endTime});
        }
    }
    return out;
}
