#include "platform/webkit/engine/WebEngine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/webkit/BridgeProtocol.h"

#ifndef QUORVANE_WEB_EXTENSION_DIR
#error "QUORVANE_WEB_EXTENSION_DIR must name the directory of the bridge extension"
#endif

namespace {

using Steady = std::chrono::steady_clock;

// Real time the display server has to say it is ready, and the engine to clear its caches.
constexpr int kDisplayStartMilliseconds = 10000;
constexpr double kCacheClearSeconds = 5;
constexpr int kDisplayStopMilliseconds = 2000;

void (*gLog)(const char*) = nullptr;

// Our own display server, from its start until it says which display it is.
struct Display {
    pid_t pid = -1;
    int readyFd = -1;  // Xvfb writes its display number here once it accepts clients
    Steady::time_point deadline;
    std::string number;
};
Display gDisplay;

void stopDisplay() {
    if (gDisplay.pid <= 0) return;
    kill(gDisplay.pid, SIGTERM);
    for (int waited = 0; waited < kDisplayStopMilliseconds; waited += 10) {
        if (waitpid(gDisplay.pid, nullptr, WNOHANG) == gDisplay.pid) {
            gDisplay.pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(gDisplay.pid, SIGKILL);
    waitpid(gDisplay.pid, nullptr, 0);
    gDisplay.pid = -1;
}

// A private Xvfb for this process when none is given: it picks a free display itself (-displayfd), takes
// no TCP connections, dies with us (PR_SET_PDEATHSIG) and is stopped at exit. Returns at once.
bool spawnDisplay(std::string& error) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = "no pipe for the display server";
        return false;
    }
    const std::string fd = std::to_string(pipeFds[1]);
    const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(), "-screen", "0",
                          "1280x1024x24", "-nolisten",  "tcp",      nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        setsid();  // a terminal's ^C reaches us, not it, so we stop it in order
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        fcntl(pipeFds[1], F_SETFD, 0);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        error = "the display server could not be started";
        return false;
    }
    gDisplay.pid = pid;
    gDisplay.readyFd = pipeFds[0];
    gDisplay.deadline = Steady::now() + std::chrono::milliseconds(kDisplayStartMilliseconds);
    std::atexit(stopDisplay);
    return true;
}

enum class DisplayState { Ready, Pending, Failed };

// Reads the display number for at most `budget` (and never past the server's own deadline).
DisplayState awaitDisplay(Steady::duration budget, std::string& error) {
    const auto end = std::min(gDisplay.deadline, Steady::now() + budget);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
        pollfd p{gDisplay.readyFd, POLLIN, 0};
        const int ready = left > 0 ? poll(&p, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (Steady::now() < gDisplay.deadline) return DisplayState::Pending;
            break;
        }
        char c;
        if (ready < 0 || read(gDisplay.readyFd, &c, 1) != 1 || c == '\n') break;  // end of file: it is gone
        gDisplay.number += c;
    }
    close(gDisplay.readyFd);
    gDisplay.readyFd = -1;
    if (gDisplay.number.empty()) {
        stopDisplay();
        error = "the display server (Xvfb) did not start; is the xvfb package installed?";
        return DisplayState::Failed;
    }
    setenv("DISPLAY", (":" + gDisplay.number).c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    return DisplayState::Ready;
}

struct Bridged {
    std::string objectName;
    std::vector<JSBridgeMethod> methods;
};

GVariant* mirroredValue(const web_engine::MirroredValue& value) {
    if (auto* dictionary = std::get_if<std::map<std::string, std::string>>(&value)) {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
        for (auto& [key, item] : *dictionary)
            g_variant_builder_add(&builder, "{ss}", key.c_str(), item.c_str());
        return g_variant_builder_end(&builder);
    }
    if (auto* text = std::get_if<std::string>(&value))
        return g_variant_new_maybe(G_VARIANT_TYPE_STRING, g_variant_new_string(text->c_str()));
    return g_variant_new_maybe(G_VARIANT_TYPE_STRING, nullptr);
}

class EngineImpl final : public web_engine::Engine {
  public:
    bool start(double displayBudgetSeconds) override;
    bool isRunning() const override { return running_; }
    const std::string& error() const override { return error_; }
    void prepare(const std::string& URL) override;
    std::unique_ptr<web_engine::Page> createPage(web_engine::PageEvents& events, int width,
                                                 int height) override;
    void iterate(int milliseconds) override { web_engine::iterate(milliseconds); }
    void wake() override { g_main_context_wakeup(g_main_context_default()); }
    void setPageBridge(uint64_t pageId, const std::string& objectName,
                       const std::vector<JSBridgeMethod>& methods) override {
        pages_[pageId] = Bridged{objectName, methods};
        sendState();
    }
    void removePageBridge(uint64_t pageId) override {
        if (pages_.erase(pageId)) sendState();
    }
    void setMirror(const web_engine::Mirror& mirror) override {
        mirror_ = mirror;
        mirror_.origin = originOf(mirror.origin);
        sendState();
    }
    std::string originOf(const std::string& URL) override;
    const std::string& mirrorOrigin() const override { return mirror_.origin; }
    void clearCaches() override;

