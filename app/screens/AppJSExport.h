// The bridge object "app" that every web screen gives its pages (UIWebView::setBridge). The page calls
// (script name: what it does):
//
//   push(title, url)                  open a screen: http(s) addresses in a new web screen, "quorvane://"
//                                     links by their mode (1 sign in, 2 settings)
//   alert(title, message, cancel, ok, callback)
//   actionSheet(title, cancel, destructive, other, callback)
//                                     a dialog (one button "确定" when the page names none); a click runs
//                                     `callback` with "%@" replaced by the index, in the page that opened
//                                     the dialog, and only while that page is still shown
//   setWebCash(key, value)            stores a value in the user defaults (back-end pages only)
//   getWebCash(key)                   reads it back; "" when nothing is stored (back-end pages only)
//   toLogin()                         forgets the token and opens the sign-in screen (back-end pages only)
//   getAccessToken()                  the stored token, or null (back-end pages only)
//   pop(), popToRoot()                go back; with setIsRefresh(true) the opener reloads first
//   showTip(text)                     a plain alert titled "提示" with one button "确定"
//   pushWithUrl(url)                  open an http(s) address in a new web screen without a navigation bar
//   setIsRefresh(flag), refresh(), stopSwipeRefresh()
//
// getAccessToken and getWebCash answer at once from the values the screens mirror into the engine
// (`mirror`): the token and the stored values, readable by the back end's origin only. Every other call
// reaches the screen through `bridgeCall` on the main queue with the calling page's address, which decides
// what that page may do. Text arguments that the page leaves out or passes as null/undefined arrive as
// nullopt. Calls that open screens, dialogs or navigate do their work on a later turn of the main queue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/webkit/JSBridge.h"

// Name of the bridge object in the page's script world.
inline constexpr const char* kAppBridgeName = "app";

class AppJSExport : public JSBridge {
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

    // The table above, as the engine sees it.
    std::vector<JSBridgeMethod> bridgeMethods() const final;
    // The page calls one of the acting methods; `caller()` names the page while it runs.
    void bridgeCall(UIWebView& webView, const std::string& method, const JSArguments& arguments,
                    const JSBridgeCaller& caller) final;

  protected:
    // The page whose call is being handled (document 0 and no address outside a call).
    const JSBridgeCaller& caller() const { return caller_; }

  private:
    JSBridgeCaller caller_;
};

// A dialog callback with the clicked index put in: each "%@" becomes the index and "%%" becomes "%";
// everything else, other "%" directives included, stays as written. The page's text is never used as a
// format string.
std::string AppDialogCallbackScript(const std::string& callback, long index);
