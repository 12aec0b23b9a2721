#include "platform/graphics/Geometry.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Value.h"

CGFloat CGRect::minX() const {
    return std::min(origin.x, origin.x + size.width);
}
CGFloat CGRect::maxX() const {
    return std::max(origin.x, origin.x + size.width);
}
CGFloat CGRect::midX() const {
    return origin.x + size.width / 2;
}
CGFloat CGRect::minY() const {
    return std::min(origin.y, origin.y + size.height);
}
CGFloat CGRect::maxY() const {
    return std::max(origin.y, origin.y + size.height);
}
CGFloat CGRect::midY() const {
    return origin.y + size.height / 2;
}
CGFloat CGRect::width() const {
    return std::fabs(size.width);
}
CGFloat CGRect::height() const {
    return std::fabs(size.height);
}

bool CGRect::contains(CGPoint point) const {
    return point.x >= minX() && point.x < maxX() && point.y >= minY() && point.y < maxY();
}

CGRect CGRect::offsetBy(CGFloat dx, CGFloat dy) const {
    return {{origin.x + dx, origin.y + dy}, size};
}

CGRect CGRect::insetBy(CGFloat dx, CGFloat dy) const {
    CGRect r{{minX() + dx, minY() + dy}, {width() - 2 * dx, height() - 2 * dy}};
    if (r.size.width < 0 || r.size.height < 0) return CGRectZero;
    return r;
}

CGRect UIEdgeInsetsInsetRect(CGRect rect, UIEdgeInsets insets) {
    return {{rect.origin.x + insets.left, rect.origin.y + insets.top},
            {rect.size.width - insets.left - insets.right, rect.size.height - insets.top - insets.bottom}};
}

std::string NSStringFromCGPoint(CGPoint point) {
    return "{" + valuetext::formatDouble(point.x) + ", " + valuetext::formatDouble(point.y) + "}";
}

std::string NSStringFromCGSize(CGSize size) {
    return "{" + valuetext::formatDouble(size.width) + ", " + valuetext::formatDouble(size.height) + "}";
}

std::string NSStringFromCGRect(CGRect rect) {
    return "{" + NSStringFromCGPoint(rect.origin) + ", " + NSStringFromCGSize(rect.size) + "}";
}
