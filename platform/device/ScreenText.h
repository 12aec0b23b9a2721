// The screen as a person reads it: one line per view that shows something, windows lowest first.
//
//   window (key)
//     label "Hello"
//     button "Send"
//     field "" placeholder "Name" editing
//       button "Check"
//     image "logo"
//     page "Welcome" http://127.0.0.1:8080/vqd_web/#/
//       text "Welcome"
//       link "Notices"
//       button "Sign out"
//   window level 2000
//     alert
//       label "Title"
//       [0] "Cancel"
//       [1] "OK"
//   keyboard up
//
// Hidden and transparent views (a view fading out still shows: DeviceViews.h), views wholly outside their
// window and the insides of buttons and fields are left out, save the buttons a field carries; windows that
// show nothing are left out. Dialog buttons carry the index the dialog gives them, which the `button`
// command takes. Secure fields show bullets. A page shows what a person sees of it, in document order: its
// visible text, links, buttons and fields (at most 60 lines, each text cut after 120 bytes).
#pragma once

#include <memory>
#include <string>

#include "platform/uikit/UIView.h"
#include "platform/webkit/UIWebView.h"

namespace ScreenText {

std::string render();
// One thing a page shows: "text \"…\"", "link \"…\"", "button \"…\"" or "field \"…\"" (long texts
// cut).
std::string element(const UIWebPageElement& element);
// What a person sees where `view` takes a touch: the dialog it belongs to or shares its window with
// ("the alert"), else the line of the closest of it and its superviews that shows something
// ("label \"Title\""), else "a view that shows nothing".
std::string covering(const std::shared_ptr<UIView>& view);
// What a person calls the view: its kind and text ("button \"Send\"", "field \"Name\"", "view \"Label\""),
// for a scroll view "list", "pager" or its page ("page \"Home\""); never a class name.
std::string name(const std::shared_ptr<UIView>& view);

}  // namespace ScreenText
