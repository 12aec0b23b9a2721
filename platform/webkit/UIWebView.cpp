#include "platform/webkit/UIWebView.h"

#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <utility>

#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/uikit/UIScreen.h"
#include "platform/webkit/BridgeCallMessage.h"
#include "platform/webkit/BridgeProtocol.h"
#include "platform/webkit/WebEngine.h"

namespace {

namespace bp = bridge_protocol;

// Real time the main thread waits on the engine (a script, a snapshot, a page given as data) before it goes
// on without the answer. A web process that then answers nothing, not even a plain message, for
// kHangSeconds is taken as hung and replaced.
constexpr double kEngineWaitSeconds = 1;
constexpr unsigned kHangMilliseconds = 3000;
// The script world of the device's reading and tapping, out of the page's reach.
constexpr const char* kDeviceWorld = "quorvane-device";

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool canLoad(const NSURLPtr& url) {
    if (!url) return false;
    const std::string scheme = lowercase(url->scheme());
    return ((scheme == "http" || scheme == "https") && !url->host().empty()) ||
           lowercase(url->absoluteString()) == "about:blank";
}

std::string quoted(const std::string& text) {
    auto json = NSJSONSerialization::dataWithJSONObject(
        Value(text), NSJSONSerialization::WritingFragmentsAllowed, nullptr);
    return json ? json->toString() : "\"\"";
}

// The engine's errors in the URL loading system's codes.
NSErrorPtr loadError(const GError* error, const NSURLPtr& url) {
    long code = NSURLErrorUnknown;
    if (error->domain == WEBKIT_NETWORK_ERROR) {
        code = error->code == WEBKIT_NETWORK_ERROR_CANCELLED          ? NSURLErrorCancelled
               : error->code == WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL ? NSURLErrorUnsupportedURL
                                                                      : NSURLErrorUnknown;
    } else if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_CANCELLED:
                code = NSURLErrorCancelled;
                break;
            case G_IO_ERROR_TIMED_OUT:
                code = NSURLErrorTimedOut;
                break;
            case G_IO_ERROR_CONNECTION_REFUSED:
            case G_IO_ERROR_HOST_UNREACHABLE:
            case G_IO_ERROR_NETWORK_UNREACHABLE:
                code = NSURLErrorCannotConnectToHost;
                break;
            case G_IO_ERROR_CONNECTION_CLOSED:
                code = NSURLErrorNetworkConnectionLost;
                break;
            default:
                break;
        }
    } else if (error->domain == G_RESOLVER_ERROR) {
        code = NSURLErrorCannotFindHost;
    } else if (error->domain == G_TLS_ERROR) {
        code = NSURLErrorSecureConnectionFailed;
    } else if (error->domain == WEBKIT_POLICY_ERROR) {
        code = error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE
                   ? NSURLErrorCancelled
                   : NSURLErrorUnsupportedURL;
    }
    return NSURLError(code, url, error->message ? error->message : "");
}

// Whether going to `request` from `shown` only moves to a fragment of the same document.
bool withinDocument(const char* shown, const NSURLRequest& request) {
    if (!shown || !request.URL()) return false;
    const std::string from = shown, to = request.URL()->absoluteString();
    const size_t hash = to.find('#');
    return hash != std::string::npos && from.substr(0, from.find('#')) == to.substr(0, hash);
}

// What a view knows of its web process's health, kept on the engine's view.
struct Health {
    bool unanswered = false;  // a wait on the engine went unanswered, and nothing has answered since
    bool probing = false;     // a plain message is out to see whether the process still answers
    bool replacing = false;   // ended by us ahead of a navigation: its loads are not failed
};

Health& health(WebKitWebView* view) {
    auto* h = static_cast<Health*>(g_object_get_data(G_OBJECT(view), "quorvane-health"));
    if (!h) {
        h = new Health;
        g_object_set_data_full(G_OBJECT(view), "quorvane-health", h,
                               [](gpointer data) { delete static_cast<Health*>(data); });
    }
    return *h;
}

// A web process stuck in a page's script holds every page. A wait that went unanswered sends a plain message
// without waiting for it; a process that answers nothing within kHangSeconds is ended (a load in flight then
// fails as for any ended process), and the next navigation starts a new one.
void suspectHang(WebKitWebView* view) {
    Health& h = health(view);
    h.unanswered = true;
    if (h.probing) return;
    h.probing = true;
    webkit_web_view_send_message_to_page(
        view, webkit_user_message_new(bp::kFlushMessage, nullptr), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer) {
            WebKitUserMessage* reply =
                webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            if (reply) g_object_unref(reply);
            Health& answered = health(WEBKIT_WEB_VIEW(source));
            answered.probing = false;
            if (reply) answered.unanswered = false;
        },
        nullptr);
    auto* weak = g_new0(GWeakRef, 1);
    g_weak_ref_init(weak, view);
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, kHangMilliseconds,
        [](gpointer data) -> gboolean {
            auto* web = static_cast<WebKitWebView*>(g_weak_ref_get(static_cast<GWeakRef*>(data)));
            if (web && health(web).unanswered) {
                NSLog("Web view: the web process stopped answering; it is ended");
                health(web).probing = false;
                webkit_web_view_terminate_web_process(web);
            }
            if (web) g_object_unref(web);
            return G_SOURCE_REMOVE;
        },
        weak,
        [](gpointer data) {
            g_weak_ref_clear(static_cast<GWeakRef*>(data));
            g_free(data);
        });
}

