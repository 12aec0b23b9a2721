#include "app/tools/AppScreens.h"

#include <array>

#include "platform/uikit/UIView.h"

namespace AppScreens {

namespace {

constexpr size_t kScreenCount = 4;

std::array<Maker, kScreenCount>& makers() {
    static auto* shared = new std::array<Maker, kScreenCount>();  // lives until the process ends
    return *shared;
}

}  // namespace

std::string screenName(Screen screen) {
    switch (screen) {
        case Screen::NewFeature:
            return "NewFeatureViewController";
        case Screen::Login:
            return "LoginViewController";
        case Screen::Setting:
            return "SettingViewController";
        case Screen::MainNavigation:
            return "MainViewController";
    }
    return "";
}

void registerMaker(Screen screen, Maker maker) {
    UIAssertMainThread();
    makers()[size_t(screen)] = std::move(maker);
}

bool hasMaker(Screen screen) {
    return bool(makers()[size_t(screen)]);
}

UIViewControllerPtr make(Screen screen) {
    UIAssertMainThread();
    if (auto& maker = makers()[size_t(screen)]) {
        if (auto controller = maker()) return controller;
    }
    auto placeholder = UIViewController::create();
    placeholder->setTitle(screenName(screen));
    return placeholder;
}

}  // namespace AppScreens
