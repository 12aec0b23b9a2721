#include "app/tools/GuideServiceTool.h"

#include "app/tools/AppScreens.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Bundle.h"

namespace {

// The value as text when it is a string; nullopt for anything else (nil, a number, ...).
std::optional<std::string> stringOf(const std::optional<Value>& value) {
    if (value && value->isString()) return *value->asString();
    return std::nullopt;
}

std::optional<std::string> bundleVersion() {
    return stringOf(NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString"));
}

}  // namespace

GuideServiceTool::Root GuideServiceTool::upcomingRoot() {
    if (stringOf(SaveService::objectForKey(kSaveServiceVersionKey)) != bundleVersion()) return Root::Guide;
    const auto token = stringOf(SaveService::objectForKey(kSaveServiceAccessTokenKey));
    return !token || token->empty() ? Root::Login : Root::Main;
}

UIViewControllerPtr GuideServiceTool::chooseWindowRootViewController() {
    switch (upcomingRoot()) {
        case Root::Guide: {
            const auto version = bundleVersion();
            SaveService::setObject(version ? Value(*version) : Value(), kSaveServiceVersionKey);
            return AppScreens::makeNewFeatureViewController();
        }
        case Root::Login:
            return AppScreens::makeLoginViewController();
        case Root::Main:
            break;
    }
    return AppScreens::makeMainNavigation();
}