// Waits (bounded) on the engine; an unanswered wait makes the process suspect. A process already suspect is
// not waited on again until it answers.
bool awaitEngine(WebKitWebView* view, const std::function<bool()>& done) {
    if (health(view).unanswered) return done();
    if (WebEngine::runUntil(done, kEngineWaitSeconds)) return true;
    suspectHang(view);
    return false;
}

// How many bridge calls the page has sent, as its web process says within `seconds`; nullopt when it does
// not answer.
std::optional<uint64_t> callsSent(WebKitWebView* view, double seconds) {
    auto sent = std::make_shared<std::optional<uint64_t>>();
    webkit_web_view_send_message_to_page(
        view, webkit_user_message_new(bp::kFlushMessage, nullptr), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* holder = static_cast<std::shared_ptr<std::optional<uint64_t>>*>(data);
            WebKitUserMessage* reply =
                webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            GVariant* p = reply ? webkit_user_message_get_parameters(reply) : nullptr;
            guint64 count = 0;
            if (p && g_variant_is_of_type(p, G_VARIANT_TYPE(bp::kFlushReplyType)))
                g_variant_get(p, "(t)", &count);
            **holder = count;
            if (reply) g_object_unref(reply);
            delete holder;
        },
        new std::shared_ptr<std::optional<uint64_t>>(sent));
    if (health(view).unanswered) return std::nullopt;
    WebEngine::runUntil([&] { return sent->has_value(); }, seconds);
    if (!*sent) suspectHang(view);
    return *sent;
}

NSURLRequest requestFrom(WebKitURIRequest* request) {
    return NSURLRequest(NSURL::URLWithString(webkit_uri_request_get_uri(request)));
}

}  // namespace

// The engine's side of one view: its widget, and the signal handlers' way back to the view. Handlers only
// queue work for the main queue (delegates never run inside the engine's callbacks or a bounded wait).
struct UIWebView::Native {
    std::weak_ptr<UIWebView> owner;
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    std::string silentURI;  // a page given as data: its navigation is allowed without the delegate
    // Navigations asked for through the view that the delegate has allowed already, in order.
    std::deque<std::string> approved;
    bool nextLoadSilent = false;
    uint64_t finishedLoads = 0;  // counted in the handler itself, for loadData's bounded wait
    uint64_t callsReceived = 0;  // bridge calls, counted as they arrive

    template <class F>
    void post(F work) {
        DispatchQueue::main()->async([weak = owner, work = std::move(work)]() mutable {
            if (auto view = weak.lock()) work(*view);
        });
    }

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data);
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data);
    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data);
    static void terminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data);
    static gboolean message(WebKitWebView*, WebKitUserMessage* message, gpointer data);
};

