#include "platform/uikit/UIKeyboard.h"

#include <algorithm>
#include <memory>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/TextUtil.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIView.h"

namespace {

struct KeyboardState {
    bool visible = false;
    bool hiding = false;  // between will-hide and did-hide
    int handOvers = 0;
    UIKeyboardType type = UIKeyboardType::Default;
};

KeyboardState& state() {
    static auto* s = new KeyboardState();
    return *s;
}

CGRect shownFrame() {
    CGRect screen = UIScreen::mainScreen().bounds();
    return CGRectMake(0, screen.size.height - UIKeyboardHeight, screen.size.width, UIKeyboardHeight);
}

CGRect hiddenFrame() {
    CGRect screen = UIScreen::mainScreen().bounds();
    return CGRectMake(0, screen.size.height, screen.size.width, UIKeyboardHeight);
}

void post(const char* name, CGRect begin, CGRect end) {
    Value::Dictionary info;
    info[UIKeyboardFrameBeginUserInfoKey] = Value(NSStringFromCGRect(begin));
    info[UIKeyboardFrameEndUserInfoKey] = Value(NSStringFromCGRect(end));
    info[UIKeyboardAnimationDurationUserInfoKey] = Value(UIKeyboardAnimationDuration);
    info[UIKeyboardAnimationCurveUserInfoKey] = Value(UIKeyboardAnimationCurve);
    NSNotificationCenter::defaultCenter().post(name, nullptr, std::move(info));
}

std::shared_ptr<UIKeyInput> keyInput() {
    auto responder = UIResponder::firstResponder();
    return std::dynamic_pointer_cast<UIKeyInput>(responder);
}

}  // namespace

bool UIKeyboard::isVisible() {
    return state().visible;
}
CGRect UIKeyboard::frame() {
    return state().visible ? shownFrame() : hiddenFrame();
}
UIKeyboardType UIKeyboard::keyboardType() {
    return state().type;
}

void UIKeyboard::show(UIKeyboardType type) {
    UIAssertMainThread();
    auto& s = state();
    CGRect begin = s.visible ? shownFrame() : hiddenFrame();
    s.visible = true;
    s.hiding = false;
    s.type = type;
    post(UIKeyboardWillShowNotification, begin, shownFrame());
    post(UIKeyboardDidShowNotification, begin, shownFrame());
}

void UIKeyboard::willHide() {
    UIAssertMainThread();
    auto& s = state();
    if (!s.visible || s.handOvers > 0) return;
    s.visible = false;
    s.hiding = true;
    post(UIKeyboardWillHideNotification, shownFrame(), hiddenFrame());
}

void UIKeyboard::didHide() {
    auto& s = state();
    if (!s.hiding) return;
    s.hiding = false;
    post(UIKeyboardDidHideNotification, shownFrame(), hiddenFrame());
}

UIKeyboard::HandOver::HandOver() {
    ++state().handOvers;
}
UIKeyboard::HandOver::~HandOver() {
    --state().handOvers;
}
bool UIKeyboard::isHandingOver() {
    return state().handOvers > 0;
}

void UIKeyboard::resetForTesting() {
    auto& s = state();
    s.visible = false;
    s.hiding = false;
    s.type = UIKeyboardType::Default;
}

bool UIKeyboard::typeText(const std::string& text) {
    UIAssertMainThread();
    if (!keyInput()) return false;
    // The text is read front to back once: each character (or run) is measured where it starts. A pair of
    // UTF-16 units outside the basic plane is one character.
    const std::string_view rest(text);
    for (size_t at = 0; at < rest.size();) {
        auto input = keyInput();  // the first responder may change while typing (return ends editing)
        if (!input) return true;
        size_t length = 0;
        if (rest[at] == '\n') {
            length = 1;
        } else if (input->typing() == UIKeyInput::Typing::PerRun) {
            length = std::min(rest.find('\n', at), rest.size()) - at;
        } else {
            const std::string_view window = rest.substr(at, 4);  // a UTF-8 character takes at most 4 bytes
            auto units = TextUtil::utf8Offset(window, 1);
            if (!units) units = TextUtil::utf8Offset(window, 2);  // the first half of a pair
            if (!units || *units == 0) return true;
            length = *units;
        }
        input->insertText(std::string(rest.substr(at, length)));
        at += length;
    }
    return true;
}

bool UIKeyboard::pressDelete() {
    UIAssertMainThread();
    auto input = keyInput();
    if (!input) return false;
    input->deleteBackward();
    return true;
}

bool UIKeyboard::paste() {
    UIAssertMainThread();
    auto input = keyInput();
    if (!input) return false;
    input->paste();
    return true;
}
