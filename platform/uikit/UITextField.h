// A one-line text input.
//
// Editing. A tap (or `becomeFirstResponder`) starts editing; `resignFirstResponder` ends it. Only one
// responder is first at a time, so starting to edit one field ends the editing of another. In order:
//   begin: textFieldShouldBeginEditing (NO: nothing happens), the field becomes first responder (the
//          previous first responder resigns first; it may refuse, and then nothing happens either),
//          UITextFieldTextDidBeginEditingNotification, textFieldDidBeginEditing, the editing-did-begin
//          event, UIKeyboardWillShowNotification, UIKeyboardDidShowNotification;
//   end:   textFieldShouldEndEditing (NO: editing goes on), UIKeyboardWillHideNotification,
//          textFieldDidEndEditing, UITextFieldTextDidEndEditingNotification, the editing-did-end event,
//          UIKeyboardDidHideNotification.
// A field taken out of its window ends editing without being asked. When editing passes straight to
// another text input the keyboard stays up (see UIKeyboard.h).
//
// Changes by the keyboard (typing, delete, paste) are offered first to
// shouldChangeCharactersInRange(range, replacement), ranges in UTF-16 units of the current text: typing
// replaces the selection (a caret at the end by default), delete removes the selection or the character
// before the caret (both units of a character outside the basic plane), paste puts the pasteboard's
// string in place of the selection. An accepted change updates the text and the caret, then sends the
// editing-changed event and posts UITextFieldTextDidChangeNotification (sender: the field). Setting `text`
// from code asks and tells nobody. The return key asks textFieldShouldReturn; on YES the field sends
// editing-did-end-on-exit and, when something listens for that event, ends editing. The clear button asks
// textFieldShouldClear, then empties the field with the same event and notification.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/TextUtil.h"
#include "platform/graphics/UIFont.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UILabel.h"

class UITextField;

inline constexpr const char* UITextFieldTextDidBeginEditingNotification =
    "UITextFieldTextDidBeginEditingNotification";
inline constexpr const char* UITextFieldTextDidEndEditingNotification =
    "UITextFieldTextDidEndEditingNotification";
inline constexpr const char* UITextFieldTextDidChangeNotification = "UITextFieldTextDidChangeNotification";

enum class UITextBorderStyle { None = 0, Line, Bezel, RoundedRect };
enum class UITextFieldViewMode { Never = 0, WhileEditing, UnlessEditing, Always };

// Every method is optional; the defaults allow everything.
class UITextFieldDelegate {
  public:
    virtual ~UITextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(UITextField&) { return true; }
    virtual void textFieldDidBeginEditing(UITextField&) {}
    virtual bool textFieldShouldEndEditing(UITextField&) { return true; }
    virtual void textFieldDidEndEditing(UITextField&) {}
    virtual bool shouldChangeCharactersInRange(UITextField&, NSRange /*range*/,
                                               const std::string& /*replacement*/) {
        return true;
    }
    virtual bool textFieldShouldClear(UITextField&) { return true; }
    virtual bool textFieldShouldReturn(UITextField&) { return true; }
};

class UITextField : public UIControl, public UIKeyInput {
  public:
    static std::shared_ptr<UITextField> create(CGRect frame = CGRectZero);

    const std::string& text() const { return text_; }
    void setText(std::string text);
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(std::string placeholder) { placeholder_ = std::move(placeholder); }
    UIFontPtr font() const { return font_; }
    void setFont(UIFontPtr font);  // nil: the system font of 17
    UIColorPtr textColor() const { return textColor_; }
    void setTextColor(UIColorPtr color) { textColor_ = color ? std::move(color) : UIColor::blackColor(); }
    NSTextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(NSTextAlignment alignment) { alignment_ = alignment; }
    UITextBorderStyle borderStyle() const { return borderStyle_; }
    void setBorderStyle(UITextBorderStyle style) { borderStyle_ = style; }
    bool isSecureTextEntry() const { return secure_; }
    void setSecureTextEntry(bool secure) { secure_ = secure; }
    UIKeyboardType keyboardType() const { return keyboardType_; }
    void setKeyboardType(UIKeyboardType type) { keyboardType_ = type; }

    UITextFieldViewMode clearButtonMode() const { return clearButtonMode_; }
    void setClearButtonMode(UITextFieldViewMode mode);
    std::shared_ptr<UIView> leftView() const { return leftView_; }
    void setLeftView(const std::shared_ptr<UIView>& view);
    UITextFieldViewMode leftViewMode() const { return leftViewMode_; }
    void setLeftViewMode(UITextFieldViewMode mode);
    std::shared_ptr<UIView> rightView() const { return rightView_; }
    void setRightView(const std::shared_ptr<UIView>& view);
    UITextFieldViewMode rightViewMode() const { return rightViewMode_; }
    void setRightViewMode(UITextFieldViewMode mode);
    // The clear button while it shows (per its mode, with text in the field), else nullptr.
    std::shared_ptr<UIButton> visibleClearButton() const;

    std::shared_ptr<UITextFieldDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UITextFieldDelegate> delegate) { delegate_ = std::move(delegate); }

    bool isEditing() const { return editing_; }
    // The selection in UTF-16 units (length 0: the caret). Out-of-range values are clamped to the text,
    // and a position inside a character outside the basic plane moves to its start.
    NSRange selectedRange() const { return selection_; }
    void setSelectedRange(NSRange range);

    // Editing as described above.
    bool canBecomeFirstResponder() const override;
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    bool hasText() const override { return !text_.empty(); }
    void insertText(const std::string& text) override;
    void deleteBackward() override;
    void paste() override;
    // What the clear button does.
    void clearText();

    void touchesEnded(const UITouch& touch) override;
    void layoutSubviews() override;
    // The text as shown (bullets for secure entry), or the placeholder when empty.
    std::string displayedText() const override;

  protected:
    explicit UITextField(CGRect frame);
    std::string dumpDetails() const override;

  private:
    // Offers the change to the delegate and applies it; false when refused or invalid.
    bool replace(NSRange range, const std::string& replacement);
    // The bytes of text_ that `range` covers; nullopt when it runs past the end or splits a pair.
    std::optional<std::pair<size_t, size_t>> byteRange(NSRange range) const;
    void textChanged();
    bool shows(UITextFieldViewMode mode) const;
    void updateAccessoryViews();
    void pressReturn();

    std::string text_;
    std::string placeholder_;
    UIFontPtr font_;
    UIColorPtr textColor_;
    NSTextAlignment alignment_ = NSTextAlignment::Natural;
    UITextBorderStyle borderStyle_ = UITextBorderStyle::None;
    bool secure_ = false;
    UIKeyboardType keyboardType_ = UIKeyboardType::Default;
    UITextFieldViewMode clearButtonMode_ = UITextFieldViewMode::Never;
    std::shared_ptr<UIView> leftView_, rightView_;
    UITextFieldViewMode leftViewMode_ = UITextFieldViewMode::Never;
    UITextFieldViewMode rightViewMode_ = UITextFieldViewMode::Never;
    std::shared_ptr<UIButton> clearButton_;
    std::weak_ptr<UITextFieldDelegate> delegate_;
    bool editing_ = false;
    NSRange selection_;
    std::optional<size_t> caretByte_ = 0;  // where selection_ starts in text_, while it is a known caret
};

using UITextFieldPtr = std::shared_ptr<UITextField>;