gboolean UIWebView::Native::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                         WebKitPolicyDecisionType type, gpointer data) {
    auto* native = static_cast<Native*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);  // the view has no other windows
        return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    if (!native->silentURI.empty() && native->silentURI == webkit_uri_request_get_uri(request)) {
        native->silentURI.clear();
        native->nextLoadSilent = true;
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    auto& approved = native->approved;
    auto allowed = std::find(approved.begin(), approved.end(), webkit_uri_request_get_uri(request));
    if (allowed != approved.end()) {
        approved.erase(approved.begin(), allowed + 1);
        native->nextLoadSilent = false;
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    auto view = native->owner.lock();
    if (!view) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    // A page's navigation, of its main frame or of one of its frames (the engine does not say which): it
    // supersedes nothing, and only a stop or a navigation asked through the view drops it.
    const uint64_t serial = view->decisionSerial_;
    const auto navigationType = UIWebViewNavigationType(webkit_navigation_action_get_navigation_type(action));
    const Origin origin = webkit_navigation_action_is_redirect(action) ? Origin::Redirect : Origin::Page;
    g_object_ref(decision);
    NSURLRequest navigation = requestFrom(request);
    std::weak_ptr<UIWebView> weak = view;
    DispatchQueue::main()->async([weak, serial, decision, navigation, navigationType, origin] {
        auto v = weak.lock();
        if (v && v->decide(serial, navigation, navigationType, origin)) {
            v->native_->nextLoadSilent = false;
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        g_object_unref(decision);
    });
    return TRUE;
}

void UIWebView::Native::loadChanged(WebKitWebView* webView, WebKitLoadEvent event, gpointer data) {
    auto* native = static_cast<Native*>(data);
    auto view = native->owner.lock();
    if (!view) return;
    const uint64_t epoch = view->epoch_;
    const char* uri = webkit_web_view_get_uri(webView);
    std::string current = uri ? uri : "";
    switch (event) {
        case WEBKIT_LOAD_STARTED: {
            const bool silent = std::exchange(native->nextLoadSilent, false);  // in the engine's order
            native->post([epoch, silent, current](UIWebView& v) { v.engineStarted(epoch, silent, current); });
            break;
        }
        case WEBKIT_LOAD_REDIRECTED:
            native->post([current](UIWebView& v) { v.engineRedirected(current); });
            break;
        case WEBKIT_LOAD_COMMITTED:
            native->post([current](UIWebView& v) {
                v.documentURL_ = current;
                v.engineRedirected(current);
            });
            break;
        case WEBKIT_LOAD_FINISHED:
            ++native->finishedLoads;
            native->post([epoch](UIWebView& v) { v.engineFinished(epoch); });
            break;
    }
}

gboolean UIWebView::Native::loadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                       gpointer data) {
    auto* native = static_cast<Native*>(data);
    if (auto view = native->owner.lock()) {
        auto failure = loadError(error, NSURL::URLWithString(uri ? uri : ""));
        const uint64_t epoch = view->epoch_;
        native->post([epoch, failure](UIWebView& v) { v.engineFailed(epoch, failure); });
    }
    return TRUE;  // no error page of the engine's own
}

void UIWebView::Native::terminated(WebKitWebView* web, WebKitWebProcessTerminationReason reason,
                                   gpointer data) {
    const bool replaced = std::exchange(health(web).replacing, false);
    health(web) = Health();
    NSLog(std::string("Web view: the web process ended (") +
          (reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "memory limit"
           : reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API   ? "ended on request"
                                                              : "crashed") +
          ")");
    static_cast<Native*>(data)->post([replaced](UIWebView& v) { v.engineTerminated(replaced); });
}

gboolean UIWebView::Native::message(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
    auto* native = static_cast<Native*>(data);
    const std::string name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters) return FALSE;
    if (name == bp::kDocumentMessage && g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kDocumentType))) {
        guint64 document;
        const char* url;
        gboolean ofBridgeOrigin;
        g_variant_get(parameters, "(t&sb)", &document, &url, &ofBridgeOrigin);
        native->post([document, ofBridgeOrigin](UIWebView& v) {
            v.document_ = document;
            v.documentOfBridgeOrigin_ = ofBridgeOrigin;
            v.foreignFrames_ = false;
        });
        return TRUE;
    }
    if (name == bp::kFrameMessage && g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kFrameType))) {
        guint64 document;
        g_variant_get(parameters, "(t)", &document);
        native->post([document](UIWebView& v) {
            if (v.document_ == document) v.foreignFrames_ = true;
        });
        return TRUE;
    }
    if (name != bp::kCallMessage) return FALSE;
    auto call = decodeBridgeCallMessage(parameters);
    if (!call) return FALSE;
    ++native->callsReceived;
    JSBridgeCaller caller{call->document, call->URL, call->ofBridgeOrigin};
    std::string called = call->method;
    JSArguments arguments = std::move(call->arguments);
    native->post([called, arguments, caller](UIWebView& v) {
        if (auto bridge = v.bridge_.lock()) bridge->bridgeCall(v, called, arguments, caller);
    });
    return TRUE;
}

UIWebView::UIWebView(CGRect frame) : UIView(frame) {}

std::shared_ptr<UIWebView> UIWebView::create(CGRect frame) {
    UIAssertMainThread();
    auto view = std::shared_ptr<UIWebView>(new UIWebView(frame));
    view->scrollView_ = UIScrollView::create(CGRect{CGPointZero, frame.size});
    view->addSubview(view->scrollView_);
    view->native_ = std::make_unique<Native>();
    view->native_->owner = view;
    if (WebKitWebView* web = WebEngine::createView()) {
        Native& n = *view->native_;
        n.view = web;
        n.window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(n.window), GTK_WIDGET(web));
        view->setFrame(frame);
        gtk_widget_show_all(n.window);
        g_signal_connect(web, "decide-policy", G_CALLBACK(Native::decidePolicy), &n);
        g_signal_connect(web, "load-changed", G_CALLBACK(Native::loadChanged), &n);
        g_signal_connect(web, "load-failed", G_CALLBACK(Native::loadFailed), &n);
        g_signal_connect(web, "web-process-terminated", G_CALLBACK(Native::terminated), &n);
        g_signal_connect(web, "user-message-received", G_CALLBACK(Native::message), &n);
    }
    return view;
}

UIWebView::~UIWebView() {
    if (!native_->view) return;
    WebEngine::removePageBridge(webkit_web_view_get_page_id(native_->view));
    g_signal_handlers_disconnect_by_data(native_->view, native_.get());
    webkit_web_view_stop_loading(native_->view);
    gtk_widget_destroy(native_->window);
}

