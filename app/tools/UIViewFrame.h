// A view's position and size one coordinate at a time (the view's Frame category).
//
// `x` and `y` read the frame's origin; `width` and `height` read the bounds, so under a transform they give
// the untransformed size. Every setter rewrites the frame with one field replaced.
#pragma once

#include "platform/uikit/UIView.h"

namespace UIViewFrame {

CGFloat x(const UIView& view);
void setX(UIView& view, CGFloat x);
CGFloat y(const UIView& view);
void setY(UIView& view, CGFloat y);
CGFloat width(const UIView& view);
void setWidth(UIView& view, CGFloat width);
CGFloat height(const UIView& view);
void setHeight(UIView& view, CGFloat height);

}  // namespace UIViewFrame
