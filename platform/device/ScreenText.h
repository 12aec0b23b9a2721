// The screen as a person reads it: one line per view that shows something, windows lowest first.
//
//   window (key)
//     label "Hello"
//     button "Send"
//     field "" placeholder "Name" editing
//       button "Check"
//     image "logo"
//     page "Welcome" http://127.0.0.1:8080/vqd_web/ loading
//   window level 2000
//     alert
//       label "Title"
//       [0] "Cancel"
//       [1] "OK"
//   keyboard up
//
// Hidden and transparent views (a view fading out still shows: DeviceViews.h), views wholly outside their
// window and the insides of buttons and fields are left out, save the buttons a field carries; windows that
// show nothing are left out. Dialog buttons carry the index the dialog gives
// them, which the `button` command takes. Secure fields show bullets.
#pragma once

#include <memory>
#include <string>

#include "platform/uikit/UIView.h"

namespace ScreenText {

std::string render();
// One view's line without indentation ("button \"Send\""); the class name for views that show nothing.
std::string describe(const std::shared_ptr<UIView>& view);
// What a person calls the view: its kind and text ("button \"Send\"", "field \"Name\""), else the class.
std::string name(const std::shared_ptr<UIView>& view);

}  // namespace ScreenText
