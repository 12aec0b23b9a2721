#include "app/tools/UIViewFrame.h"

namespace UIViewFrame {

CGFloat x(const UIView& view) {
    return view.frame().origin.x;
}

void setX(UIView& view, CGFloat x) {
    CGRect frame = view.frame();
    frame.origin.x = x;
    view.setFrame(frame);
}

CGFloat y(const UIView& view) {
    return view.frame().origin.y;
}

void setY(UIView& view, CGFloat y) {
    CGRect frame = view.frame();
    frame.origin.y = y;
    view.setFrame(frame);
}

CGFloat width(const UIView& view) {
    return view.bounds().size.width;
}

void setWidth(UIView& view, CGFloat width) {
    CGRect frame = view.frame();
    frame.size.width = width;
    view.setFrame(frame);
}

CGFloat height(const UIView& view) {
    return view.bounds().size.height;
}

void setHeight(UIView& view, CGFloat height) {
    CGRect frame = view.frame();
    frame.size.height = height;
    view.setFrame(frame);
}

}  // namespace UIViewFrame
