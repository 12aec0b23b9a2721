// The web view: loads a page through the URL session, parses its HTML, runs its scripts in a fresh script
// context, and lets the headless device follow its links.
//
// The life of a load (every navigation: loadRequest, reload, a script's location change, a link):
//   1. The request is queued; on a later turn of the main run loop the delegate is asked
//      shouldStartLoadWithRequest(request, navigationType). Never from inside the call that asked for the
//      navigation, never from inside a script. A newer navigation supersedes one still waiting here.
//   2. NO: nothing more happens (a load in flight goes on). A scheme the view cannot load (anything but
//      http, https and about:blank) ends in didFailLoadWithError with NSURLErrorUnsupportedURL.
//   3. A load still in flight ends with didFailLoadWithError(NSURLErrorCancelled).
//   4. webViewDidStartLoad; the page is fetched through the platform's URL loading (the shared URL cache
//      applies). A transport failure gives didFailLoadWithError; an HTTP error status still shows its page.
//   5. The HTML is parsed, a new script context replaces the old one, and the page's scripts run in
//      document order (an external script is fetched when its turn comes; one that cannot be fetched is
//      logged and skipped). Script exceptions and runaway scripts are reported by the context and do not
//      stop the load.
//   6. webViewDidFinishLoad.
// `stopLoading` drops a navigation waiting in step 1 and ends a load in steps 4-5 with
// didFailLoadWithError(NSURLErrorCancelled), so every didStartLoad is followed by exactly one finish or
// failure. Nothing is called after the view is destroyed. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/URLResponse.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/JSContext.h"

class UIWebView;

enum class UIWebViewNavigationType : long {
    LinkClicked = 0,
    FormSubmitted = 1,
    BackForward = 2,
    Reload = 3,
    FormResubmitted = 4,
    Other = 5,
};

// Every method is optional; the defaults are the platform's (load everything, ignore the rest).
class UIWebViewDelegate {
  public:
    virtual ~UIWebViewDelegate() = default;
    virtual bool shouldStartLoadWithRequest(UIWebView&, const NSURLRequest&, UIWebViewNavigationType) {
        return true;
    }
    virtual void webViewDidStartLoad(UIWebView&) {}
    virtual void webViewDidFinishLoad(UIWebView&) {}
    virtual void didFailLoadWithError(UIWebView&, const NSErrorPtr&) {}
};

// Where a web view's bytes come from. The default fetches through a URL session whose completions run on
// the main queue; tests may put anything in its place.
class UIWebViewLoader {
  public:
    using Completion =
        std::function<void(std::optional<Data> data, NSURLResponsePtr response, NSErrorPtr error)>;
    virtual ~UIWebViewLoader() = default;
    // Starts a fetch. `completion` runs once, on the main thread, unless the returned cancel function is
    // called first (after which it never runs).
    virtual std::function<void()> load(const NSURLRequest& request, Completion completion) = 0;

    static std::shared_ptr<UIWebViewLoader> sessionLoader();
};

class UIWebView : public UIView {
  public:
    static std::shared_ptr<UIWebView> create(CGRect frame = CGRectZero);
    ~UIWebView() override;

    std::shared_ptr<UIWebViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UIWebViewDelegate> delegate) { delegate_ = std::move(delegate); }

    void loadRequest(const NSURLRequest& request);
    // Shows `data` at once as the page of `baseURL` (null: about:blank), without fetching it. Only an HTML
    // MIME type ("" counts as HTML) is parsed and its scripts run; any other type shows an empty page. The
    // text encoding name ("" : the page's own, else UTF-8) decodes the HTML. A load in flight ends as with
    // `stopLoading`. The delegate hears nothing of this load: whoever hands the data over reports it.
    void loadData(const Data& data, const std::string& MIMEType, const std::string& textEncodingName,
                  const std::shared_ptr<NSURL>& baseURL);
    void reload();
    void stopLoading();
    bool isLoading() const { return state_ == State::Loading; }
    // The request of the page shown or being loaded (its URL is the final one after redirects).
    const NSURLRequest& request() const { return request_; }
    const std::shared_ptr<UIScrollView>& scrollView() const { return scrollView_; }

    // Runs `script` in the current page; the result as text ("" for undefined, null and objects).
    std::string stringByEvaluatingJavaScriptFromString(const std::string& script);

    // Answers "documentView.webView.mainFrame.javaScriptContext" with the page's JSContext (an empty
    // page's context before any load); null for any other path.
    Value valueForKeyPath(const std::string& keyPath);
    // The current page's context (created for an empty page when none exists yet).
    JSContextPtr javaScriptContext();

    // The page's title (<title>, then document.title as scripts change it) and links.
    const std::string& pageTitle() const { return title_; }
    std::vector<std::pair<std::string, std::string>> links() const;  // (text, href) in document order
    // The headless device's finger on a link: the first link whose text, else whose href, equals `textOrHref`
    // is followed (navigation type "link clicked"). False when the page has no such link.
    bool activateLink(const std::string& textOrHref);

    // Seconds any one entry into page script may run (default JSContext::kDefaultExecutionTimeLimit); applies
    // to the current page and later ones.
    void setScriptTimeLimit(double seconds);
    // Replaces how pages are fetched (tests).
    void setLoader(std::shared_ptr<UIWebViewLoader> loader) { loader_ = std::move(loader); }

    void setFrame(CGRect frame) override;

  protected:
    explicit UIWebView(CGRect frame);
    std::string dumpDetails() const override;

  private:
    enum class State { Idle, Loading };
    struct Host;
    struct Page;

    void navigate(NSURLRequest request, UIWebViewNavigationType type);
    void decide(uint64_t serial, const NSURLRequest& request, UIWebViewNavigationType type);
    void startLoad(const NSURLRequest& request);
    void pageArrived(std::optional<Data> data, const NSURLResponsePtr& response, const NSErrorPtr& error);
    void runScripts();
    void finish(const NSErrorPtr& error);
    void cancelFetch();
    JSContextPtr makeContext(const std::string& pageURL, const std::string& title);

    std::weak_ptr<UIWebViewDelegate> delegate_;
    std::shared_ptr<UIScrollView> scrollView_;
    std::shared_ptr<UIWebViewLoader> loader_;
    std::shared_ptr<Host> host_;
    NSURLRequest request_;
    State state_ = State::Idle;
    bool reportsLoad_ = true;  // false while a page from loadData is shown: the delegate is not told
    uint64_t decisionSerial_ = 0;  // a waiting navigation acts only while this is its serial
    uint64_t loadSerial_ = 0;      // fetch completions act only while this is their serial
    std::function<void()> cancel_;
    JSContextPtr context_;
    std::string title_;
    std::string pageURL_;
    std::unique_ptr<Page> page_;  // the page being loaded: its scripts and where they stand
    std::vector<std::pair<std::string, std::string>> links_;
    double scriptTimeLimit_ = JSContext::kDefaultExecutionTimeLimit;
};

using UIWebViewPtr = std::shared_ptr<UIWebView>;
