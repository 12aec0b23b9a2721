// The base of the application's screens (all but the first-run guide): a web view with its page, the bridge
// object "app" in the page's script context, the HUD's loading indicator while a page loads, a pull-down
// header that reloads the page, and the dialogs a page opens.
//
// A page load, as this screen sees it:
//   navigation request   the text selection and touch callout of the current document are switched off;
//                        "sarnquil://" addresses are never loaded ("sarnquil://login" signs out and opens
//                        the sign-in screen when the back end's own main-frame page started it with no
//                        other origin on the way: no redirect by another server, no frame of another
//                        origin on the page); everything else loads (a frame's navigation too)
//   load start           one more loading request on the HUD
//   load finish          the HUD's request is taken back (the bridge is in every page of the view from its
//                        first script on)
//   load failure         a console line "====<error>", then the HUD's request is taken back
// A screen that goes away while its page loads takes its outstanding requests off the HUD as well.
//
// Pages from the back end's own origin (AppConfig; the engine judges a document's origin) may read the token
// and the stored values through the bridge, write stored values and sign the user out; any other page reads
// nothing and writes nothing there (see AppJSExport.h). The values are mirrored into the engine before each
// navigation and after each change.
//
// Main thread only.
#pragma once

#include <memory>
#include <string>

#include "app/screens/AppJSExport.h"
#include "platform/uikit/UIActionSheet.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/uikit/UIViewController.h"
#include "platform/webkit/UIWebView.h"

// What a screen may ask of the screen that opened it.
class AppBaseDelegate {
  public:
    virtual ~AppBaseDelegate() = default;
    // Whether `refresh` does anything; the default does not.
    virtual bool respondsToRefresh() const { return false; }
    virtual void refresh() {}
};

class BaseViewController : public UIViewController,
                           public UIAlertViewDelegate,
                           public UIActionSheetDelegate,
                           public UIWebViewDelegate,
                           public AppJSExport,
                           public AppBaseDelegate {
  public:
    static std::shared_ptr<BaseViewController> create();
    ~BaseViewController() override;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;

    bool isHideNav() const { return isHideNav_; }
    void setIsHideNav(bool hide) { isHideNav_ = hide; }
    bool isRefresh() const { return isRefresh_; }
    UIWebViewPtr webView() const { return webView_; }
    // Takes the view: white background, this screen as its delegate, and a pull-down header that reloads
    // the page and closes at once.
    void setWebView(const UIWebViewPtr& webView);
    std::shared_ptr<AppBaseDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<AppBaseDelegate> delegate) { delegate_ = std::move(delegate); }
    const Text& alertCallback() const { return alertCallback_; }
    const Text& actionSheetCallback() const { return actionSheetCallback_; }
    // The address of the last navigation request.
    const std::string& urlStr() const { return urlStr_; }

    // Runs `script` in the web view's current page; the result is dropped.
    void toExecuteJavaScript(const std::string& script, const UIWebViewPtr& webView);
    // The same as refresh.
    void reloadRequsetBtn() { refresh(); }

    // The bridge.
    void push(const Text& title, const Text& url) override;
    void showAlertViewWithTitle(const Text& title, const Text& message, const Text& cancelTitle,
                                const Text& sureTitle, const Text& callback) override;
    void actionSheetWithTitle(const Text& title, const Text& cancelButtonTitle,
                              const Text& destructiveButtonTitle, const Text& otherButtonTitle,
                              const Text& callback) override;
    void setWebCash(const Text& key, const Text& value) override;
    void toLogin() override;
    Text getAccessToken() override;
    void pop() override;
    void popToRoot() override;
    void showTip(const Text& text) override;
    void pushWithUrl(const Text& url) override;
    void setIsRefresh(bool isRefresh) override { isRefresh_ = isRefresh; }
    void refresh() override;
    void stopSwipeRefresh() override;
    std::string getWebCash(const Text& key) override;
    bool respondsToRefresh() const override { return true; }
    Mirror mirror() const override;

    // The web view's delegate.
    bool shouldStartLoadWithRequest(UIWebView& webView, const NSURLRequest& request,
                                    UIWebViewNavigationType type) override;
    void webViewDidStartLoad(UIWebView& webView) override;
    void webViewDidFinishLoad(UIWebView& webView) override;
    void didFailLoadWithError(UIWebView& webView, const NSErrorPtr& error) override;

    // Dialog clicks.
    void clickedButtonAtIndex(UIAlertView& alertView, long buttonIndex) override;
    void clickedButtonAtIndex(UIActionSheet& actionSheet, long buttonIndex) override;

  protected:
    BaseViewController() = default;
    // Runs `work` on the main queue for as long as this screen lives.
    void onMainQueue(std::function<void(BaseViewController&)> work);
    // Whether the calling page, outside a bridge call the page now in the web view, comes from the back
    // end's own origin.
    bool pageIsFromBackend() const;
    // Forgets the token and opens the sign-in screen, on a later turn of the main queue.
    void signOut();
    // Runs the stored callback of a dialog with the clicked index in the page that opened the dialog.
    void answerDialog(const Text& callback, uint64_t document, long index);

  private:
    bool isHideNav_ = false;
    bool isRefresh_ = false;
    UIWebViewPtr webView_;
    std::weak_ptr<AppBaseDelegate> delegate_;
    Text alertCallback_;
    Text actionSheetCallback_;
    uint64_t alertDocument_ = 0;  // the page whose dialog is showing
    uint64_t actionSheetDocument_ = 0;
    std::string urlStr_;
    int loadsOnHUD_ = 0;  // loading requests this screen has put on the HUD and not yet taken back
};

using BaseViewControllerPtr = std::shared_ptr<BaseViewController>;
