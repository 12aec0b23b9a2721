// The web engine's side of the web views (internal to platform/webkit), built as a module of its own
// (libquorvane_web_engine.so) over WebKitGTK, and loaded when a web view or the launch hold first needs it:
// a program whose first screen shows no page does not pay for loading the engine's libraries before it.
//
// The interface speaks plain C++ only, so that neither side sees the other's libraries: the module links
// the engine and GLib, not the platform, and everything it has to say reaches the platform through
// PageEvents and the host's log. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/webkit/BridgeCallMessage.h"
#include "platform/webkit/JSBridge.h"

namespace web_engine {

// How a load failed, in the URL loading system's codes.
struct LoadFailure {
    long code = 0;
    std::string URL;
    std::string message;
};

// What a page tells its view. Called inside the engine's callbacks: an implementation only notes and
// queues work, it runs no delegate.
class PageEvents {
  public:
    virtual ~PageEvents() = default;
    // A navigation the page started (one the view asked for never comes here). `answer` lets it go ahead
    // (true) or refuses it; a navigation whose answer is dropped unanswered is refused.
    virtual void navigationAction(const std::string& URL, int navigationType, bool redirect,
                                  std::function<void(bool)> answer) = 0;
    virtual void loadStarted(bool silent, const std::string& URL) = 0;
    virtual void loadRedirected(const std::string& URL) = 0;
    virtual void loadCommitted(const std::string& URL) = 0;
    virtual void loadFinished() = 0;
    virtual void loadFailed(const LoadFailure& failure) = 0;
    // `replaced`: the view ended the process itself ahead of a navigation.
    virtual void processTerminated(bool replaced) = 0;
    virtual void documentShown(uint64_t document, bool ofBridgeOrigin) = 0;
    virtual void foreignFrame(uint64_t document) = 0;
    virtual void bridgeCalled(BridgeCallMessage call) = 0;
};

struct ScriptResult {
    std::string value;
    std::optional<std::string> exception;
};

// One view's page in the shared web process: its widget sized like the view, and every bounded wait on it.
class Page {
  public:
    virtual ~Page() = default;
    virtual uint64_t pageId() const = 0;
    virtual void resize(int width, int height) = 0;
    // A navigation the view asked for and its delegate allowed: a process that stopped answering is
    // replaced first. `reload`: the engine's revalidating reload of the document shown.
    virtual void load(const std::string& URL, const std::vector<std::pair<std::string, std::string>>& headers,
                      bool reload) = 0;
    // Shows `bytes` as the page of `baseURL` without asking anyone; waits (bounded) until it is shown.
    virtual bool loadData(const std::string& bytes, const std::string& MIMEType, const std::string& encoding,
                          const std::string& baseURL) = 0;
    virtual void stopLoading() = 0;
    // A load that overran its time: stopped, and the process is watched for a hang.
    virtual void stopOverdue() = 0;
    virtual std::string currentURL() const = 0;
    virtual std::string title() const = 0;
    // `deviceWorld`: in a script world of the device's own, out of the page's reach.
    virtual ScriptResult evaluate(const std::string& script, bool deviceWorld) = 0;
    // Waits (bounded) until the bridge calls the page has sent have all been handed to PageEvents.
    virtual void awaitBridgeCalls() = 0;
    virtual bool snapshot(const std::string& path, std::string* error) = 0;
    virtual void evaluateInDocument(uint64_t document, const std::string& script) = 0;
    // The keyboard: committed text as one edit, the return key as a key event.
    virtual void insertText(const std::string& text) = 0;
    virtual void pressReturn() = 0;
    virtual void deleteBackward() = 0;
    virtual void terminateWebProcess() = 0;
};

// The values mirrored into the web process: null, a string, or a dictionary of strings, by name.
using MirroredValue = std::variant<std::monostate, std::string, std::map<std::string, std::string>>;
struct Mirror {
    std::string origin;
    std::map<std::string, MirroredValue> values;
};

class Engine {
  public:
    virtual ~Engine() = default;
    // Starts the display server, GTK and the engine's context on first use; false (with `error()`) when
    // the engine cannot run here, which is final. `displayBudgetSeconds` bounds the wait for a display
    // server of our own; one still coming up after it is waited for by the next call.
    virtual bool start(double displayBudgetSeconds) = 0;
    virtual bool isRunning() const = 0;
    virtual const std::string& error() const = 0;
    // Begins loading `URL` ("": only the web process starts) in a hidden view without scripts, so that the
    // web process, its connections and the page's resources are ready for the view that shows it.
    virtual void prepare(const std::string& URL) = 0;
    // A new page in the shared web process, or null when the engine is not running.
    virtual std::unique_ptr<Page> createPage(PageEvents& events, int width, int height) = 0;
    // One turn of GLib's main context waiting at most `milliseconds`; `wake` ends a wait early.
    virtual void iterate(int milliseconds) = 0;
    virtual void wake() = 0;
    virtual void setPageBridge(uint64_t pageId, const std::string& objectName,
                               const std::vector<JSBridgeMethod>& methods) = 0;
    virtual void removePageBridge(uint64_t pageId) = 0;
    virtual void setMirror(const Mirror& mirror) = 0;
    virtual std::string originOf(const std::string& URL) = 0;
    virtual const std::string& mirrorOrigin() const = 0;
    // Clears the engine's memory and disk caches, waiting (bounded).
    virtual void clearCaches() = 0;
};

// The module's one entry point (extern "C", looked up by name): the engine, made once; `log` takes the
// engine's console lines.
using EntryPoint = Engine* (*)(void (*log)(const char* line));
inline constexpr const char* kEntryPointName = "quorvane_web_engine";

}  // namespace web_engine
