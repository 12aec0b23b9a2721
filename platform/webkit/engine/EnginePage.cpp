// One view's page in the engine: its widget, the signal handlers that turn the engine's events into
// PageEvents, and every bounded wait on its web process.
#include <cairo.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>

#include "platform/net/URLSession.h"
#include "platform/webkit/BridgeProtocol.h"
#include "platform/webkit/engine/WebEngine.h"

namespace {

namespace bp = bridge_protocol;
using web_engine::log;

// Real time the main thread waits on the engine (a script, a snapshot, a page given as data) before it goes
// on without the answer. A web process that then answers nothing, not even a plain message, for
// kHangMilliseconds is taken as hung and replaced.
constexpr double kEngineWaitSeconds = 1;
constexpr unsigned kHangMilliseconds = 3000;
// The script world of the device's reading and tapping, out of the page's reach.
constexpr const char* kDeviceWorld = "quorvane-device";

// The engine's errors in the URL loading system's codes.
long loadErrorCode(const GError* error) {
    if (error->domain == WEBKIT_NETWORK_ERROR) {
        return error->code == WEBKIT_NETWORK_ERROR_CANCELLED          ? NSURLErrorCancelled
               : error->code == WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL ? NSURLErrorUnsupportedURL
                                                                      : NSURLErrorUnknown;
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_CANCELLED:
                return NSURLErrorCancelled;
            case G_IO_ERROR_TIMED_OUT:
                return NSURLErrorTimedOut;
            case G_IO_ERROR_CONNECTION_REFUSED:
            case G_IO_ERROR_HOST_UNREACHABLE:
            case G_IO_ERROR_NETWORK_UNREACHABLE:
                return NSURLErrorCannotConnectToHost;
            case G_IO_ERROR_CONNECTION_CLOSED:
                return NSURLErrorNetworkConnectionLost;
            default:
                return NSURLErrorUnknown;
        }
    }
    if (error->domain == G_RESOLVER_ERROR) return NSURLErrorCannotFindHost;
    if (error->domain == G_TLS_ERROR) return NSURLErrorSecureConnectionFailed;
    if (error->domain == WEBKIT_POLICY_ERROR) {
        return error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE
                   ? NSURLErrorCancelled
                   : NSURLErrorUnsupportedURL;
    }
    return NSURLErrorUnknown;
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
// without waiting for it; a process that answers nothing within kHangMilliseconds is ended (a load in flight
// then fails as for any ended process), and the next navigation starts a new one.
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
                log("Web view: the web process stopped answering; it is ended");
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
    if (web_engine::runUntil(done, kEngineWaitSeconds)) return true;
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
    web_engine::runUntil([&] { return sent->has_value(); }, seconds);
    if (!*sent) suspectHang(view);
    return *sent;
}

// A policy decision on its way to the view's delegate: used or ignored once; ignored when it is dropped
// unanswered.
class PendingDecision {
  public:
    explicit PendingDecision(WebKitPolicyDecision* decision)
        : decision_(WEBKIT_POLICY_DECISION(g_object_ref(decision))) {}
    ~PendingDecision() {
        if (decision_) answer(false);
    }
    PendingDecision(const PendingDecision&) = delete;
    PendingDecision& operator=(const PendingDecision&) = delete;
    void answer(bool use) {
        if (!decision_) return;
        if (use) {
            webkit_policy_decision_use(decision_);
        } else {
            webkit_policy_decision_ignore(decision_);
        }
        g_object_unref(std::exchange(decision_, nullptr));
    }

  private:
    WebKitPolicyDecision* decision_;
};

struct Evaluation {
    bool done = false;
    web_engine::ScriptResult result;
};

void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
    auto* holder = static_cast<std::shared_ptr<Evaluation>*>(data);
    Evaluation& e = **holder;
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (value) {
        if (jsc_value_is_string(value) || jsc_value_is_number(value) || jsc_value_is_boolean(value)) {
            gchar* text = jsc_value_to_string(value);
            e.result.value = text ? text : "";
            g_free(text);
        }
        g_object_unref(value);
    } else if (error) {
        // A result the engine cannot hand over (a function, a node) is no failure of the script.
        if (!(error->domain == WEBKIT_JAVASCRIPT_ERROR &&
              error->code == WEBKIT_JAVASCRIPT_ERROR_INVALID_RESULT)) {
            e.result.exception = error->message ? error->message : "script failed";
        }
        g_error_free(error);
    }
    e.done = true;
    delete holder;
}

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

class EnginePage final : public web_engine::Page {
  public:
    EnginePage(web_engine::PageEvents& events, WebKitWebView* view, int width, int height);
    ~EnginePage() override;

