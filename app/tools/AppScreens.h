// The one place where the tools and screens get the screens they open but do not own: the first-run guide,
// the sign-in screen, the settings screen and the main web screen (inside its navigation controller).
//
// Each screen's module registers a maker for it once at start-up (the program's entry calls
// installAppScreens(), which calls the modules' install functions, e.g. installWebScreens()). Until a maker
// is registered, the screen is a plain placeholder controller titled with the screen's class name
// ("LoginViewController", ...), so that every road through the application works before every screen is
// built. Registering an empty maker brings the placeholder back (tests).
//
// Main thread only, like the controllers it makes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/uikit/UIViewController.h"

namespace AppScreens {

enum class Screen { NewFeature, Login, Setting, MainNavigation };
using Maker = std::function<UIViewControllerPtr()>;

// "NewFeatureViewController", "LoginViewController", "SettingViewController", "MainViewController".
std::string screenName(Screen screen);

void registerMaker(Screen screen, Maker maker);
bool hasMaker(Screen screen);
// A new controller for the screen: the registered maker's, else a placeholder (see above).
UIViewControllerPtr make(Screen screen);

inline UIViewControllerPtr makeNewFeatureViewController() {
    return make(Screen::NewFeature);
}
inline UIViewControllerPtr makeLoginViewController() {
    return make(Screen::Login);
}
inline UIViewControllerPtr makeSettingViewController() {
    return make(Screen::Setting);
}
// The main web screen as the root of a navigation controller.
inline UIViewControllerPtr makeMainNavigation() {
    return make(Screen::MainNavigation);
}

}  // namespace AppScreens
