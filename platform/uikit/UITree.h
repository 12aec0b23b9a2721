// What is on screen, as text, and a finger for tests and the headless device.
//
// The dump has one line per view, indented two spaces a level, windows in level order (lowest first):
//   UIWindow frame={{0, 0}, {375, 667}} level=0 key
//     UIView frame={{0, 0}, {375, 667}}
//       UILabel frame={{10, 20}, {100, 21}} text="Hello"
// A line shows the class and frame, then alpha (when not 1), "hidden", and what the view shows: text,
// title, image name, accessibility label. Layout runs (layoutIfNeeded) before the dump.
#pragma once

#include <memory>
#include <string>

#include "platform/uikit/UIView.h"

namespace UITree {

enum class Windows { Visible, All };

std::string dump(Windows which = Windows::Visible);
std::string dumpView(const std::shared_ptr<UIView>& view);

// The first visible view, topmost window first and front-most subview first, whose displayed text
// (label text, button title) or accessibility label equals `text`; nullptr when none.
std::shared_ptr<UIView> findView(const std::string& text);

// Taps the view at its centre: touch down, then touch up inside, delivered to whatever hit testing finds
// there (the view, one of its subviews, or the closest ancestor that takes touches when the view takes
// none, as a label in a table cell). False (and nothing delivered) when the view is not on a visible window
// or something else is on top of that point.
bool tap(const std::shared_ptr<UIView>& view);
// findView then tap; false when no view has the text.
bool tapText(const std::string& text);

}  // namespace UITree
