// Colours: red, green, blue and alpha, each out of 1, in device RGB. Immutable and shared; nil is nullptr.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class UIColor final : public Object {
  public:
    // Components are clamped to 0...1.
    static std::shared_ptr<UIColor> colorWithRed(double red, double green, double blue, double alpha);
    static std::shared_ptr<UIColor> colorWithWhite(double white, double alpha);
    static std::shared_ptr<UIColor> whiteColor();
    static std::shared_ptr<UIColor> blackColor();
    static std::shared_ptr<UIColor> clearColor();
    static std::shared_ptr<UIColor> redColor();
    static std::shared_ptr<UIColor> grayColor();

    // Always succeeds for these colours (all are RGB); the out-parameters may be null.
    bool getRed(double* red, double* green, double* blue, double* alpha) const;
    std::shared_ptr<UIColor> colorWithAlphaComponent(double alpha) const;

    double red() const { return red_; }
    double green() const { return green_; }
    double blue() const { return blue_; }
    double alpha() const { return alpha_; }

    // "UIDeviceRGBColorSpace 1 0 0 1"
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    bool operator==(const UIColor& other) const { return isEqual(other); }

  private:
    UIColor(double r, double g, double b, double a) : red_(r), green_(g), blue_(b), alpha_(a) {}
    double red_, green_, blue_, alpha_;
};

using UIColorPtr = std::shared_ptr<UIColor>;

// Nil-aware equality: two nil colours are equal, nil and a colour are not.
bool colorsEqual(const UIColorPtr& a, const UIColorPtr& b);
