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

}  // namespace

UIViewControllerPtr GuideServiceTool::chooseWindowRootViewController() {
    const auto bundleVersion =
        stringOf(NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString"));
    const auto storedVersion = stringOf(SaveService::objectForKey(kSaveServiceVersionKey));
    if (storedVersion != bundleVersion) {
        SaveService::setObject(bundleVersion ? Value(*bundleVersion) : Value(), kSaveServiceVersionKey);
        return AppScreens::makeNewFeatureViewController();
    }
    const auto token = stringOf(SaveService::objectForKey(kSaveServiceAccessTokenKey));
    if (!token || token->empty()) return AppScreens::makeLoginViewController();
    return AppScreens::makeMainNavigation();
}
