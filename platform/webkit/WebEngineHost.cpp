#include "platform/webkit/WebEngineHost.h"

#include <dlfcn.h>

#include <cmath>
#include <memory>

#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLCache.h"

#ifndef QUORVANE_WEB_ENGINE_MODULE
#error "QUORVANE_WEB_ENGINE_MODULE must name the engine module's file"
#endif

namespace {

struct Host {
    bool loaded = false;
    bool hooked = false;
    web_engine::Engine* engine = nullptr;
    std::string loadError;
};

Host& host() {
    static auto* h = new Host;  // lives until the process ends, as the module does
    return *h;
}

void logLine(const char* line) {
    NSLog(line);
}

class GLibEventSource final : public NSRunLoopEventSource {
  public:
    explicit GLibEventSource(web_engine::Engine* engine) : engine_(engine) {}
    void dispatch() override { engine_->iterate(0); }
    void wait(double seconds) override { engine_->iterate(int(std::ceil(seconds * 1000))); }
    void wake() override { engine_->wake(); }

  private:
    web_engine::Engine* engine_;
};

}  // namespace

namespace WebEngineHost {

web_engine::Engine* load() {
    Host& h = host();
    if (h.loaded) return h.engine;
    h.loaded = true;
    // Never unloaded: the engine's threads and the toolkit live until the process ends.
    void* module = dlopen(QUORVANE_WEB_ENGINE_MODULE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    auto entry = module ? reinterpret_cast<web_engine::EntryPoint>(dlsym(module, web_engine::kEntryPointName))
                        : nullptr;
    if (entry) h.engine = entry(logLine);
    if (!h.engine) {
        const char* why = dlerror();
        h.loadError =
            std::string("the engine module cannot be loaded (") + (why ? why : "no entry point") + ")";
        NSLog("Web view: the web engine cannot run: " + h.loadError);
    }
    return h.engine;
}

web_engine::Engine* running(double displayBudgetSeconds) {
    web_engine::Engine* engine = load();
    if (!engine || !engine->start(displayBudgetSeconds)) return nullptr;
    Host& h = host();
    if (!h.hooked) {
        h.hooked = true;
        NSRunLoop::main().setEventSource(std::make_shared<GLibEventSource>(engine));
        NSURLCache::addSharedCacheClearObserver([engine] {
            if (NSRunLoop::isMainThread()) {
                engine->clearCaches();
            } else {
                DispatchQueue::main()->async([engine] { engine->clearCaches(); });
            }
        });
    }
    return engine;
}

std::string error() {
    Host& h = host();
    return h.engine ? h.engine->error() : h.loadError;
}

}  // namespace WebEngineHost
