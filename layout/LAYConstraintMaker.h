// A small constraint language over the toolkit's recorded constraints.
//
//   lay_makeConstraints(label, [&](LAYConstraintMaker& make) {
//       make.top().equalTo(lay_bottom(logo)).offset(20);
//       make.left().right().equalTo(container);
//       make.height().equalTo(LAYBox(48));
//   });
//
// `lay_makeConstraints` switches the view's autoresizing-mask translation off, runs the block, then turns
// every constraint made in it into one NSLayoutConstraint per attribute and installs each in the closest
// common superview of its two views (the view itself when there is no second view). What `equalTo` takes:
//   a view            the same attribute(s) of that view
//   a view attribute  (lay_right(other), ...) that attribute of that view; with several attributes, each
//                     attribute of the attribute's view
//   a number          width and height: that size in points, no second view; any other attribute: the
//                     superview's same attribute plus the number
//   a size            width and height
//   a point           centre x and y, from the superview's centre
//   edge insets       top, left, bottom and right inside the superview (bottom and right negated)
// `offset` then sets the constant of every attribute: positive moves right or down, negative left or up.
// A constraint that cannot be installed (no value, a value that does not fit its attributes, a view that is
// gone, views without a common superview) is logged and skipped; nothing crashes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"
#include "platform/uikit/UIView.h"

// One attribute of one view, as the second item of `equalTo`.
struct LAYViewAttribute {
    std::weak_ptr<UIView> view;
    NSLayoutAttribute attribute = NSLayoutAttribute::NotAnAttribute;
};

LAYViewAttribute lay_left(const UIViewPtr& view);
LAYViewAttribute lay_top(const UIViewPtr& view);
LAYViewAttribute lay_right(const UIViewPtr& view);
LAYViewAttribute lay_bottom(const UIViewPtr& view);
LAYViewAttribute lay_leading(const UIViewPtr& view);
LAYViewAttribute lay_trailing(const UIViewPtr& view);
LAYViewAttribute lay_width(const UIViewPtr& view);
LAYViewAttribute lay_height(const UIViewPtr& view);
LAYViewAttribute lay_centerX(const UIViewPtr& view);
LAYViewAttribute lay_centerY(const UIViewPtr& view);

// What `equalTo` takes: nothing (a value that could not be boxed), a view, a view attribute, a number
// (a Value of a number kind), a size, a point or edge insets.
using LAYValue =
    std::variant<std::monostate, UIViewPtr, LAYViewAttribute, Value, CGSize, CGPoint, UIEdgeInsets>;

// Boxes a plain value by its type encoding: "@" the object itself (`value` points to a LAYValue);
// "{CGPoint=ff}", "{CGSize=ff}", "{UIEdgeInsets=ffff}" (or with "d" fields; `value` points to the
// structure) that structure; "d", "f" a number from a double or a float; "i", "l", "q", "s", "c", "B", "C",
// "I", "L", "Q", "S" a number of that integer or boolean type. Any other encoding, or a null `value`, gives
// nothing.
LAYValue LAYValueFromTypeEncoding(const char* encoding, const void* value);

// The encoding of a C++ value, for LAYBox.
template <class T>
constexpr const char* LAYTypeEncoding() {
    if constexpr (std::is_same_v<T, double>)
        return "d";
    else if constexpr (std::is_same_v<T, float>)
        return "f";
    else if constexpr (std::is_same_v<T, bool>)
        return "B";
    else if constexpr (std::is_same_v<T, signed char> || std::is_same_v<T, char>)
        return "c";
    else if constexpr (std::is_same_v<T, unsigned char>)
        return "C";
    else if constexpr (std::is_same_v<T, short>)
        return "s";
    else if constexpr (std::is_same_v<T, unsigned short>)
        return "S";
    else if constexpr (std::is_same_v<T, int>)
        return "i";
    else if constexpr (std::is_same_v<T, unsigned>)
        return "I";
    else if constexpr (std::is_same_v<T, long>)
        return "q";
    else if constexpr (std::is_same_v<T, unsigned long>)
        return "Q";
    else if constexpr (std::is_same_v<T, long long>)
        return "q";
    else if constexpr (std::is_same_v<T, unsigned long long>)
        return "Q";
    else if constexpr (std::is_same_v<T, CGPoint>)
        return "{CGPoint=dd}";
    else if constexpr (std::is_same_v<T, CGSize>)
        return "{CGSize=dd}";
    else if constexpr (std::is_same_v<T, UIEdgeInsets>)
        return "{UIEdgeInsets=dddd}";
    else if constexpr (std::is_same_v<T, LAYValue>)
        return "@";
    else
        return "?";
}