void UIWebView::setFrame(CGRect frame) {
    UIView::setFrame(frame);
    if (scrollView_) scrollView_->setFrame(CGRect{CGPointZero, frame.size});
    if (!native_ || !native_->window) return;
    // A view placed only by constraints has no size here: the page is laid out for the screen.
    CGSize size =
        frame.size.width >= 1 && frame.size.height >= 1 ? frame.size : UIScreen::mainScreen().bounds().size;
    gtk_widget_set_size_request(GTK_WIDGET(native_->view), int(size.width), int(size.height));
    gtk_window_resize(GTK_WINDOW(native_->window), int(size.width), int(size.height));
}

void UIWebView::loadRequest(const NSURLRequest& request) {
    navigate(request, UIWebViewNavigationType::Other);
}

void UIWebView::navigate(const NSURLRequest& request, UIWebViewNavigationType type) {
    UIAssertMainThread();
    const uint64_t serial = ++decisionSerial_;
    native_->post([serial, request, type](UIWebView& v) {
        if (!v.decide(serial, request, type, Origin::App)) return;
        if (!v.native_->view) {
            if (auto delegate = v.delegate_.lock())
                delegate->didFailLoadWithError(
                    v, NSURLError(NSURLErrorUnknown, request.URL(),
                                  "the web engine cannot run: " + WebEngine::error()));
            return;
        }
        const std::string address = request.URL()->absoluteString();
        // A process that stopped answering is replaced before it is given the page.
        if (health(v.native_->view).unanswered) {
            NSLog("Web view: the web process stopped answering; it is replaced");
            health(v.native_->view).replacing = true;
            webkit_web_view_terminate_web_process(v.native_->view);
        }
        v.native_->approved.push_back(address);
        // A reload of the document shown revalidates it; any other (after a failed load or an ended web
        // process, the engine shows a blank page) loads the page asked for.
        if (type == UIWebViewNavigationType::Reload && v.documentURL_ == address) {
            webkit_web_view_reload(v.native_->view);
            return;
        }
        WebKitURIRequest* uri = webkit_uri_request_new(address.c_str());
        if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(uri)) {
            for (auto& [name, value] : request.headerFields().fields()) {
                soup_message_headers_replace(headers, name.c_str(), value.c_str());
            }
        }
        webkit_web_view_load_request(v.native_->view, uri);
        g_object_unref(uri);
    });
}

void UIWebView::loadData(const Data& data, const std::string& MIMEType, const std::string& textEncodingName,
                         const std::shared_ptr<NSURL>& baseURL) {
    UIAssertMainThread();
    auto keep = self<UIWebView>();
    ++decisionSerial_;
    if (state_ == State::Loading) stopLoading();
    if (!native_->view) return;
    const std::string base = baseURL ? baseURL->absoluteString() : "about:blank";
    request_ = NSURLRequest(NSURL::URLWithString(base));
    native_->silentURI = base;
    // The engine takes no empty data: an empty page is one blank.
    GBytes* bytes = data.empty() ? g_bytes_new(" ", 1) : g_bytes_new(data.bytes(), data.length());
    const uint64_t finished = native_->finishedLoads;
    webkit_web_view_load_bytes(native_->view, bytes, MIMEType.empty() ? "text/html" : MIMEType.c_str(),
                               textEncodingName.empty() ? nullptr : textEncodingName.c_str(), base.c_str());
    g_bytes_unref(bytes);
    // Shown before we return, as the caller reports the load as finished at once.
    if (!awaitEngine(native_->view, [&] { return native_->finishedLoads != finished; })) {
        NSLog("Web view: the page given as data for " + base + " did not finish loading in time");
    }
}

void UIWebView::reload() {
    UIAssertMainThread();
    if (!request_.URL()) return;
    navigate(request_, UIWebViewNavigationType::Reload);
}

void UIWebView::stopLoading() {
    UIAssertMainThread();
    ++decisionSerial_;
    if (native_->view) webkit_web_view_stop_loading(native_->view);
    if (state_ != State::Loading) return;
    ++epoch_;  // what the engine queued for the stopped load is dropped
    finish(NSURLError(NSURLErrorCancelled, request_.URL()));
}

