#include "app/hud/THAutolayout.h"

namespace THAutolayout {

namespace {

NSLayoutConstraintPtr relate(const UIViewPtr& view, NSLayoutAttribute attribute, const UIViewPtr& other,
                             NSLayoutAttribute otherAttribute, CGFloat multiplier, CGFloat constant) {
    auto constraint = NSLayoutConstraint::constraintWithItem(view, attribute, NSLayoutRelation::Equal, other,
                                                             otherAttribute, multiplier, constant);
    if (auto superview = view->superview()) superview->addConstraint(constraint);
    return constraint;
}

}  // namespace

NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute, CGFloat value) {
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    auto constraint = NSLayoutConstraint::constraintWithItem(
        view, attribute, NSLayoutRelation::Equal, nullptr, NSLayoutAttribute::NotAnAttribute, 1, value);
    view->addConstraint(constraint);
    return constraint;
}

NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, CGFloat offset) {
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    return relate(view, attribute, other, attribute, 1, offset);
}

NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, Multiplier multiplier) {
    return relate(view, attribute, other, attribute, multiplier.value, 0);
}

NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, NSLayoutAttribute otherAttribute,
                                    CGFloat offset) {
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    return relate(view, attribute, other, otherAttribute, 1, offset);
}

void removeAutoLayout(const UIViewPtr& view, const NSLayoutConstraintPtr& constraint) {
    auto superview = view->superview();
    if (!superview || !constraint) return;
    std::vector<NSLayoutConstraintPtr> doomed;
    for (const auto& installed : superview->constraints()) {
        if (installed->isEqual(*constraint)) doomed.push_back(installed);
    }
    superview->removeConstraints(doomed);
}

void removeAllAutoLayout(const UIViewPtr& view) {
    auto all = view->constraints();
    view->removeConstraints(all);
}

}  // namespace THAutolayout
