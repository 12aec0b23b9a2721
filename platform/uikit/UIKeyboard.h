// The on-screen keyboard and the keys a finger (a test, the headless device) presses on it.
//
// The keyboard rises when a text input becomes first responder and falls when the first responder resigns.
// Its notifications go to the default centre, sender nil, with this user info:
//   "UIKeyboardFrameBeginUserInfoKey", "UIKeyboardFrameEndUserInfoKey": frames in screen coordinates as
//   text, "{{x, y}, {w, h}}" (below the screen when hidden, at the bottom of the screen when shown);
//   "UIKeyboardAnimationDurationUserInfoKey": 0.25; "UIKeyboardAnimationCurveUserInfoKey": 7.
// Nothing moves headless, so each "Did" notification follows its "Will" at once, within the same call
// that shows or hides the keyboard (see UITextField.h for where they fall among the editing calls). When
// the first responder passes from one text input to another, the keyboard stays up: no hide notifications,
// and the show notifications are posted again for the new input, with equal begin and end frames.
#pragma once

#include <string>

#include "platform/graphics/Geometry.h"

inline constexpr const char* UIKeyboardWillShowNotification = "UIKeyboardWillShowNotification";
inline constexpr const char* UIKeyboardDidShowNotification = "UIKeyboardDidShowNotification";
inline constexpr const char* UIKeyboardWillHideNotification = "UIKeyboardWillHideNotification";
inline constexpr const char* UIKeyboardDidHideNotification = "UIKeyboardDidHideNotification";
inline constexpr const char* UIKeyboardFrameBeginUserInfoKey = "UIKeyboardFrameBeginUserInfoKey";
inline constexpr const char* UIKeyboardFrameEndUserInfoKey = "UIKeyboardFrameEndUserInfoKey";
inline constexpr const char* UIKeyboardAnimationDurationUserInfoKey =
    "UIKeyboardAnimationDurationUserInfoKey";
inline constexpr const char* UIKeyboardAnimationCurveUserInfoKey = "UIKeyboardAnimationCurveUserInfoKey";

inline constexpr double UIKeyboardAnimationDuration = 0.25;
inline constexpr long UIKeyboardAnimationCurve = 7;
inline constexpr CGFloat UIKeyboardHeight = 216;

enum class UIKeyboardType {
    Default = 0,
    ASCIICapable,
    NumbersAndPunctuation,
    URL,
    NumberPad,
    PhonePad,
    NamePhonePad,
    EmailAddress,
    DecimalPad,
    Twitter,
    WebSearch
};

// Text input that the keyboard can drive.
class UIKeyInput {
  public:
    virtual ~UIKeyInput() = default;
    virtual bool hasText() const = 0;
    virtual void insertText(const std::string& text) = 0;
    virtual void deleteBackward() = 0;
    // The pasteboard's string, as the edit menu's Paste does.
    virtual void paste() = 0;

    // How typed text arrives: a key press per character, or each run of text between returns as one
    // insertion (as a keyboard commits a word), for inputs where every edit costs a pass over all they hold.
    enum class Typing { PerCharacter, PerRun };
    virtual Typing typing() const { return Typing::PerCharacter; }
};

class UIKeyboard {
  public:
    static bool isVisible();
    // The frame on screen while visible, otherwise the frame just below the screen.
    static CGRect frame();
    // The type asked for by the input that raised the keyboard.
    static UIKeyboardType keyboardType();

    // Keys, for the first responder. Text is typed one character at a time (each character is its own
    // edit, as key presses are), or a run at a time where the input asks for it; "\n" is the return key.
    // False when no first responder takes key input.
    static bool typeText(const std::string& text);
    static bool pressDelete();
    static bool pressReturn() { return typeText("\n"); }
    static bool paste();

    // For text inputs: raising and lowering. While a HandOver is alive, lowering does nothing, so that the
    // keyboard stays up when the first responder passes between inputs.
    static void show(UIKeyboardType type);
    static void willHide();
    static void didHide();
    struct HandOver {
        HandOver();
        ~HandOver();
        HandOver(const HandOver&) = delete;
        HandOver& operator=(const HandOver&) = delete;
    };
    static bool isHandingOver();
    // Drops the keyboard without notifications (between tests).
    static void resetForTesting();
};
