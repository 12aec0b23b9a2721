// Constraint shorthands on every view, used by the HUD's own views.
//
// Every constraint made here has the relation "equal". The ones that relate a view to another are installed
// on the receiver's superview, so the receiver must have been added to it first; without a superview the
// constraint is made and returned, but not installed. The constraints are only recorded: the headless
// toolkit has no solver, so the HUD views also place their subviews themselves (layoutSubviews).
#pragma once

#include "platform/uikit/UIView.h"

namespace THAutolayout {

// A multiplier, to tell `addConstraint(view, attribute, other, Multiplier{0.5})` from an offset.
struct Multiplier {
    CGFloat value = 1;
};

// view.attribute = value (no second item), installed on the view itself. Switches off the view's
// autoresizing translation.
NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute, CGFloat value);
// view.attribute = other.attribute + offset, installed on the view's superview. Switches off the view's
// autoresizing translation.
NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, CGFloat offset);
// view.attribute = other.attribute x multiplier, installed on the view's superview. Leaves the autoresizing
// translation as it is.
NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, Multiplier multiplier);
// view.attribute = other.otherAttribute + offset, installed on the view's superview. Switches off the
// view's autoresizing translation.
NSLayoutConstraintPtr addConstraint(const UIViewPtr& view, NSLayoutAttribute attribute,
                                    const UIViewPtr& other, NSLayoutAttribute otherAttribute, CGFloat offset);

// Removes from the view's superview every constraint equal to `constraint`.
void removeAutoLayout(const UIViewPtr& view, const NSLayoutConstraintPtr& constraint);
// Removes every constraint that the view itself holds.
void removeAllAutoLayout(const UIViewPtr& view);

}  // namespace THAutolayout