bool UIWebView::decide(uint64_t serial, const NSURLRequest& request, UIWebViewNavigationType type,
                       Origin origin) {
    if (serial != decisionSerial_) return false;  // superseded or stopped
    auto keep = self<UIWebView>();
    if (auto delegate = delegate_.lock()) {
        // The bridge's origin started it: the app, or the main frame's document of that origin with no frame
        // of another origin on the page (the engine does not say which frame asks), and with no other
        // origin's server on the way (a redirect).
        const bool trusted = origin == Origin::App ||
                             (documentOfBridgeOrigin_ && !foreignFrames_ &&
                              !WebEngine::mirrorOrigin().empty() && (origin == Origin::Page || !foreignHop_));
        struct Scope {
            bool& slot;
            ~Scope() { slot = false; }
        } scope{navigationFromBridgeOrigin_};
        navigationFromBridgeOrigin_ = trusted;
        if (!delegate->shouldStartLoadWithRequest(*this, request, type) || serial != decisionSerial_)
            return false;
    }
    if (!canLoad(request.URL())) {
        if (auto d = delegate_.lock())
            d->didFailLoadWithError(*this, NSURLError(NSURLErrorUnsupportedURL, request.URL()));
        return false;
    }
    // Where this navigation goes next counts as a hop for the redirects that may follow.
    const bool foreign = WebEngine::originOf(request.URL()->absoluteString()) != WebEngine::mirrorOrigin();
    foreignHop_ = origin == Origin::Redirect ? foreignHop_ || foreign : foreign;
    // A page's navigation may be one of a frame's: the engine says when the main frame starts loading.
    if (origin != Origin::App) return true;
    // A load in flight ends before the next starts (a move inside the document loads nothing).
    if (state_ == State::Loading &&
        !(native_->view && withinDocument(webkit_web_view_get_uri(native_->view), request))) {
        ++epoch_;
        if (native_->view) webkit_web_view_stop_loading(native_->view);
        finish(NSURLError(NSURLErrorCancelled, request_.URL()));
        if (serial != decisionSerial_) return false;
    }
    pendingRequest_ = request;
    return true;
}

void UIWebView::engineStarted(uint64_t epoch, bool silent, const std::string& uri) {
    if (epoch != epoch_) return;
    auto keep = self<UIWebView>();
    if (state_ == State::Loading) finish(NSURLError(NSURLErrorCancelled, request_.URL()));
    reportsLoad_ = !silent;
    if (reportsLoad_ && pendingRequest_) {
        request_ = *pendingRequest_;
    } else if (reportsLoad_ && !uri.empty()) {
        request_ = NSURLRequest(NSURL::URLWithString(uri));  // a page's own navigation
    }
    pendingRequest_.reset();
    pendingError_ = nullptr;
    state_ = State::Loading;
    ++loadSerial_;
    if (!reportsLoad_) return;
    armTimeout();
    if (auto delegate = delegate_.lock()) delegate->webViewDidStartLoad(*this);
}

void UIWebView::engineRedirected(const std::string& uri) {
    if (state_ == State::Loading && !uri.empty()) request_.setURL(NSURL::URLWithString(uri));
}

void UIWebView::engineFailed(uint64_t epoch, const NSErrorPtr& error) {
    if (epoch == epoch_ && state_ == State::Loading) pendingError_ = error;
}

void UIWebView::engineFinished(uint64_t epoch) {
    if (epoch != epoch_ || state_ != State::Loading) return;
    finish(std::exchange(pendingError_, nullptr));
}

void UIWebView::engineTerminated(bool replaced) {
    // The engine shows a blank page now; a reload loads the page asked for.
    document_ = 0;
    documentURL_.clear();
    documentOfBridgeOrigin_ = false;
    foreignFrames_ = false;
    if (replaced || state_ != State::Loading) return;
    ++epoch_;
    finish(NSURLError(NSURLErrorNetworkConnectionLost, request_.URL(), "the web process ended"));
}

void UIWebView::armTimeout() {
    const double seconds = request_.timeoutInterval();
    if (seconds <= 0) return;
    std::weak_ptr<UIWebView> weak = self<UIWebView>();
    const uint64_t serial = loadSerial_;
    NSTimer::scheduledTimerWithTimeInterval(
        seconds, Repeats::No, [weak, serial](const std::shared_ptr<NSTimer>&) {
            auto view = weak.lock();
            if (!view || view->loadSerial_ != serial || view->state_ != State::Loading) return;
            ++view->decisionSerial_;
            ++view->epoch_;
            if (WebKitWebView* web = view->native_->view) {
                webkit_web_view_stop_loading(web);
                suspectHang(web);
            }
            view->finish(NSURLError(NSURLErrorTimedOut, view->request_.URL()));
        });
}

void UIWebView::finish(const NSErrorPtr& error) {
    auto keep = self<UIWebView>();
    state_ = State::Idle;
    ++loadSerial_;
    if (!reportsLoad_) return;
    if (auto delegate = delegate_.lock()) {
        if (error) {
            delegate->didFailLoadWithError(*this, error);
        } else {
            delegate->webViewDidFinishLoad(*this);
        }
    }
    Value::Dictionary info{
        {UIWebViewLoadURLKey, Value(request_.URL() ? request_.URL()->absoluteString() : "")}};
    if (error) {
        info[UIWebViewLoadErrorKey] = Value(error->localizedDescription());
        info[UIWebViewLoadErrorCodeKey] = Value(int64_t(error->code()));
    }
    NSNotificationCenter::defaultCenter().post(UIWebViewLoadDidEndNotification, keep, std::move(info));
}

