#include "platform/webkit/WebEngine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLCache.h"
#include "platform/webkit/BridgeProtocol.h"

#ifndef QUORVANE_WEB_EXTENSION_DIR
#error "QUORVANE_WEB_EXTENSION_DIR must name the directory of the bridge extension"
#endif

namespace {

// Real time the display server has to say it is ready, and the engine to clear its caches.
constexpr int kDisplayStartMilliseconds = 10000;
constexpr double kCacheClearSeconds = 5;
constexpr int kDisplayStopMilliseconds = 2000;

pid_t gDisplayPid = -1;

void stopDisplay() {
    if (gDisplayPid <= 0) return;
    kill(gDisplayPid, SIGTERM);
    for (int waited = 0; waited < kDisplayStopMilliseconds; waited += 10) {
        if (waitpid(gDisplayPid, nullptr, WNOHANG) == gDisplayPid) {
            gDisplayPid = -1;
            return;
        }
        usleep(10000);
    }
    kill(gDisplayPid, SIGKILL);
    waitpid(gDisplayPid, nullptr, 0);
    gDisplayPid = -1;
}

// A private Xvfb for this process when none is given: it picks a free display itself (-displayfd), takes
// no TCP connections, dies with us (PR_SET_PDEATHSIG) and is stopped at exit.
bool startDisplay(std::string& error) {
    if (getenv("DISPLAY") || getenv("WAYLAND_DISPLAY")) return true;
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
    gDisplayPid = pid;
    std::atexit(stopDisplay);
    // Xvfb writes its display number once it accepts clients; end of file means it is gone.
    std::string number;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDisplayStartMilliseconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count();
        pollfd p{pipeFds[0], POLLIN, 0};
        char c;
        if (left <= 0 || poll(&p, 1, int(left)) <= 0 || read(pipeFds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(pipeFds[0]);
    if (number.empty()) {
        stopDisplay();
        error = "the display server (Xvfb) did not start; is the xvfb package installed?";
        return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    return true;
}

// One turn of GLib's main context that waits at most `milliseconds`.
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

// GLib's main context as the main run loop's event source: the loop waits in GLib's poll, which also
// watches GLib's wake-up descriptor.
class GLibEventSource final : public NSRunLoopEventSource {
  public:
    void dispatch() override { iterate(0); }
    void wait(double seconds) override { iterate(int(std::ceil(seconds * 1000))); }
    void wake() override { g_main_context_wakeup(g_main_context_default()); }
};

struct Bridged {
    std::string objectName;
    std::vector<JSBridgeMethod> methods;
};

struct Engine {
    bool started = false;
    bool running = false;
    std::string error;
    WebKitWebContext* context = nullptr;
    WebKitSettings* settings = nullptr;
    WebKitWebView* anchor = nullptr;  // every view is related to it, so all share its web process
    std::map<uint64_t, Bridged> pages;
    JSBridge::Mirror mirror;
};

Engine& engine() {
    static auto* e = new Engine;  // lives until the process ends
    return *e;
}

GVariant* mirroredValue(const Value& value) {
    if (auto* dictionary = value.asDictionary()) {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
        for (auto& [key, item] : *dictionary) {
            g_variant_builder_add(&builder, "{ss}", key.c_str(), item.stringValue().c_str());
        }
        return g_variant_builder_end(&builder);
    }
    if (value.isNull()) return g_variant_new_maybe(G_VARIANT_TYPE_STRING, nullptr);
    return g_variant_new_maybe(G_VARIANT_TYPE_STRING, g_variant_new_string(value.stringValue().c_str()));
}

GVariant* stateVariant() {
    Engine& e = engine();
    GVariantBuilder values;
    g_variant_builder_init(&values, G_VARIANT_TYPE("a{sv}"));
    for (auto& [name, value] : e.mirror.values) {
        g_variant_builder_add(&values, "{sv}", name.c_str(), mirroredValue(value));
    }
    GVariantBuilder pages;
    g_variant_builder_init(&pages, G_VARIANT_TYPE("a(tsa(ssbmss))"));
    for (auto& [id, page] : e.pages) {
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
        g_variant_new(bridge_protocol::kStateType, e.mirror.origin.c_str(), &values, &pages));
}

void sendState() {
    Engine& e = engine();
    if (!e.running) return;
    GVariant* state = stateVariant();
    webkit_web_context_set_web_extensions_initialization_user_data(e.context, state);
    webkit_web_context_send_message_to_all_extensions(
        e.context, webkit_user_message_new(bridge_protocol::kStateMessage, state));
    g_variant_unref(state);
}

void initializeExtensions(WebKitWebContext* context, gpointer) {
    GVariant* state = stateVariant();
    webkit_web_context_set_web_extensions_initialization_user_data(context, state);
    g_variant_unref(state);
}

}  // namespace

namespace WebEngine {

bool start() {
    Engine& e = engine();
    if (e.started) return e.running;
    e.started = true;
    if (!startDisplay(e.error)) {
        NSLog("Web view: the web engine cannot run: " + e.error);
        return false;
    }
    // No accessibility bus and no settings daemon: nothing outside the process is needed or written.
    setenv("NO_AT_BRIDGE", "1", 0);
    setenv("GSETTINGS_BACKEND", "memory", 0);
    if (!gtk_init_check(nullptr, nullptr)) {  // not argv: GTK would take options such as --display
        e.error = std::string("GTK cannot open the display ") + (getenv("DISPLAY") ? getenv("DISPLAY") : "");
        NSLog("Web view: the web engine cannot run: " + e.error);
        return false;
    }
    NSRunLoop::main().setEventSource(std::make_shared<GLibEventSource>());
    e.context = webkit_web_context_new_ephemeral();
    webkit_web_context_set_web_extensions_directory(e.context, QUORVANE_WEB_EXTENSION_DIR);
    g_signal_connect(e.context, "initialize-web-extensions", G_CALLBACK(initializeExtensions), nullptr);
    e.settings = webkit_settings_new();
    e.anchor = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", e.context, "settings", e.settings, nullptr));
    g_object_ref_sink(e.anchor);
    e.running = true;
    NSURLCache::addSharedCacheClearObserver([] {
        if (NSRunLoop::isMainThread()) {
            clearCaches();
        } else {
            DispatchQueue::main()->async([] { clearCaches(); });
        }
    });
    return true;
}

const std::string& error() {
    return engine().error;
}

WebKitWebContext* context() {
    return engine().context;
}

WebKitWebView* createView() {
    if (!start()) return nullptr;
    Engine& e = engine();
    return WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", e.anchor, "settings", e.settings, nullptr));
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

void setPageBridge(uint64_t pageId, const std::string& objectName,
                   const std::vector<JSBridgeMethod>& methods) {
    engine().pages[pageId] = Bridged{objectName, methods};
    sendState();
}

void removePageBridge(uint64_t pageId) {
    if (engine().pages.erase(pageId)) sendState();
}

void setMirror(const JSBridge::Mirror& mirror) {
    engine().mirror = mirror;
    engine().mirror.origin = originOf(mirror.origin);
    sendState();
}

std::string originOf(const std::string& url) {
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

const std::string& mirrorOrigin() {
    return engine().mirror.origin;
}

void clearCaches() {
    Engine& e = engine();
    if (!e.running) return;
    auto cleared = std::make_shared<bool>(false);
    webkit_website_data_manager_clear(
        webkit_web_context_get_website_data_manager(e.context),
        WebKitWebsiteDataTypes(WEBKIT_WEBSITE_DATA_MEMORY_CACHE | WEBKIT_WEBSITE_DATA_DISK_CACHE), 0, nullptr,
        [](GObject* manager, GAsyncResult* result, gpointer data) {
            auto* holder = static_cast<std::shared_ptr<bool>*>(data);
            webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(manager), result, nullptr);
            **holder = true;
            delete holder;
        },
        new std::shared_ptr<bool>(cleared));
    runUntil([&] { return *cleared; }, kCacheClearSeconds);
}

}  // namespace WebEngine
