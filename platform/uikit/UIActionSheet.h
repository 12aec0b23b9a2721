// The platform's action sheet: an optional title over a column of buttons at the bottom of the screen
// (see UIDialogs.h for showing, stacking and closing).
//
// Button indexes, in the platform's order: the destructive button first (0), then the other titles in
// their order, then the cancel button last. A nullopt title means no such button; an empty one is a button
// without text.
#pragma once

#include <optional>

#include "platform/uikit/UIDialogs.h"
#include "platform/uikit/UILabel.h"

class UIActionSheet;

// Every method is optional; without a delegate the sheet just closes.
class UIActionSheetDelegate {
  public:
    virtual ~UIActionSheetDelegate() = default;
    virtual void clickedButtonAtIndex(UIActionSheet&, long /*buttonIndex*/) {}
    virtual void willDismissWithButtonIndex(UIActionSheet&, long /*buttonIndex*/) {}
    virtual void didDismissWithButtonIndex(UIActionSheet&, long /*buttonIndex*/) {}
};

class UIActionSheet : public UIDialogView {
  public:
    static std::shared_ptr<UIActionSheet> create(std::string title,
                                                 std::weak_ptr<UIActionSheetDelegate> delegate,
                                                 std::optional<std::string> cancelButtonTitle,
                                                 std::optional<std::string> destructiveButtonTitle,
                                                 std::vector<std::string> otherButtonTitles = {});

    const std::string& title() const { return title_; }
    std::shared_ptr<UIActionSheetDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UIActionSheetDelegate> delegate) { delegate_ = std::move(delegate); }

    long cancelButtonIndex() const { return cancelIndex_; }            // -1 when there is none
    long destructiveButtonIndex() const { return destructiveIndex_; }  // -1 when there is none
    long firstOtherButtonIndex() const { return firstOtherIndex_; }    // -1 when there is none

    // Shows the sheet over the window of `view`; a view in no window is refused with a console message.
    void showInView(const std::shared_ptr<UIView>& view);

    std::string dialogTitle() const override { return title_; }

  protected:
    UIActionSheet() = default;
    void notifyClicked(long index) override;
    void notifyWillDismiss(long index) override;
    void notifyDidDismiss(long index) override;
    void arrange() override;

  private:
    std::string title_;
    std::weak_ptr<UIActionSheetDelegate> delegate_;
    long cancelIndex_ = -1;
    long destructiveIndex_ = -1;
    long firstOtherIndex_ = -1;
    UILabelPtr titleLabel_;
};

using UIActionSheetPtr = std::shared_ptr<UIActionSheet>;