// ---- Scripts

namespace {

struct Evaluation {
    bool done = false;
    std::string value;
    std::optional<std::string> exception;
};

void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
    auto* holder = static_cast<std::shared_ptr<Evaluation>*>(data);
    Evaluation& e = **holder;
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (value) {
        if (jsc_value_is_string(value) || jsc_value_is_number(value) || jsc_value_is_boolean(value)) {
            gchar* text = jsc_value_to_string(value);
            e.value = text ? text : "";
            g_free(text);
        }
        g_object_unref(value);
    } else if (error) {
        // A result the engine cannot hand over (a function, a node) is no failure of the script.
        if (!(error->domain == WEBKIT_JAVASCRIPT_ERROR &&
              error->code == WEBKIT_JAVASCRIPT_ERROR_INVALID_RESULT)) {
            e.exception = error->message ? error->message : "script failed";
        }
        g_error_free(error);
    }
    e.done = true;
    delete holder;
}

UIWebView::ScriptResult run(WebKitWebView* view, const std::string& script, const char* world) {
    if (!view) return {"", "the web engine cannot run: " + WebEngine::error()};
    auto evaluation = std::make_shared<Evaluation>();
    if (health(view).unanswered) return {"", "the page did not answer in time"};
    webkit_web_view_evaluate_javascript(view, script.c_str(), gssize(script.size()), world, nullptr, nullptr,
                                        evaluated, new std::shared_ptr<Evaluation>(evaluation));
    if (!awaitEngine(view, [&] { return evaluation->done; })) return {"", "the page did not answer in time"};
    return {evaluation->value, evaluation->exception};
}

}  // namespace

UIWebView::ScriptResult UIWebView::evaluateJavaScript(const std::string& script) {
    UIAssertMainThread();
    ScriptResult result = run(native_->view, script, nullptr);
    if (native_->view && !bridge_.expired()) awaitBridgeCalls();
    return result;
}

void UIWebView::awaitBridgeCalls() {
    // The page says how many calls it has sent; they have all been queued for the main queue once as many
    // have arrived.
    auto sent = callsSent(native_->view, kEngineWaitSeconds);
    if (sent) awaitEngine(native_->view, [&] { return native_->callsReceived >= *sent; });
}

std::string UIWebView::stringByEvaluatingJavaScriptFromString(const std::string& script) {
    return evaluateJavaScript(script).value;
}

std::string UIWebView::pageTitle() {
    UIAssertMainThread();
    return run(native_->view, "document.title", kDeviceWorld).value;
}

namespace {

// Visible text, links, buttons and fields in document order, as [kind, text, href] rows.
constexpr const char* kReadPage = R"JS((() => {
  const squash = (s) => (s || '').replace(/\s+/g, ' ').trim();
  const visible = (e) => !!(e.offsetWidth || e.offsetHeight || e.getClientRects().length) &&
      getComputedStyle(e).visibility !== 'hidden';
  const rows = [];
  const walk = (node) => {
    for (const child of node.childNodes) {
      if (child.nodeType === Node.TEXT_NODE) {
        const t = squash(child.textContent);
        if (t && child.parentElement && visible(child.parentElement)) rows.push(['text', t, '']);
        continue;
      }
      if (child.nodeType !== Node.ELEMENT_NODE || !visible(child)) continue;
      const tag = child.tagName;
      if (tag === 'SCRIPT' || tag === 'STYLE' || tag === 'TEMPLATE') continue;
      if (tag === 'A' && child.hasAttribute('href')) { rows.push(['link', squash(child.innerText), child.href]); continue; }
      if (tag === 'BUTTON' || child.getAttribute('role') === 'button' ||
          (tag === 'INPUT' && ['button', 'submit', 'reset'].includes(child.type))) {
        rows.push(['button', squash(child.innerText || child.value), '']); continue;
      }
      if (tag === 'INPUT' || tag === 'TEXTAREA' || tag === 'SELECT') {
        rows.push(['field', squash(child.value || child.placeholder), '']); continue;
      }
      walk(child);
    }
  };
  if (document.body) walk(document.body);
  return JSON.stringify(rows);
})())JS";

// Whether an element takes typing: a text-like input or a text area that can be edited.
constexpr const char* kIsTextField = R"JS((e) => !!e && !e.disabled && !e.readOnly &&
    (e.tagName === 'TEXTAREA' || (e.tagName === 'INPUT' &&
     ['text', 'search', 'url', 'tel', 'email', 'password', 'number'].includes(e.type))))JS";

