// Controls: target-action for control events, and the button.
//
// A touch that begins in an enabled control highlights it and sends touch-down; the touch's end sends
// touch-up-inside when it ends within the bounds (touch-up-outside otherwise). Disabled controls send
// nothing. An action whose target is gone is skipped.
#pragma once

#include <functional>
#include <map>

#include "platform/graphics/UIImage.h"
#include "platform/uikit/UIView.h"

class UILabel;
class UIImageView;

using UIControlEvents = unsigned long;
inline constexpr UIControlEvents UIControlEventTouchDown = 1 << 0;
inline constexpr UIControlEvents UIControlEventTouchDownRepeat = 1 << 1;
inline constexpr UIControlEvents UIControlEventTouchDragInside = 1 << 2;
inline constexpr UIControlEvents UIControlEventTouchDragOutside = 1 << 3;
inline constexpr UIControlEvents UIControlEventTouchUpInside = 1 << 6;
inline constexpr UIControlEvents UIControlEventTouchUpOutside = 1 << 7;
inline constexpr UIControlEvents UIControlEventTouchCancel = 1 << 8;
inline constexpr UIControlEvents UIControlEventValueChanged = 1 << 12;
inline constexpr UIControlEvents UIControlEventEditingDidBegin = 1 << 16;
inline constexpr UIControlEvents UIControlEventEditingChanged = 1 << 17;
inline constexpr UIControlEvents UIControlEventEditingDidEnd = 1 << 18;
inline constexpr UIControlEvents UIControlEventEditingDidEndOnExit = 1 << 19;
inline constexpr UIControlEvents UIControlEventAllTouchEvents = 0x0FFF;
inline constexpr UIControlEvents UIControlEventAllEditingEvents = 0x000F0000;
inline constexpr UIControlEvents UIControlEventAllEvents = 0xFFFFFFFF;

using UIControlState = unsigned;
inline constexpr UIControlState UIControlStateNormal = 0;
inline constexpr UIControlState UIControlStateHighlighted = 1 << 0;
inline constexpr UIControlState UIControlStateDisabled = 1 << 1;
inline constexpr UIControlState UIControlStateSelected = 1 << 2;

class UIControl : public UIView {
  public:
    using Action = std::function<void(UIControl& sender)>;
    using ActionId = uint64_t;

    static std::shared_ptr<UIControl> create(CGRect frame = CGRectZero);

    // The action runs while `target` lives (an empty weak_ptr: for as long as the control lives).
    ActionId addTarget(std::weak_ptr<void> target, Action action, UIControlEvents events);
    ActionId addAction(Action action, UIControlEvents events) {
        return addTarget({}, std::move(action), events);
    }
    void removeAction(ActionId id);
    // Removes the target's actions for the given events (all events: UIControlEventAllEvents).
    void removeTarget(const std::weak_ptr<void>& target, UIControlEvents events);
    UIControlEvents allControlEvents() const;
    // Runs every action registered for any of `events`, in registration order.
    void sendActionsForControlEvents(UIControlEvents events);

    bool isEnabled() const { return enabled_; }
    virtual void setEnabled(bool enabled);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted);
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected);
    UIControlState state() const;

    void touchesBegan(const UITouch& touch) override;
    void touchesEnded(const UITouch& touch) override;
    void touchesCancelled(const UITouch& touch) override;

  protected:
    explicit UIControl(CGRect frame) : UIView(frame) {}
    virtual void stateChanged() {}

  private:
    struct Entry {
        ActionId id;
        bool hasTarget;
        std::weak_ptr<void> target;
        Action action;
        UIControlEvents events;
    };
    std::vector<Entry> actions_;
    ActionId nextId_ = 1;
    bool enabled_ = true;
    bool highlighted_ = false;
    bool selected_ = false;
    bool tracking_ = false;
};

enum class UIButtonType { Custom = 0, System = 1 };

class UIButton : public UIControl {
  public:
    static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);
    UIButtonType buttonType() const { return type_; }

    // Per-state values; a state without its own value shows the normal state's (a selected and
    // highlighted button first tries highlighted, then selected).
    void setTitle(const std::string& title, UIControlState state);
    std::string titleForState(UIControlState state) const;
    void setTitleColor(UIColorPtr color, UIControlState state);
    UIColorPtr titleColorForState(UIControlState state) const;
    void setImage(UIImagePtr image, UIControlState state);
    UIImagePtr imageForState(UIControlState state) const;
    void setBackgroundImage(UIImagePtr image, UIControlState state);
    UIImagePtr backgroundImageForState(UIControlState state) const;

    std::string currentTitle() const { return titleForState(state()); }
    UIColorPtr currentTitleColor() const { return titleColorForState(state()); }
    UIImagePtr currentImage() const { return imageForState(state()); }
    UIImagePtr currentBackgroundImage() const { return backgroundImageForState(state()); }

    // Made on first use and kept showing the current title and image.
    std::shared_ptr<UILabel> titleLabel();
    std::shared_ptr<UIImageView> imageView();

    CGSize intrinsicContentSize() const override;
    CGSize sizeThatFits(CGSize size) const override;
    std::string displayedText() const override { return currentTitle(); }

  protected:
    UIButton(UIButtonType type, CGRect frame);
    void stateChanged() override;
    std::string dumpDetails() const override;

  private:
    template <class T>
    static T lookup(const std::map<UIControlState, T>& table, UIControlState state);
    void refresh();

    UIButtonType type_;
    std::map<UIControlState, std::string> titles_;
    std::map<UIControlState, UIColorPtr> titleColors_;
    std::map<UIControlState, UIImagePtr> images_;
    std::map<UIControlState, UIImagePtr> backgroundImages_;
    std::shared_ptr<UILabel> titleLabel_;
    std::shared_ptr<UIImageView> imageView_;
};

using UIButtonPtr = std::shared_ptr<UIButton>;
