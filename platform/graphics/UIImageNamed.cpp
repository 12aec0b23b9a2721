// Images by name from the main bundle.
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Process.h"
#include "platform/graphics/UIImage.h"

std::shared_ptr<UIImage> UIImage::imageNamed(const std::string& name) {
    if (name.empty()) return nullptr;
    auto bundle = NSBundle::mainBundle();
    if (!bundle) return nullptr;
    auto path = bundle->pathForImageNamed(name, DeviceProfile::current().screenScale);
    if (!path) return nullptr;
    auto image = imageWithContentsOfFile(*path);
    if (image) image->name_ = name;
    return image;
}