// Taps the first visible element of `selector` that `match(element)` accepts: "field" when a field that
// takes typing has the focus afterwards, "tapped" otherwise, "none" when nothing matched.
std::string clickScript(const std::string& selector, const std::string& match) {
    return R"JS((() => {
  const squash = (s) => (s || '').replace(/\s+/g, ' ').trim();
  const visible = (e) => !!(e.offsetWidth || e.offsetHeight || e.getClientRects().length);
  const isField = )JS" +
           std::string(kIsTextField) + R"JS(;
  const match = )JS" +
           match + R"JS(;
  for (const pass of [0, 1]) {
    for (const e of document.querySelectorAll()JS" +
           quoted(selector) + R"JS()) {
      if (!visible(e) || !match(e, pass)) continue;
      // As a finger's tap: what can take the focus takes it, anything else takes it from where it was.
      const before = document.activeElement;
      if (e.focus) e.focus();
      if (document.activeElement === before && before !== e && before && before.blur) before.blur();
      if (isField(e) && document.activeElement === e) {
        const end = e.value.length;
        try { e.setSelectionRange(end, end); } catch (_) {}
      }
      e.click();
      return isField(document.activeElement) ? 'field' : 'tapped';
    }
  }
  return 'none';
})())JS";
}

}  // namespace

std::vector<UIWebPageElement> UIWebView::readPage(const std::string& script) {
    std::vector<UIWebPageElement> elements;
    auto json = run(native_->view, script, kDeviceWorld);
    auto rows = NSJSONSerialization::JSONObjectWithData(Data::fromString(json.value), 0, nullptr);
    const Value::Array* array = rows ? rows->asArray() : nullptr;
    if (!array) return elements;
    for (auto& row : *array) {
        const Value::Array* cells = row.asArray();
        if (!cells || cells->size() != 3) continue;
        const std::string kind = (*cells)[0].stringValue();
        UIWebPageElement element;
        element.kind = kind == "link"     ? UIWebPageElement::Kind::Link
                       : kind == "button" ? UIWebPageElement::Kind::Button
                       : kind == "field"  ? UIWebPageElement::Kind::Field
                                          : UIWebPageElement::Kind::Text;
        element.text = (*cells)[1].stringValue();
        element.href = (*cells)[2].stringValue();
        elements.push_back(std::move(element));
    }
    return elements;
}

std::vector<UIWebPageElement> UIWebView::pageElements() {
    UIAssertMainThread();
    return readPage(kReadPage);
}

std::vector<std::pair<std::string, std::string>> UIWebView::links() {
    UIAssertMainThread();
    std::vector<std::pair<std::string, std::string>> links;
    for (auto& e :
         readPage("JSON.stringify(Array.from(document.querySelectorAll('a[href]')).map(a => ['link',"
                  " (a.innerText || a.textContent || '').replace(/\\s+/g, ' ').trim(),"
                  " a.getAttribute('href')]))")) {
        links.emplace_back(e.text, e.href);
    }
    return links;
}

bool UIWebView::activateLink(const std::string& textOrHref) {
    UIAssertMainThread();
    const std::string wanted = quoted(textOrHref);
    // By text first, then by the address as written; hidden links count, as the page lists them.
    return run(native_->view,
               "(() => { const all = Array.from(document.querySelectorAll('a[href]'));"
               " const squash = (s) => (s || '').replace(/\\s+/g, ' ').trim();"
               " const a = all.find(a => squash(a.innerText || a.textContent) === " +
                   wanted +
                   ") ||"
                   " all.find(a => a.getAttribute('href') === " +
                   wanted +
                   ");"
                   " if (!a) return false; a.click(); return true; })()",
               kDeviceWorld)
               .value == "true";
}

bool UIWebView::tapElement(const std::string& text) {
    UIAssertMainThread();
    // Exact text on links, buttons and fields first, then on anything that answers clicks.
    const std::string match =
        "(e, pass) => squash(isField(e) ? (e.value || e.placeholder) : (e.innerText || e.value)) === " +
        quoted(text) + " && (pass === 1 || e.matches('a[href], button, input, textarea, [role=button]'))";
    const std::string tapped =
        run(native_->view, clickScript("a[href], button, input, textarea, [role=button], [onclick]", match),
            kDeviceWorld)
            .value;
    if (tapped == "field") {
        becomeFirstResponder();
    } else if (tapped == "tapped" && isFirstResponder()) {
        resignFirstResponder();
    }
    return tapped == "field" || tapped == "tapped";
}

