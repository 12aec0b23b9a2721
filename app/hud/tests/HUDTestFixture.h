// A fresh HUD per test, above an ordinary key application window, on the manual clock.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/hud/THProgressHUD.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "platform/uikit/tests/UITestFixture.h"

using S = THProgressHUDState;

// The HUD's requests, numbered like the states they ask for (Dismiss: the end of one loading request).
enum class Request { Dismiss, Loading, Alert, Tip, Sheet };

struct RequestInfo {
    const char* name;
    void (*send)(THProgressHUD&);
};

inline const RequestInfo& infoOf(Request r) {
    static const RequestInfo requests[] = {
        {"dismissLoadingView", [](THProgressHUD& h) { h.dismissLoadingView(); }},
        {"showLoading", [](THProgressHUD& h) { h.showLoading(); }},
        {"alert", [](THProgressHUD& h) { h.showAlertWithTitle("标题", "内容", nullptr, 0, "确定", {}); }},
        {"tip", [](THProgressHUD& h) { h.showErrorTip("出错了"); }},
        {"sheet",
         [](THProgressHUD& h) { h.showActionSheetWithTitle("", nullptr, "取消", std::nullopt, {"拍照"}); }}};
    return requests[int(r)];
}

inline void send(THProgressHUD& hud, Request r) {
    infoOf(r).send(hud);
}

// The dialog or tip on show, if any.
inline UIViewPtr dialogOf(const THProgressHUD& hud) {
    if (hud.alertView()) return hud.alertView();
    if (hud.tipView()) return hud.tipView();
    return hud.actionSheetView();
}

class HUDTest : public UITest {
  protected:
    HUDTest() {
        appWindow_->makeKeyAndVisible();
        freshHUD();
    }
    ~HUDTest() override {
        hud_.reset();
        THProgressHUD::resetForTesting();
    }
    void freshHUD() {
        THProgressHUD::resetForTesting();
        hud_ = THProgressHUD::shareInstancetype();
    }

    // Views of type T anywhere under the view.
    template <class T>
    static int countIn(const UIViewPtr& view) {
        int n = std::dynamic_pointer_cast<T>(view) ? 1 : 0;
        for (auto& child : view->subviews()) n += countIn<T>(child);
        return n;
    }
    // Whether the HUD's window holds only the view of this state (loading, alert, tip or sheet), once.
    bool showsOnly(S state) const {
        auto w = hud_->window();
        std::array<int, 5> counts{};
        if (state != S::Idle) counts[size_t(state)] = 1;
        return counts ==
               std::array<int, 5>{0, countIn<THProgressHUDLoadingView>(w), countIn<THProgressHUDAlertView>(w),
                                  countIn<THProgressHUDTipView>(w), countIn<THProgressHUDActionSheet>(w)};
    }
    // Taps the button of the HUD's dialog with this title, through hit testing on the screen. (The toolkit's
    // text search finds a button's title label, which takes no touches, so buttons are found here.)
    bool tapButton(const std::string& title) const {
        std::vector<std::shared_ptr<UIButton>> buttons;
        if (auto alert = hud_->alertView()) buttons = alert->buttons();
        if (auto sheet = hud_->actionSheetView()) buttons = sheet->buttons();
        for (auto& button : buttons) {
            if (button->currentTitle() == title) return UITree::tap(button);
        }
        return false;
    }
    bool windowShown() const { return !hud_->window()->isHidden(); }

    std::shared_ptr<UIWindow> appWindow_ = UIWindow::create(UIScreen::mainScreen().bounds());
    std::shared_ptr<THProgressHUD> hud_;
};

// Records every callback of either dialog as "<index>" or "<index>+info:<userInfo description>".
struct RecordingDelegate : THProgressHUDAlertViewDelegate, THProgressHUDActionSheetDelegate {
    std::vector<std::string> calls;
    std::function<void(long)> onPress;
    void alertView(const std::shared_ptr<THProgressHUDAlertView>&, long index) override {
        calls.push_back(std::to_string(index));
        if (onPress) onPress(index);
    }
    void alertView(const std::shared_ptr<THProgressHUDAlertView>&, long index, const Value& info) override {
        calls.push_back(std::to_string(index) + "+info:" + info.description());
    }
    void actionSheetView(const std::shared_ptr<THProgressHUDActionSheet>&, long index) override {
        calls.push_back(std::to_string(index));
    }
    void actionSheetView(const std::shared_ptr<THProgressHUDActionSheet>&, long index,
                         const Value& info) override {
        calls.push_back(std::to_string(index) + "+info:" + info.description());
    }
};
