// A fresh HUD per test, above an ordinary key application window, on the manual clock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/hud/THProgressHUD.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "platform/uikit/tests/UITestFixture.h"

class HUDTest : public UITest {
  protected:
    HUDTest() {
        THProgressHUD::resetForTesting();
        appWindow_ = UIWindow::create(UIScreen::mainScreen().bounds());
        appWindow_->makeKeyAndVisible();
        hud_ = THProgressHUD::shareInstancetype();
    }
    ~HUDTest() override {
        hud_.reset();
        THProgressHUD::resetForTesting();
    }

    // Views of type T anywhere in the HUD's window.
    template <class T>
    static int countIn(const UIViewPtr& view) {
        int n = std::dynamic_pointer_cast<T>(view) ? 1 : 0;
        for (auto& child : view->subviews()) n += countIn<T>(child);
        return n;
    }
    template <class T>
    int shown() const {
        return countIn<T>(hud_->window());
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

    std::shared_ptr<UIWindow> appWindow_;
    std::shared_ptr<THProgressHUD> hud_;
};

// Records every callback as "<index>" or "<index>+info:<userInfo description>".
struct RecordingAlertDelegate : THProgressHUDAlertViewDelegate {
    std::vector<std::string> calls;
    std::function<void(long)> onPress;
    void alertView(const std::shared_ptr<THProgressHUDAlertView>&, long index) override {
        calls.push_back(std::to_string(index));
        if (onPress) onPress(index);
    }
    void alertView(const std::shared_ptr<THProgressHUDAlertView>&, long index, const Value& info) override {
        calls.push_back(std::to_string(index) + "+info:" + info.description());
    }
};
