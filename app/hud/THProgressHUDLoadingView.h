// The loading card: six pulsing dots above a line of text. The HUD makes one and shows it again and again.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIView.h"

inline constexpr const char* THProgressHUDDefaultLoadingText = "正在加载中...";

// One dot and its pulse. The headless toolkit has no layer tree or layer animations, so the loading view
// keeps its dots itself; the pulse is a description of what the layer engine would run, nothing ticks.
struct THProgressHUDDot {
    CGRect frame;
    UIColorPtr backgroundColor;
    CGFloat cornerRadius = 5;
    // "transform.scale" from 0 to 1 and back, 0.8 s each way, ease-in-ease-out, repeating without end.
    std::string keyPath = "transform.scale";
    double fromValue = 0;
    double toValue = 1;
    double duration = 0.8;
    bool autoreverses = true;
    double beginTime = 0;  // on the monotonic clock; staggered 0.2 s a dot
};

class THProgressHUDLoadingView : public UIView {
  public:
    static std::shared_ptr<THProgressHUDLoadingView> create(CGRect frame);

    // nullopt shows the default text.
    void setTipText(const std::optional<std::string>& text);
    // Sets the alpha as any view does; alpha 0 (a fade out too) also puts the default text back.
    void setAlpha(CGFloat alpha) override;

    std::shared_ptr<UILabel> tip() const { return tip_.lock(); }
    void setTip(const std::shared_ptr<UILabel>& tip) { tip_ = tip; }
    const std::vector<std::shared_ptr<THProgressHUDDot>>& circles() const { return circles_; }
    void setCircles(std::vector<std::shared_ptr<THProgressHUDDot>> circles) { circles_ = std::move(circles); }

    // Starts six fresh dots.
    void addAnimation();

    // Fresh dots each time the view is added somewhere; none while it is off screen.
    void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) override;

  protected:
    explicit THProgressHUDLoadingView(CGRect frame) : UIView(frame) {}

  private:
    void build();

    std::weak_ptr<UILabel> tip_;
    std::vector<std::shared_ptr<THProgressHUDDot>> circles_;
};

using THProgressHUDLoadingViewPtr = std::shared_ptr<THProgressHUDLoadingView>;