    uint64_t pageId() const override { return webkit_web_view_get_page_id(view_); }
    void resize(int width, int height) override {
        gtk_widget_set_size_request(GTK_WIDGET(view_), width, height);
        gtk_window_resize(GTK_WINDOW(window_), width, height);
    }
    void load(const std::string& URL, const std::vector<std::pair<std::string, std::string>>& headers,
              bool reload) override;
    bool loadData(const std::string& bytes, const std::string& MIMEType, const std::string& encoding,
                  const std::string& baseURL) override;
    void stopLoading() override { webkit_web_view_stop_loading(view_); }
    void stopOverdue() override {
        webkit_web_view_stop_loading(view_);
        suspectHang(view_);
    }
    std::string currentURL() const override {
        const char* uri = webkit_web_view_get_uri(view_);
        return uri ? uri : "";
    }
    std::string title() const override {
        const char* title = webkit_web_view_get_title(view_);
        return title ? title : "";
    }
    web_engine::ScriptResult evaluate(const std::string& script, bool deviceWorld) override;
    void awaitBridgeCalls() override {
        // The page says how many calls it has sent; they have all been handed over once as many have arrived.
        auto sent = callsSent(view_, kEngineWaitSeconds);
        if (sent) awaitEngine(view_, [&] { return callsReceived_ >= *sent; });
    }
    bool snapshot(const std::string& path, std::string* error) override;
    void evaluateInDocument(uint64_t document, const std::string& script) override;
    void insertText(const std::string& text) override {
        webkit_web_view_execute_editing_command_with_argument(view_, "InsertText", text.c_str());
    }
    void pressReturn() override { pressKey(view_, GDK_KEY_Return); }
    void deleteBackward() override { webkit_web_view_execute_editing_command(view_, "DeleteBackward"); }
    void terminateWebProcess() override { webkit_web_view_terminate_web_process(view_); }

  private:
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data);
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data);
    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data);
    static void terminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data);
    static gboolean message(WebKitWebView*, WebKitUserMessage* message, gpointer data);

    web_engine::PageEvents& events_;
    WebKitWebView* view_;
    GtkWidget* window_;
    std::string silentURI_;  // a page given as data: its navigation is allowed without the delegate
    // Navigations asked for through the view that the delegate has allowed already, in order.
    std::deque<std::string> approved_;
    bool nextLoadSilent_ = false;
    uint64_t finishedLoads_ = 0;  // counted in the handler itself, for loadData's bounded wait
    uint64_t callsReceived_ = 0;  // bridge calls, counted as they arrive
    // Answers to the delegate come back through this; it is reset when the page goes.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

EnginePage::EnginePage(web_engine::PageEvents& events, WebKitWebView* view, int width, int height)
    : events_(events), view_(view), window_(gtk_offscreen_window_new()) {
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    resize(width, height);
    gtk_widget_show_all(window_);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(decidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(loadChanged), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(loadFailed), this);
    g_signal_connect(view_, "web-process-terminated", G_CALLBACK(terminated), this);
    g_signal_connect(view_, "user-message-received", G_CALLBACK(message), this);
}

EnginePage::~EnginePage() {
    *alive_ = false;
    g_signal_handlers_disconnect_by_data(view_, this);
    webkit_web_view_stop_loading(view_);
    gtk_widget_destroy(window_);
}

gboolean EnginePage::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer data) {
    auto* page = static_cast<EnginePage*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);  // the view has no other windows
        return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const std::string uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (!page->silentURI_.empty() && page->silentURI_ == uri) {
        page->silentURI_.clear();
        page->nextLoadSilent_ = true;
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    auto& approved = page->approved_;
    auto allowed = std::find(approved.begin(), approved.end(), uri);
    if (allowed != approved.end()) {
        approved.erase(approved.begin(), allowed + 1);
        page->nextLoadSilent_ = false;
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    // A page's navigation, of its main frame or of one of its frames (the engine does not say which).
    auto pending = std::make_shared<PendingDecision>(decision);
    page->events_.navigationAction(uri, int(webkit_navigation_action_get_navigation_type(action)),
                                   webkit_navigation_action_is_redirect(action),
                                   [page, alive = page->alive_, pending](bool use) {
                                       if (use && *alive) page->nextLoadSilent_ = false;
                                       pending->answer(use && *alive);
                                   });
    return TRUE;
}

void EnginePage::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* page = static_cast<EnginePage*>(data);
    const std::string current = page->currentURL();
    switch (event) {
        case WEBKIT_LOAD_STARTED:
            page->events_.loadStarted(std::exchange(page->nextLoadSilent_, false),
                                      current);  // the engine's order
            break;
        case WEBKIT_LOAD_REDIRECTED:
            page->events_.loadRedirected(current);
            break;
        case WEBKIT_LOAD_COMMITTED:
            page->events_.loadCommitted(current);
            break;
        case WEBKIT_LOAD_FINISHED:
            ++page->finishedLoads_;
            page->events_.loadFinished();
            break;
    }
}