bool UIWebView::writeSnapshot(const std::string& path, std::string* error) {
    UIAssertMainThread();
    struct Shot {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
    };
    auto shot = std::make_shared<Shot>();
    if (!native_->view) {
        if (error) *error = "the web engine cannot run: " + WebEngine::error();
        return false;
    }
    webkit_web_view_get_snapshot(
        native_->view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* holder = static_cast<std::shared_ptr<Shot>*>(data);
            GError* e = nullptr;
            (*holder)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &e);
            if (e) {
                (*holder)->error = e->message;
                g_error_free(e);
            }
            (*holder)->done = true;
            delete holder;
        },
        new std::shared_ptr<Shot>(shot));
    if (!awaitEngine(native_->view, [&] { return shot->done; })) {
        if (error) *error = "the engine gave no snapshot in time";
        return false;
    }
    if (!shot->surface) {
        if (error) *error = shot->error.empty() ? "no snapshot" : shot->error;
        return false;
    }
    const cairo_status_t status = cairo_surface_write_to_png(shot->surface, path.c_str());
    cairo_surface_destroy(shot->surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        if (error) *error = std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

// ---- The bridge

void UIWebView::setBridge(const std::string& name, std::weak_ptr<JSBridge> bridge) {
    UIAssertMainThread();
    bridgeName_ = name;
    bridge_ = bridge;
    if (!native_->view) return;
    const uint64_t page = webkit_web_view_get_page_id(native_->view);
    auto strong = bridge.lock();
    if (!strong) {
        WebEngine::removePageBridge(page);
        return;
    }
    WebEngine::setMirror(strong->mirror());
    WebEngine::setPageBridge(page, name, strong->bridgeMethods());
}

void UIWebView::updateBridgeMirror(const JSBridge& bridge) {
    UIAssertMainThread();
    WebEngine::setMirror(bridge.mirror());
}

void UIWebView::evaluateInDocument(uint64_t document, const std::string& script) {
    UIAssertMainThread();
    if (!native_->view || document == 0 || document != document_) {
        NSLog("Web view: an answer for a page that is gone was dropped");
        return;
    }
    webkit_web_view_send_message_to_page(
        native_->view,
        webkit_user_message_new(bp::kEvaluateMessage,
                                g_variant_new("(ts)", guint64(document), script.c_str())),
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer) {
            WebKitUserMessage* reply =
                webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            gboolean ran = FALSE;
            if (reply) {
                GVariant* p = webkit_user_message_get_parameters(reply);
                if (p && g_variant_is_of_type(p, G_VARIANT_TYPE(bp::kEvaluateReplyType)))
                    g_variant_get(p, "(b)", &ran);
                g_object_unref(reply);
            }
            if (!ran) NSLog("Web view: an answer for a page that is gone was dropped");
        },
        nullptr);
}

void UIWebView::terminateWebProcessForTesting() {
    if (native_->view) webkit_web_view_terminate_web_process(native_->view);
}

std::string UIWebView::dumpDetails() const {
    std::string details;
    const char* title = native_ && native_->view ? webkit_web_view_get_title(native_->view) : nullptr;
    if (title && *title) details += " title=" + UIDumpQuoted(title);
    const std::string url = request_.URL() ? request_.URL()->absoluteString() : "";
    if (!url.empty()) details += " url=" + UIDumpQuoted(url);
    if (state_ == State::Loading) details += " loading";
    return details;
}

// ---- The keyboard

namespace {

// Presses and releases `keyval` on the engine's view, as the display server would deliver it.
void pressKey(WebKitWebView* view, guint keyval) {
    GtkWidget* widget = GTK_WIDGET(view);
    GdkWindow* window = gtk_widget_get_window(widget);
    if (!window) return;
    GdkDisplay* display = gdk_window_get_display(window);
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    guint16 keycode = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count) &&
        count > 0)
        keycode = guint16(keys[0].keycode);
    g_free(keys);
    for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->key.window = GDK_WINDOW(g_object_ref(window));
        event->key.send_event = TRUE;
        event->key.time = GDK_CURRENT_TIME;
        event->key.keyval = keyval;
        event->key.hardware_keycode = keycode;
        gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
        gtk_widget_event(widget, event);
        gdk_event_free(event);
    }
}

}  // namespace

bool UIWebView::hasFocusedField() {
    UIAssertMainThread();
    return run(native_->view, "(" + std::string(kIsTextField) + ")(document.activeElement)", kDeviceWorld)
               .value == "true";
}

bool UIWebView::canBecomeFirstResponder() const {
    return native_ && native_->view && window();
}

void UIWebView::didBecomeFirstResponder() {
    UIKeyboard::show(UIKeyboardType::Default);
}

void UIWebView::didResignFirstResponder() {
    UIKeyboard::willHide();
    UIKeyboard::didHide();
}

void UIWebView::insertText(const std::string& text) {
    UIAssertMainThread();
    if (!native_->view || text.empty()) return;
    if (text == "\n") return pressKey(native_->view, GDK_KEY_Return);
    webkit_web_view_execute_editing_command_with_argument(native_->view, "InsertText", text.c_str());
}

void UIWebView::deleteBackward() {
    UIAssertMainThread();
    if (native_->view) webkit_web_view_execute_editing_command(native_->view, "DeleteBackward");
}

void UIWebView::paste() {
    UIAssertMainThread();
    auto text = UIPasteboard::generalPasteboard().string();
    if (native_->view && text && !text->empty())
        webkit_web_view_execute_editing_command_with_argument(native_->view, "InsertText", text->c_str());
}
