#include "layout/LAYConstraintMaker.h"

#include <cstring>

#include "platform/foundation/Console.h"

namespace {

const char* attributeName(NSLayoutAttribute attribute) {
    switch (attribute) {
        case NSLayoutAttribute::Left:
            return "left";
        case NSLayoutAttribute::Right:
            return "right";
        case NSLayoutAttribute::Top:
            return "top";
        case NSLayoutAttribute::Bottom:
            return "bottom";
        case NSLayoutAttribute::Leading:
            return "leading";
        case NSLayoutAttribute::Trailing:
            return "trailing";
        case NSLayoutAttribute::Width:
            return "width";
        case NSLayoutAttribute::Height:
            return "height";
        case NSLayoutAttribute::CenterX:
            return "centerX";
        case NSLayoutAttribute::CenterY:
            return "centerY";
        default:
            return "other";
    }
}

bool isSize(NSLayoutAttribute attribute) {
    return attribute == NSLayoutAttribute::Width || attribute == NSLayoutAttribute::Height;
}

LAYViewAttribute attributeOf(const UIViewPtr& view, NSLayoutAttribute attribute) {
    return {view, attribute};
}

// The closest view that has both `a` and `b` in its subtree (either may be that view).
UIViewPtr commonSuperview(const UIViewPtr& a, const UIViewPtr& b) {
    for (auto v = a; v; v = v->superview()) {
        if (b->isDescendantOfView(v)) return v;
    }
    return nullptr;
}

// What one attribute is tied to.
struct Target {
    UIViewPtr view;  // null: a size constant
    NSLayoutAttribute attribute = NSLayoutAttribute::NotAnAttribute;
    CGFloat constant = 0;
};

}  // namespace

LAYViewAttribute lay_left(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Left);
}
LAYViewAttribute lay_top(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Top);
}
LAYViewAttribute lay_right(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Right);
}
LAYViewAttribute lay_bottom(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Bottom);
}
LAYViewAttribute lay_leading(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Leading);
}
LAYViewAttribute lay_trailing(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Trailing);
}
LAYViewAttribute lay_width(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Width);
}
LAYViewAttribute lay_height(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::Height);
}
LAYViewAttribute lay_centerX(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::CenterX);
}
LAYViewAttribute lay_centerY(const UIViewPtr& view) {
    return attributeOf(view, NSLayoutAttribute::CenterY);
}

LAYValue LAYValueFromTypeEncoding(const char* encoding, const void* value) {
    if (!encoding || !value) return {};
    auto is = [&](const char* e) { return std::strcmp(encoding, e) == 0; };
    if (is("@")) return *static_cast<const LAYValue*>(value);
    if (is("{CGPoint=dd}")) return *static_cast<const CGPoint*>(value);
    if (is("{CGSize=dd}")) return *static_cast<const CGSize*>(value);
    if (is("{UIEdgeInsets=dddd}")) return *static_cast<const UIEdgeInsets*>(value);
    // The float forms hold half as many bytes: read them as floats, never as the double structures.
    const auto* f = static_cast<const float*>(value);
    if (is("{CGPoint=ff}")) return CGPoint{f[0], f[1]};
    if (is("{CGSize=ff}")) return CGSize{f[0], f[1]};
    if (is("{UIEdgeInsets=ffff}")) return UIEdgeInsets{f[0], f[1], f[2], f[3]};
    if (std::strlen(encoding) != 1) return {};
    switch (encoding[0]) {
        case 'd':
            return Value(*static_cast<const double*>(value));
        case 'f':
            return Value(*static_cast<const float*>(value));
        case 'i':
            return Value(*static_cast<const int*>(value));
        case 'l':
            return Value(long(*static_cast<const int32_t*>(value)));  // "l" is always 32 bits
        case 'q':
            return Value(*static_cast<const long long*>(value));
        case 's':
            return Value(int(*static_cast<const short*>(value)));
        case 'c':
            return Value(int(*static_cast<const signed char*>(value)));
        case 'B':
            return Value(*static_cast<const bool*>(value));
        case 'C':
            return Value(unsigned(*static_cast<const unsigned char*>(value)));
        case 'I':
            return Value(*static_cast<const unsigned*>(value));
        case 'L':
            return Value(unsigned(*static_cast<const uint32_t*>(value)));
        case 'Q':
            return Value(*static_cast<const unsigned long long*>(value));
        case 'S':
            return Value(unsigned(*static_cast<const unsigned short*>(value)));
        default:
            return {};
    }
}

LAYConstraint& LAYConstraint::add(NSLayoutAttribute attribute) {
    attributes_.push_back(attribute);
    return *this;
}

LAYConstraint& LAYConstraint::equalTo(LAYValue value) {
    value_ = std::move(value);
    hasValue_ = true;
    return *this;
}

LAYConstraint& LAYConstraint::offset(CGFloat offset) {
    offset_ = offset;
    return *this;
}