    WebKitWebView* createView();

  private:
    bool fail(const std::string& why) {
        failed_ = true;
        error_ = why;
        web_engine::log("Web view: the web engine cannot run: " + why);
        return false;
    }
    GVariant* stateVariant();
    void sendState();
    static void initializeExtensions(WebKitWebContext* context, gpointer self);

    bool failed_ = false;
    bool running_ = false;
    bool displaySpawned_ = false;
    std::string error_;
    WebKitWebContext* context_ = nullptr;
    WebKitSettings* settings_ = nullptr;
    WebKitWebView* anchor_ = nullptr;  // every view is related to it, so all share its web process
    std::map<uint64_t, Bridged> pages_;
    web_engine::Mirror mirror_;
};

EngineImpl& engine() {
    static auto* e = new EngineImpl;  // lives until the process ends
    return *e;
}

bool EngineImpl::start(double displayBudgetSeconds) {
    if (running_ || failed_) return running_;
    if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) {
        if (!displaySpawned_) {
            displaySpawned_ = true;
            if (!spawnDisplay(error_)) return fail(error_);
        }
        const auto budget = std::chrono::duration_cast<Steady::duration>(
            std::chrono::duration<double>(std::max(0.0, displayBudgetSeconds)));
        switch (awaitDisplay(budget, error_)) {
            case DisplayState::Pending:
                return false;
            case DisplayState::Failed:
                return fail(error_);
            case DisplayState::Ready:
                break;
        }
    }
    // No accessibility bus, no settings daemon and no session bus: nothing outside the process is needed
    // or written. Without a bus address GLib would try to launch a session bus for the toolkit's portal
    // look-ups (a helper searched for along PATH, in every process of the engine); a bus that cannot be
    // reached makes them give up at once.
    setenv("NO_AT_BRIDGE", "1", 0);
    setenv("GTK_A11Y", "none", 0);
    setenv("GSETTINGS_BACKEND", "memory", 0);
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 0);
    if (!gtk_init_check(nullptr, nullptr))  // not argv: GTK would take options such as --display
        return fail(std::string("GTK cannot open the display ") +
                    (getenv("DISPLAY") ? getenv("DISPLAY") : ""));
    context_ = webkit_web_context_new_ephemeral();
    webkit_web_context_set_web_extensions_directory(context_, QUORVANE_WEB_EXTENSION_DIR);
    g_signal_connect(context_, "initialize-web-extensions", G_CALLBACK(initializeExtensions), this);
    settings_ = webkit_settings_new();
    anchor_ = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "settings", settings_, nullptr));
    g_object_ref_sink(anchor_);
    running_ = true;
    return true;
}

WebKitWebView* EngineImpl::createView() {
    if (!start(kDisplayStartMilliseconds / 1000.0)) return nullptr;
    return WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", anchor_, "settings", settings_, nullptr));
}

// The hidden view of `prepare`: it loads its one page without scripts, follows nowhere, and is gone once
// the load has ended.
void EngineImpl::prepare(const std::string& URL) {
    if (!running_) return;
    WebKitSettings* quiet = webkit_settings_new_with_settings("enable-javascript", FALSE, nullptr);
    WebKitWebView* view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", anchor_, "settings", quiet, nullptr));
    g_object_unref(quiet);
    g_object_ref_sink(view);
    if (URL.empty()) {
        // Only the web process: the first navigation launches it.
        webkit_web_view_load_html(view, "", nullptr);
    } else {
        g_object_set_data_full(G_OBJECT(view), "quorvane-prepared", g_strdup(URL.c_str()), g_free);
        g_signal_connect(
            view, "decide-policy",
            G_CALLBACK(+[](WebKitWebView* web, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                           gpointer) -> gboolean {
                if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
                const char* wanted =
                    static_cast<const char*>(g_object_get_data(G_OBJECT(web), "quorvane-prepared"));
                WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
                if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && wanted && uri &&
                    g_str_equal(wanted, uri) && !webkit_navigation_action_is_redirect(action)) {
                    return FALSE;
                }
                webkit_policy_decision_ignore(decision);
                return TRUE;
            }),
            nullptr);
        webkit_web_view_load_uri(view, URL.c_str());
    }
    auto done = +[](WebKitWebView* web, WebKitLoadEvent event, gpointer) {
        if (event != WEBKIT_LOAD_FINISHED) return;
        // Only this handler goes: the policy one stays until the view is gone, since the page may still
        // ask to go elsewhere (a refresh, a timer) after its load has ended.
        g_signal_handlers_disconnect_matched(web, G_SIGNAL_MATCH_ID,
                                             g_signal_lookup("load-changed", WEBKIT_TYPE_WEB_VIEW), 0,
                                             nullptr, nullptr, nullptr);
        g_idle_add(
            [](gpointer data) -> gboolean {
                g_object_unref(data);
                return G_SOURCE_REMOVE;
            },
            web);
    };
    g_signal_connect(view, "load-changed", G_CALLBACK(done), nullptr);
}

