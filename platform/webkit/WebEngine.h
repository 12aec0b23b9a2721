// The web engine behind every UIWebView (internal to platform/webkit): the display server, GTK, the
// engine's context with its web process and bridge extension, and GLib's main context driven by the main
// run loop. Started by the first web view; main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/webkit/JSBridge.h"

namespace WebEngine {

// Starts everything on first use. False (with the reason in `error()`) when the engine cannot run here,
// for instance because no display server could be started; that is final for the process.
bool start();
const std::string& error();

WebKitWebContext* context();
// A new view in the shared web process, or null when the engine is not running.
WebKitWebView* createView();

// Runs GLib's main context (only) until `done` holds or `seconds` of real time pass.
bool runUntil(const std::function<bool()>& done, double seconds);

// The bridged pages and the mirrored values, sent to every web process and kept for those started later.
void setPageBridge(uint64_t pageId, const std::string& objectName,
                   const std::vector<JSBridgeMethod>& methods);
void removePageBridge(uint64_t pageId);
// The mirror's origin is sent in the engine's form (`originOf`), so that the web process compares it with a
// document's own security origin and parses nothing.
void setMirror(const JSBridge::Mirror& mirror);

// The security origin of `url` as the engine serializes it ("http://host:port", the scheme's default port
// left out); "" for a URL without one.
std::string originOf(const std::string& url);
// The mirror's origin in that form.
const std::string& mirrorOrigin();

// Clears the engine's memory and disk caches; waits (bounded) when called on the main thread.
void clearCaches();

}  // namespace WebEngine