// A plain constant written in a constraint block, boxed for `equalTo`: LAYBox(48), LAYBox(height / 2).
template <class T>
LAYValue LAYBox(const T& value) {
    return LAYValueFromTypeEncoding(LAYTypeEncoding<T>(), &value);
}

// A constraint being made: one or more attributes of the maker's view, a value and a constant.
class LAYConstraint {
  public:
    // Further attributes join this constraint.
    LAYConstraint& left() { return add(NSLayoutAttribute::Left); }
    LAYConstraint& top() { return add(NSLayoutAttribute::Top); }
    LAYConstraint& right() { return add(NSLayoutAttribute::Right); }
    LAYConstraint& bottom() { return add(NSLayoutAttribute::Bottom); }
    LAYConstraint& leading() { return add(NSLayoutAttribute::Leading); }
    LAYConstraint& trailing() { return add(NSLayoutAttribute::Trailing); }
    LAYConstraint& width() { return add(NSLayoutAttribute::Width); }
    LAYConstraint& height() { return add(NSLayoutAttribute::Height); }
    LAYConstraint& centerX() { return add(NSLayoutAttribute::CenterX); }
    LAYConstraint& centerY() { return add(NSLayoutAttribute::CenterY); }

    LAYConstraint& equalTo(LAYValue value);
    // A view or a view attribute straight away.
    LAYConstraint& equalTo(const UIViewPtr& view) { return equalTo(LAYValue(view)); }
    LAYConstraint& equalTo(const LAYViewAttribute& attribute) { return equalTo(LAYValue(attribute)); }
    LAYConstraint& offset(CGFloat offset);

    const std::vector<NSLayoutAttribute>& attributes() const { return attributes_; }

  private:
    friend class LAYConstraintMaker;
    LAYConstraint& add(NSLayoutAttribute attribute);

    std::vector<NSLayoutAttribute> attributes_;
    LAYValue value_;
    bool hasValue_ = false;
    std::optional<CGFloat> offset_;
};

// Handed to the block of lay_makeConstraints; every attribute starts a new constraint on the maker's view.
class LAYConstraintMaker {
  public:
    explicit LAYConstraintMaker(UIViewPtr view) : view_(std::move(view)) {}
    LAYConstraintMaker(const LAYConstraintMaker&) = delete;
    LAYConstraintMaker& operator=(const LAYConstraintMaker&) = delete;

    LAYConstraint& left() { return make({NSLayoutAttribute::Left}); }
    LAYConstraint& top() { return make({NSLayoutAttribute::Top}); }
    LAYConstraint& right() { return make({NSLayoutAttribute::Right}); }
    LAYConstraint& bottom() { return make({NSLayoutAttribute::Bottom}); }
    LAYConstraint& leading() { return make({NSLayoutAttribute::Leading}); }
    LAYConstraint& trailing() { return make({NSLayoutAttribute::Trailing}); }
    LAYConstraint& width() { return make({NSLayoutAttribute::Width}); }
    LAYConstraint& height() { return make({NSLayoutAttribute::Height}); }
    LAYConstraint& centerX() { return make({NSLayoutAttribute::CenterX}); }
    LAYConstraint& centerY() { return make({NSLayoutAttribute::CenterY}); }
    // Top, left, bottom and right.
    LAYConstraint& edges();
    // Width and height.
    LAYConstraint& size();
    // Centre x and y.
    LAYConstraint& center();

    // Turns the constraints made so far into installed NSLayoutConstraints (what lay_makeConstraints does
    // after the block).
    std::vector<NSLayoutConstraintPtr> install();

  private:
    LAYConstraint& make(std::vector<NSLayoutAttribute> attributes);

    UIViewPtr view_;
    std::vector<std::unique_ptr<LAYConstraint>> constraints_;
};

// The view's category: makes and installs constraints; returns those installed.
std::vector<NSLayoutConstraintPtr> lay_makeConstraints(const UIViewPtr& view,
                                                       const std::function<void(LAYConstraintMaker&)>& block);
