// Dialogs of the platform (alert views and action sheets) and the finger that answers them.
//
// A shown dialog lives in the dialog window, which sits above the application's windows (level
// UIWindowLevelAlert), dims them, and is the key window while any dialog shows. Dialogs stack: the newest
// shows and those beneath wait hidden until it closes. A button press, by a tap on the button or by
// `UIDialogs::press`, tells the delegate: clicked(index), then willDismiss(index); the dialog fades out over
// UIDialogFadeDuration on the clock and is removed, then didDismiss(index). Programmatic dismissal
// (`dismissWithClickedButtonIndex`) skips the click call. A dialog answers once; presses after the first are
// ignored. The dialog window holds the dialogs it shows, so a dialog need not be kept by its caller.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIViewController.h"

class UIWindow;

inline constexpr double UIDialogFadeDuration = 0.2;

// What alert views and action sheets share: titled buttons by index, showing and closing.
class UIDialogView : public UIView {
  public:
    ~UIDialogView() override;

    long numberOfButtons() const { return long(buttons_.size()); }
    // "" for an index out of range.
    std::string buttonTitleAtIndex(long index) const;
    // Adds a button after the others and returns its index.
    long addButtonWithTitle(const std::string& title);
    // The button view of an index (nullptr when out of range).
    std::shared_ptr<UIButton> buttonAtIndex(long index) const;

    // Shown and not yet answered.
    bool isVisible() const { return shown_ && !closing_; }
    // Closes as if the button had been pressed, without the click call. Out-of-range indexes are passed to
    // the delegate as they are, as the platform does.
    void dismissWithClickedButtonIndex(long index, Animated animated);
    // Presses a button as a tap would; false when the dialog is not visible or the index is out of range.
    bool pressButtonAtIndex(long index);

    virtual std::string dialogTitle() const = 0;
    virtual std::string dialogMessage() const { return ""; }

  protected:
    UIDialogView();
    // Puts the dialog into the dialog window (false, with a console message, when already shown).
    bool present();
    virtual void notifyClicked(long index) = 0;
    virtual void notifyWillDismiss(long index) = 0;
    virtual void notifyDidDismiss(long index) = 0;
    // Positions the subviews and the dialog in its window.
    virtual void arrange() = 0;
    virtual void didPresent() {}
    std::string dumpDetails() const override;

    std::vector<std::shared_ptr<UIButton>> buttons_;

  private:
    void close(long index, Animated animated, bool clicked);
    void finishClose(long index);

    bool shown_ = false;
    bool closing_ = false;
};

namespace UIDialogs {

// The dialog showing now (the newest visible one), or nullptr.
std::shared_ptr<UIDialogView> visible();
std::vector<std::string> buttonTitles();  // of the visible dialog; empty when none
bool press(long index);                   // presses a button of the visible dialog
// The dialog window, while some dialog is shown (for tests of the tree).
std::shared_ptr<UIWindow> window();
// Removes every dialog at once, telling nobody (between tests).
void dismissAllForTesting();

}  // namespace UIDialogs
