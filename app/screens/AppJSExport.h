// The bridge object "app" that every web screen puts into its page's script context once the page has
// loaded. The page calls (script name: what it does):
//
//   push(title, url)                  open a screen: http(s) addresses in a new web screen, "quorvane://"
//                                     links by their mode (1 sign in, 2 settings)
//   alert(title, message, cancel, ok, callback)
//   actionSheet(title, cancel, destructive, other, callback)
//                                     a dialog; a click runs `callback` with "%@" replaced by the index
//   setWebCash(key, value)            stores a value in the user defaults (back-end pages only)
//   getWebCash(key)                   reads it back; "" when nothing is stored (back-end pages only)
//   toLogin()                         forgets the token and opens the sign-in screen
//   getAccessToken()                  the stored token, or null (back-end pages only)
//   pop(), popToRoot()                go back; with setIsRefresh(true) the opener reloads first
//   showTip(text)                     a plain alert titled "提示" with one button "确定"
//   pushWithUrl(url)                  open any address in a new web screen without a navigation bar
//   setIsRefresh(flag), refresh(), stopSwipeRefresh()
//
// Text arguments that the page leaves out or passes as null/undefined arrive as nullopt. Calls that open
// screens, dialogs or navigate return at once and do their work on the main queue; the others act at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/webkit/JSContext.h"

// Name of the bridge object in the page's script context.
inline constexpr const char* kAppBridgeName = "app";

class AppJSExport : public JSExport {
  public:
    using Text = std::optional<std::string>;

    virtual void push(const Text& title, const Text& url) = 0;
    virtual void showAlertViewWithTitle(const Text& title, const Text& message, const Text& cancelTitle,
                                        const Text& sureTitle, const Text& callback) = 0;
    virtual void actionSheetWithTitle(const Text& title, const Text& cancelButtonTitle,
                                      const Text& destructiveButtonTitle, const Text& otherButtonTitle,
                                      const Text& callback) = 0;
    virtual void setWebCash(const Text& key, const Text& value) = 0;
    virtual void toLogin() = 0;
    virtual Text getAccessToken() = 0;
    virtual void pop() = 0;
    virtual void popToRoot() = 0;
    virtual void showTip(const Text& text) = 0;
    virtual void pushWithUrl(const Text& url) = 0;
    virtual void setIsRefresh(bool isRefresh) = 0;
    virtual void refresh() = 0;
    virtual void stopSwipeRefresh() = 0;
    virtual std::string getWebCash(const Text& key) = 0;

    // The table above, as the script context sees it.
    std::vector<JSExportMethod> exportedMethods() const final;
};

// A dialog callback with the clicked index put in: each "%@" becomes the index and "%%" becomes "%";
// everything else, other "%" directives included, stays as written. The page's text is never used as a
// format string.
std::string AppDialogCallbackScript(const std::string& callback, long index);