LAYConstraint& LAYConstraintMaker::make(std::vector<NSLayoutAttribute> attributes) {
    auto constraint = std::make_unique<LAYConstraint>();
    constraint->attributes_ = std::move(attributes);
    constraints_.push_back(std::move(constraint));
    return *constraints_.back();
}

LAYConstraint& LAYConstraintMaker::edges() {
    return make({NSLayoutAttribute::Top, NSLayoutAttribute::Left, NSLayoutAttribute::Bottom,
                 NSLayoutAttribute::Right});
}

LAYConstraint& LAYConstraintMaker::size() {
    return make({NSLayoutAttribute::Width, NSLayoutAttribute::Height});
}

LAYConstraint& LAYConstraintMaker::center() {
    return make({NSLayoutAttribute::CenterX, NSLayoutAttribute::CenterY});
}

std::vector<NSLayoutConstraintPtr> LAYConstraintMaker::install() {
    std::vector<NSLayoutConstraintPtr> installed;
    auto skip = [&](const LAYConstraint& c, const std::string& why) {
        std::string names;
        for (auto a : c.attributes_) names += std::string(names.empty() ? "" : ".") + attributeName(a);
        NSLog("lay_makeConstraints: skipped " + view_->className() + "." + names + ": " + why);
    };
    for (auto& c : constraints_) {
        if (!c->hasValue_ || std::holds_alternative<std::monostate>(c->value_)) {
            skip(*c, "no value to be equal to");
            continue;
        }
        auto superview = view_->superview();
        std::vector<std::pair<NSLayoutAttribute, Target>> made;
        std::string problem;
        for (auto attribute : c->attributes_) {
            Target t;
            if (auto* view = std::get_if<UIViewPtr>(&c->value_)) {
                t = {*view, attribute, 0};
            } else if (auto* other = std::get_if<LAYViewAttribute>(&c->value_)) {
                t = {other->view.lock(), c->attributes_.size() == 1 ? other->attribute : attribute, 0};
            } else if (auto* number = std::get_if<Value>(&c->value_)) {
                t = isSize(attribute)
                        ? Target{nullptr, NSLayoutAttribute::NotAnAttribute, number->doubleValue()}
                        : Target{superview, attribute, number->doubleValue()};
            } else if (auto* size = std::get_if<CGSize>(&c->value_)) {
                if (!isSize(attribute)) problem = "a size for a position";
                t = {nullptr, NSLayoutAttribute::NotAnAttribute,
                     attribute == NSLayoutAttribute::Width ? size->width : size->height};
            } else if (auto* point = std::get_if<CGPoint>(&c->value_)) {
                if (attribute != NSLayoutAttribute::CenterX && attribute != NSLayoutAttribute::CenterY) {
                    problem = "a point for something other than the centre";
                }
                t = {superview, attribute, attribute == NSLayoutAttribute::CenterX ? point->x : point->y};
            } else if (auto* insets = std::get_if<UIEdgeInsets>(&c->value_)) {
                CGFloat constant = 0;
                switch (attribute) {
                    case NSLayoutAttribute::Top:
                        constant = insets->top;
                        break;
                    case NSLayoutAttribute::Left:
                    case NSLayoutAttribute::Leading:
                        constant = insets->left;
                        break;
                    case NSLayoutAttribute::Bottom:
                        constant = -insets->bottom;
                        break;
                    case NSLayoutAttribute::Right:
                    case NSLayoutAttribute::Trailing:
                        constant = -insets->right;
                        break;
                    default:
                        problem = "edge insets for something other than an edge";
                }
                t = {superview, attribute, constant};
            }
            if (!problem.empty()) break;
            bool sizeConstant =
                !t.view && t.attribute == NSLayoutAttribute::NotAnAttribute && isSize(attribute);
            if (!t.view && !sizeConstant) {
                problem = std::holds_alternative<LAYViewAttribute>(c->value_) ? "the other view is gone"
                                                                              : "the view has no superview";
                break;
            }
            if (c->offset_) t.constant = *c->offset_;
            made.emplace_back(attribute, t);
        }
        if (!problem.empty()) {
            skip(*c, problem);
            continue;
        }
        for (auto& [attribute, t] : made) {
            auto owner = t.view ? commonSuperview(view_, t.view) : view_;
            if (!owner) {
                skip(*c, "no common superview with " + t.view->className());
                continue;
            }
            auto constraint = NSLayoutConstraint::constraintWithItem(
                view_, attribute, NSLayoutRelation::Equal, t.view, t.attribute, 1, t.constant);
            owner->addConstraint(constraint);
            installed.push_back(constraint);
        }
    }
    constraints_.clear();
    return installed;
}

std::vector<NSLayoutConstraintPtr> lay_makeConstraints(
    const UIViewPtr& view, const std::function<void(LAYConstraintMaker&)>& block) {
    if (!view) return {};
    UIAssertMainThread();
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    LAYConstraintMaker maker(view);
    if (block) block(maker);
    return maker.install();
}
