// The web view: a page shown by the web engine (WebKitGTK, headless; see README.md), with the delegate's
// say over every navigation, scripts evaluated in the page, and an optional bridge object for the page.
//
// The life of a load (every navigation of the page's main frame: loadRequest, reload, a script's location
// change, a link, a form, history):
//   1. The engine asks; on a later turn of the main run loop the delegate is asked
//      shouldStartLoadWithRequest(request, navigationType). Never from inside the call that asked for the
//      navigation, never from inside a script. A navigation asked through the view supersedes one still
//      waiting here. The delegate is asked for the navigations of the page's frames too (the engine does not
//      say which frame asks); a frame's navigation is no page load: it ends nothing, and NO stops only it.
//   2. NO: nothing more happens (a load in flight goes on). A scheme the view cannot load (anything but
//      http, https and about:blank) ends in didFailLoadWithError with NSURLErrorUnsupportedURL.
//   3. A load still in flight ends with didFailLoadWithError(NSURLErrorCancelled).
//   4. webViewDidStartLoad; the engine fetches and shows the page (its scripts run as in any browser).
//      A transport failure gives didFailLoadWithError; an HTTP error status still shows its page. A page that
//      has not finished within the request's timeout interval is stopped: NSURLErrorTimedOut.
//   5. webViewDidFinishLoad, once the engine has loaded the document and its subresources (the page's own
//      asynchronous work may go on).
// A navigation inside the document (a fragment, history.pushState) is asked for in step 1 and loads nothing.
// `stopLoading` drops a navigation waiting in step 1 and ends a load in step 4 with
// didFailLoadWithError(NSURLErrorCancelled), so every didStartLoad is followed by exactly one finish or
// failure. When the engine's web process dies, the load in flight fails (NSURLErrorNetworkConnectionLost),
// the view shows a blank page (documentURL() is "") and the next navigation starts a new process. A web
// process that stops answering is ended likewise, or replaced ahead of the next navigation. No call waits on
// the engine for more than about a second. Nothing is called after the view is destroyed. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/JSBridge.h"

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

// Posted (sender: the view) when a load that the delegate hears of has ended, right after the delegate was
// told; the user info holds UIWebViewLoadURLKey and, for a failure, UIWebViewLoadErrorKey (the error's
// localized description) and UIWebViewLoadErrorCodeKey.
inline constexpr const char* UIWebViewLoadDidEndNotification = "UIWebViewLoadDidEndNotification";
inline constexpr const char* UIWebViewLoadURLKey = "URL";
inline constexpr const char* UIWebViewLoadErrorKey = "error";
inline constexpr const char* UIWebViewLoadErrorCodeKey = "code";

// Something a person sees on the page: its text, a link (with its address) or a button.
struct UIWebPageElement {
    enum class Kind { Text, Link, Button, Field };
    Kind kind = Kind::Text;
    std::string text;
    std::string href;  // links only, resolved against the page
};

class UIWebView : public UIView, public UIKeyInput {
  public:
    static std::shared_ptr<UIWebView> create(CGRect frame = CGRectZero);
    ~UIWebView() override;

