#include "platform/graphics/UIColor.h"

#include <algorithm>
#include <cmath>

namespace {
double clamp01(double v) {
    if (std::isnan(v)) return 0;
    return std::clamp(v, 0.0, 1.0);
}
}  // namespace

std::shared_ptr<UIColor> UIColor::colorWithRed(double red, double green, double blue, double alpha) {
    return std::shared_ptr<UIColor>(new UIColor(clamp01(red), clamp01(green), clamp01(blue), clamp01(alpha)));
}

std::shared_ptr<UIColor> UIColor::colorWithWhite(double white, double alpha) {
    return colorWithRed(white, white, white, alpha);
}

std::shared_ptr<UIColor> UIColor::whiteColor() {
    return colorWithWhite(1, 1);
}
std::shared_ptr<UIColor> UIColor::blackColor() {
    return colorWithWhite(0, 1);
}
std::shared_ptr<UIColor> UIColor::clearColor() {
    return colorWithWhite(0, 0);
}
std::shared_ptr<UIColor> UIColor::redColor() {
    return colorWithRed(1, 0, 0, 1);
}
std::shared_ptr<UIColor> UIColor::grayColor() {
    return colorWithWhite(0.5, 1);
}

bool UIColor::getRed(double* red, double* green, double* blue, double* alpha) const {
    if (red) *red = red_;
    if (green) *green = green_;
    if (blue) *blue = blue_;
    if (alpha) *alpha = alpha_;
    return true;
}

std::shared_ptr<UIColor> UIColor::colorWithAlphaComponent(double alpha) const {
    return colorWithRed(red_, green_, blue_, alpha);
}

std::string UIColor::description() const {
    return "UIDeviceRGBColorSpace " + valuetext::formatDouble(red_) + " " + valuetext::formatDouble(green_) +
           " " + valuetext::formatDouble(blue_) + " " + valuetext::formatDouble(alpha_);
}

bool UIColor::isEqual(const Object& other) const {
    auto* c = dynamic_cast<const UIColor*>(&other);
    return c && c->red_ == red_ && c->green_ == green_ && c->blue_ == blue_ && c->alpha_ == alpha_;
}

bool colorsEqual(const UIColorPtr& a, const UIColorPtr& b) {
    if (!a || !b) return !a && !b;
    return a->isEqual(*b);
}