std::unique_ptr<web_engine::Page> EngineImpl::createPage(web_engine::PageEvents& events, int width,
                                                         int height) {
    WebKitWebView* view = createView();
    if (!view) return nullptr;
    return web_engine::makePage(events, view, width, height);
}

GVariant* EngineImpl::stateVariant() {
    GVariantBuilder values;
    g_variant_builder_init(&values, G_VARIANT_TYPE("a{sv}"));
    for (auto& [name, value] : mirror_.values) {
        g_variant_builder_add(&values, "{sv}", name.c_str(), mirroredValue(value));
    }
    GVariantBuilder pages;
    g_variant_builder_init(&pages, G_VARIANT_TYPE("a(tsa(ssbmss))"));
    for (auto& [id, page] : pages_) {
        GVariantBuilder methods;
        g_variant_builder_init(&methods, G_VARIANT_TYPE("a(ssbmss)"));
        for (auto& m : page.methods) {
            std::string kinds;
            for (auto kind : m.parameters) kinds += kind == JSArgumentKind::Bool ? 'b' : 's';
            g_variant_builder_add(&methods, "(ssbmss)", m.scriptName.c_str(), kinds.c_str(),
                                  gboolean(m.mirrored), m.fallback ? m.fallback->c_str() : nullptr,
                                  m.writes.c_str());
        }
        g_variant_builder_add(&pages, "(tsa(ssbmss))", guint64(id), page.objectName.c_str(), &methods);
    }
    return g_variant_ref_sink(
        g_variant_new(bridge_protocol::kStateType, mirror_.origin.c_str(), &values, &pages));
}

void EngineImpl::sendState() {
    if (!running_) return;
    GVariant* state = stateVariant();
    webkit_web_context_set_web_extensions_initialization_user_data(context_, state);
    webkit_web_context_send_message_to_all_extensions(
        context_, webkit_user_message_new(bridge_protocol::kStateMessage, state));
    g_variant_unref(state);
}

void EngineImpl::initializeExtensions(WebKitWebContext* context, gpointer self) {
    GVariant* state = static_cast<EngineImpl*>(self)->stateVariant();
    webkit_web_context_set_web_extensions_initialization_user_data(context, state);
    g_variant_unref(state);
}

std::string EngineImpl::originOf(const std::string& url) {
    if (url.empty()) return "";
    WebKitSecurityOrigin* origin = webkit_security_origin_new_for_uri(url.c_str());
    if (!origin) return "";
    std::string text;
    gchar* serialized = webkit_security_origin_to_string(origin);
    text = serialized ? serialized : "";
    g_free(serialized);
    webkit_security_origin_unref(origin);
    return text;
}

void EngineImpl::clearCaches() {
    if (!running_) return;
    auto cleared = std::make_shared<bool>(false);
    webkit_website_data_manager_clear(
        webkit_web_context_get_website_data_manager(context_),
        WebKitWebsiteDataTypes(WEBKIT_WEBSITE_DATA_MEMORY_CACHE | WEBKIT_WEBSITE_DATA_DISK_CACHE), 0, nullptr,
        [](GObject* manager, GAsyncResult* result, gpointer data) {
            auto* holder = static_cast<std::shared_ptr<bool>*>(data);
            webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(manager), result, nullptr);
            **holder = true;
            delete holder;
        },
        new std::shared_ptr<bool>(cleared));
    web_engine::runUntil([&] { return *cleared; }, kCacheClearSeconds);
}

}  // namespace

namespace web_engine {

void log(const std::string& line) {
    if (gLog) gLog(line.c_str());
}

WebKitWebView* createView() {
    return engine().createView();
}

const std::string& startError() {
    return engine().error();
}

void iterate(int milliseconds) {
    GMainContext* context = g_main_context_default();
    if (!g_main_context_acquire(context)) return;
    gint priority = 0;
    g_main_context_prepare(context, &priority);
    std::vector<GPollFD> fds(16);
    gint timeout = 0;
    gint count;
    while ((count = g_main_context_query(context, priority, &timeout, fds.data(), gint(fds.size()))) >
           gint(fds.size())) {
        fds.resize(size_t(count));
    }
    if (timeout < 0 || timeout > milliseconds) timeout = milliseconds;
    if (count > 0 || timeout > 0) g_poll(fds.data(), guint(count), timeout);
    if (g_main_context_check(context, priority, fds.data(), count)) g_main_context_dispatch(context);
    g_main_context_release(context);
}

bool runUntil(const std::function<bool()>& done, double seconds) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
    while (!done()) {
        const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
        if (left <= 0) return done();
        iterate(int(std::min<long>(left, 50)));
    }
    return true;
}

}  // namespace web_engine

extern "C" __attribute__((visibility("default"))) web_engine::Engine* quorvane_web_engine(
    void (*log)(const char* line)) {
    gLog = log;
    return &engine();
}