gboolean EnginePage::loadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    static_cast<EnginePage*>(data)->events_.loadFailed(
        {loadErrorCode(error), uri ? uri : "", error->message ? error->message : ""});
    return TRUE;  // no error page of the engine's own
}

void EnginePage::terminated(WebKitWebView* web, WebKitWebProcessTerminationReason reason, gpointer data) {
    const bool replaced = std::exchange(health(web).replacing, false);
    health(web) = Health();
    log(std::string("Web view: the web process ended (") +
        (reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "memory limit"
         : reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API   ? "ended on request"
                                                            : "crashed") +
        ")");
    static_cast<EnginePage*>(data)->events_.processTerminated(replaced);
}

gboolean EnginePage::message(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
    auto* page = static_cast<EnginePage*>(data);
    const std::string name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters) return FALSE;
    if (name == bp::kDocumentMessage && g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kDocumentType))) {
        guint64 document;
        const char* url;
        gboolean ofBridgeOrigin;
        g_variant_get(parameters, "(t&sb)", &document, &url, &ofBridgeOrigin);
        page->events_.documentShown(document, ofBridgeOrigin);
        return TRUE;
    }
    if (name == bp::kFrameMessage && g_variant_is_of_type(parameters, G_VARIANT_TYPE(bp::kFrameType))) {
        guint64 document;
        g_variant_get(parameters, "(t)", &document);
        page->events_.foreignFrame(document);
        return TRUE;
    }
    if (name != bp::kCallMessage) return FALSE;
    auto call = decodeBridgeCallMessage(parameters);
    if (!call) return FALSE;
    ++page->callsReceived_;
    page->events_.bridgeCalled(std::move(*call));
    return TRUE;
}

void EnginePage::load(const std::string& URL, const std::vector<std::pair<std::string, std::string>>& headers,
                      bool reload) {
    // A process that stopped answering is replaced before it is given the page.
    if (health(view_).unanswered) {
        log("Web view: the web process stopped answering; it is replaced");
        health(view_).replacing = true;
        webkit_web_view_terminate_web_process(view_);
    }
    approved_.push_back(URL);
    if (reload) {
        webkit_web_view_reload(view_);
        return;
    }
    WebKitURIRequest* uri = webkit_uri_request_new(URL.c_str());
    if (SoupMessageHeaders* fields = webkit_uri_request_get_http_headers(uri)) {
        for (auto& [name, value] : headers) soup_message_headers_replace(fields, name.c_str(), value.c_str());
    }
    webkit_web_view_load_request(view_, uri);
    g_object_unref(uri);
}

bool EnginePage::loadData(const std::string& bytes, const std::string& MIMEType, const std::string& encoding,
                          const std::string& baseURL) {
    silentURI_ = baseURL;
    // The engine takes no empty data: an empty page is one blank.
    GBytes* data = bytes.empty() ? g_bytes_new(" ", 1) : g_bytes_new(bytes.data(), bytes.size());
    const uint64_t finished = finishedLoads_;
    webkit_web_view_load_bytes(view_, data, MIMEType.empty() ? "text/html" : MIMEType.c_str(),
                               encoding.empty() ? nullptr : encoding.c_str(), baseURL.c_str());
    g_bytes_unref(data);
    return awaitEngine(view_, [&] { return finishedLoads_ != finished; });
}

web_engine::ScriptResult EnginePage::evaluate(const std::string& script, bool deviceWorld) {
    if (health(view_).unanswered) return {"", "the page did not answer in time"};
    auto evaluation = std::make_shared<Evaluation>();
    webkit_web_view_evaluate_javascript(view_, script.c_str(), gssize(script.size()),
                                        deviceWorld ? kDeviceWorld : nullptr, nullptr, nullptr, evaluated,
                                        new std::shared_ptr<Evaluation>(evaluation));
    if (!awaitEngine(view_, [&] { return evaluation->done; })) return {"", "the page did not answer in time"};
    return evaluation->result;
}

bool EnginePage::snapshot(const std::string& path, std::string* error) {
    struct Shot {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
    };
    auto shot = std::make_shared<Shot>();
    webkit_web_view_get_snapshot(
        view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
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
    if (!awaitEngine(view_, [&] { return shot->done; })) {
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

void EnginePage::evaluateInDocument(uint64_t document, const std::string& script) {
    webkit_web_view_send_message_to_page(
        view_,
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
            if (!ran) log("Web view: an answer for a page that is gone was dropped");
        },
        nullptr);
}

}  // namespace

namespace web_engine {

std::unique_ptr<Page> makePage(PageEvents& events, WebKitWebView* view, int width, int height) {
    return std::make_unique<EnginePage>(events, view, width, height);
}

}  // namespace web_engine