    std::shared_ptr<UIWebViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UIWebViewDelegate> delegate) { delegate_ = std::move(delegate); }

    void loadRequest(const NSURLRequest& request);
    // Shows `data` as the page of `baseURL` (null: about:blank), without fetching it and without asking the
    // delegate. `MIMEType` "" counts as text/html; the text encoding name ("" : the page's own, else UTF-8)
    // decodes it. A load in flight ends as with `stopLoading`. The delegate hears nothing of this load:
    // whoever hands the data over reports it.
    void loadData(const Data& data, const std::string& MIMEType, const std::string& textEncodingName,
                  const std::shared_ptr<NSURL>& baseURL);
    // Loads again the page last asked for (`request()`): the document shown is revalidated; after a failed
    // load or an ended web process the page is loaded anew.
    void reload();
    void stopLoading();
    bool isLoading() const { return state_ == State::Loading; }
    // The request of the page shown or being loaded (its URL is the final one after redirects).
    const NSURLRequest& request() const { return request_; }
    const std::shared_ptr<UIScrollView>& scrollView() const { return scrollView_; }

    // Runs `script` in the current page and waits (bounded) for it; the result as text ("" for undefined,
    // null, objects, an exception or an engine that does not answer). The bridge calls the script made are
    // on the main queue when it returns.
    std::string stringByEvaluatingJavaScriptFromString(const std::string& script);
    // The same with what went wrong: `exception` holds the script's uncaught exception, or why the engine
    // gave no answer.
    struct ScriptResult {
        std::string value;
        std::optional<std::string> exception;
    };
    ScriptResult evaluateJavaScript(const std::string& script);

    // The page's title and links, read from the page as it is now.
    std::string pageTitle();
    std::vector<std::pair<std::string, std::string>> links();  // (text, href) in document order
    // What a person sees of the page, in document order: visible text, links, buttons and fields.
    std::vector<UIWebPageElement> pageElements();
    // The headless device's finger on a link: the first link whose text, else whose href, equals
    // `textOrHref` is followed (navigation type "link clicked"). False when the page has no such link.
    bool activateLink(const std::string& textOrHref);
    // A tap on the first visible link, button, field (by its value, else its placeholder) or element with
    // a click handler whose text equals `text`. The tapped element takes the focus where it can; a field
    // that takes typing gives the view the keyboard, anything else takes it away.
    bool tapElement(const std::string& text);

    // The keyboard, for the page's focused field. Text goes in through the engine's editing, as a
    // keyboard's committed text does: each run between returns is one insertion, with its input event
    // (the engine lays the field out again on every edit, so a key an edit would make a long run cost the
    // square of its length). "\n" is the return key, pressed on the engine as a key event (a form submits,
    // a field sends its change event; a text area takes a line break). A paste inserts the pasteboard's
    // text as one edit.
    bool hasFocusedField();
    bool canBecomeFirstResponder() const override;
    bool hasText() const override { return true; }
    void insertText(const std::string& text) override;
    void deleteBackward() override;
    void paste() override;
    Typing typing() const override { return Typing::PerRun; }
    // The keyboard is up while the view has it.
    void didBecomeFirstResponder() override;
    void didResignFirstResponder() override;
    // Writes what the view shows as a PNG file.
    bool writeSnapshot(const std::string& path, std::string* error = nullptr);

    // The bridge: an object named `name` in the script world of every document of this view's main frame,
    // with `bridge`'s methods (see JSBridge.h). Null removes it from the next document on.
    void setBridge(const std::string& name, std::weak_ptr<JSBridge> bridge);
    // Re-reads the bridge's mirrored values and sends them to the engine.
    static void updateBridgeMirror(const JSBridge& bridge);
    // Runs `script` in document `document` of this view when it is still the one shown; otherwise drops it
    // with a console line. For answers that belong to the page that asked.
    void evaluateInDocument(uint64_t document, const std::string& script);
    // The document now shown, as bridge calls name it (0 before the first).
    uint64_t currentDocument() const { return document_; }
    // The address of the document now shown (not of one still loading); "" before the first and after the
    // web process ended.
    const std::string& documentURL() const { return documentURL_; }
    // Whether the document now shown has the bridge mirror's origin (the engine's own origin of the
    // document).
    bool documentIsOfBridgeOrigin() const { return documentOfBridgeOrigin_; }
    // Inside shouldStartLoadWithRequest: whether the navigation was asked through the view, or started by
    // the main frame's document of the bridge mirror's origin with no other origin on the way (no frame of
    // another origin on the page, no redirect by another origin's server).
    bool navigationIsFromBridgeOrigin() const { return navigationFromBridgeOrigin_; }

    // The launch image's hold: keeps the main thread for `seconds` on the platform clock (under a manual
    // clock, until it has been moved on that far) while the engine starts (display server, toolkit, web
    // process) and, unless `pageURL` is "", begins loading that page out of sight, without its scripts,
    // so that the view that shows it next finds the engine, its connection and the page's resources ready.
    // Nothing of the main run loop runs meanwhile: the engine's events only queue work.
    static void holdWhileEngineStarts(double seconds, const std::string& pageURL);

    // Ends the engine's web process (tests of the engine's faults).
    void terminateWebProcessForTesting();

    void setFrame(CGRect frame) override;

    struct Engine;

  protected:
    explicit UIWebView(CGRect frame);
    std::string dumpDetails() const override;

  private:
    enum class State { Idle, Loading };
    enum class Origin { App, Page, Redirect };  // who asked for a navigation
    struct Native;

    void navigate(const NSURLRequest& request, UIWebViewNavigationType type);
    // Asks the delegate; true when the navigation goes ahead (a load in flight has then ended).
    bool decide(uint64_t serial, const NSURLRequest& request, UIWebViewNavigationType type, Origin origin);
    void engineStarted(uint64_t epoch, bool silent, const std::string& uri);
    void engineRedirected(const std::string& uri);
    void engineFailed(uint64_t epoch, const NSErrorPtr& error);
    void engineFinished(uint64_t epoch);
    void engineTerminated(bool replaced);
    void bridgeMessage(const std::string& name, const Value& arguments);
    void finish(const NSErrorPtr& error);
    void armTimeout();
    std::vector<UIWebPageElement> readPage(const std::string& script);
    // Runs `script` in the page (`deviceWorld`: in the device's own script world), bounded.
    ScriptResult run(const std::string& script, bool deviceWorld);

    std::weak_ptr<UIWebViewDelegate> delegate_;
    std::shared_ptr<UIScrollView> scrollView_;
    std::unique_ptr<Native> native_;
    NSURLRequest request_;
    State state_ = State::Idle;
    bool reportsLoad_ = true;      // false while loadData's page loads: the delegate is not told
    uint64_t decisionSerial_ = 0;  // a waiting navigation acts only while this is its serial
    uint64_t epoch_ = 0;           // engine events queued before a stop belong to the stopped load
    uint64_t loadSerial_ = 0;      // the time-out acts only on the load it was armed for
    std::optional<NSURLRequest> pendingRequest_;  // the request the delegate allowed last
    NSErrorPtr pendingError_;                     // the engine's failure, reported when its load ends
    uint64_t document_ = 0;
    std::string documentURL_;
    bool documentOfBridgeOrigin_ = false;
    bool foreignFrames_ = false;  // a frame of another origin got a document in the page shown
    bool foreignHop_ = false;     // the navigation in flight went through another origin
    bool navigationFromBridgeOrigin_ = false;
    std::string bridgeName_;
    std::weak_ptr<JSBridge> bridge_;
};

using UIWebViewPtr = std::shared_ptr<UIWebView>;
