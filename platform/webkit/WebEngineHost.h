// The web engine as the platform sees it (internal to platform/webkit): the engine module (EngineModule.h),
// loaded on first use, and once it runs, GLib's main context as the main run loop's event source (the loop
// dispatches GLib in every pass and waits in GLib's poll, which `perform` and timers wake) and the shared
// URL cache's clearing passed on to the engine's caches. Main thread only.
#pragma once

#include <string>

#include "platform/webkit/EngineModule.h"

namespace WebEngineHost {

// The engine, loaded but maybe not started (what needs no display, such as origins and the mirrored values,
// works already); null (with the reason in `error()`) when the module cannot be loaded, which is final.
web_engine::Engine* load();
// The engine once it runs: started on first use, waiting for a display server of our own for at most
// `displayBudgetSeconds`. Null while it is not running, with the reason in `error()` when it cannot.
web_engine::Engine* running(double displayBudgetSeconds = 10);
std::string error();

}  // namespace WebEngineHost
