// Inside the engine module: what its pages share. The display server, GTK, one ephemeral web context whose
// views all share one web process (they are related to a hidden anchor view), and GLib's main context.
// Main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/webkit/EngineModule.h"

namespace web_engine {

// The engine's console line, through the host.
void log(const std::string& line);

// A new view in the shared web process with the shared settings, or null when the engine is not running.
WebKitWebView* createView();
const std::string& startError();

// Runs GLib's main context (only) until `done` holds or `seconds` of real time pass.
bool runUntil(const std::function<bool()>& done, double seconds);
// One turn of GLib's main context that waits at most `milliseconds`.
void iterate(int milliseconds);

std::unique_ptr<Page> makePage(PageEvents& events, WebKitWebView* view, int width, int height);

}  // namespace web_engine
