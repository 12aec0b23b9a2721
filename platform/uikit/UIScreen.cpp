#include "platform/uikit/UIScreen.h"

#include "platform/foundation/Process.h"

UIScreen& UIScreen::mainScreen() {
    static auto* screen = new UIScreen();
    return *screen;
}

CGRect UIScreen::bounds() const {
    auto profile = DeviceProfile::current();
    return CGRectMake(0, 0, profile.screenWidth, profile.screenHeight);
}

CGFloat UIScreen::scale() const {
    return DeviceProfile::current().screenScale;
}
