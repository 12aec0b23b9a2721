// Points, sizes, rectangles and edge insets, in points (CGFloat is a double here).
#pragma once

#include <string>

using CGFloat = double;

struct CGPoint {
    CGFloat x = 0;
    CGFloat y = 0;
    bool operator==(const CGPoint&) const = default;
};

struct CGSize {
    CGFloat width = 0;
    CGFloat height = 0;
    bool operator==(const CGSize&) const = default;
};

struct CGRect {
    CGPoint origin;
    CGSize size;

    CGFloat minX() const;
    CGFloat midX() const;
    CGFloat maxX() const;
    CGFloat minY() const;
    CGFloat midY() const;
    CGFloat maxY() const;
    CGFloat width() const;  // absolute, as for a standardized rectangle
    CGFloat height() const;
    CGPoint center() const { return {midX(), midY()}; }
    bool isEmpty() const { return size.width == 0 || size.height == 0; }
    // Half-open on the far edges, as the platform tests a point against a rectangle.
    bool contains(CGPoint point) const;
    CGRect offsetBy(CGFloat dx, CGFloat dy) const;
    CGRect insetBy(CGFloat dx, CGFloat dy) const;

    bool operator==(const CGRect&) const = default;
};

struct UIEdgeInsets {
    CGFloat top = 0;
    CGFloat left = 0;
    CGFloat bottom = 0;
    CGFloat right = 0;
    bool operator==(const UIEdgeInsets&) const = default;
};

inline constexpr CGPoint CGPointZero{};
inline constexpr CGSize CGSizeZero{};
inline constexpr CGRect CGRectZero{};
inline constexpr UIEdgeInsets UIEdgeInsetsZero{};

inline CGPoint CGPointMake(CGFloat x, CGFloat y) {
    return {x, y};
}
inline CGSize CGSizeMake(CGFloat width, CGFloat height) {
    return {width, height};
}
inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
    return {{x, y}, {width, height}};
}
inline UIEdgeInsets UIEdgeInsetsMake(CGFloat top, CGFloat left, CGFloat bottom, CGFloat right) {
    return {top, left, bottom, right};
}
// The rectangle shrunk by the insets (negative insets grow it).
CGRect UIEdgeInsetsInsetRect(CGRect rect, UIEdgeInsets insets);

// "{x, y}", "{w, h}", "{{x, y}, {w, h}}" with the platform's number form (100 not 100.0).
std::string NSStringFromCGPoint(CGPoint point);
std::string NSStringFromCGSize(CGSize size);
std::string NSStringFromCGRect(CGRect rect);
