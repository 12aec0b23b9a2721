// The script context of a page: one JavaScriptCore global object with a small document shim, native objects
// exported to scripts, timers on the main run loop and a bound on how long any script may run.
//
// Callers never see the engine's types. Everything here runs on the main thread (asserted in debug builds).
//
// Before any page script runs, the context holds:
//   window                    the global object itself
//   document.title            read and written by scripts; the host hears every change
//   document.documentElement.style
//                             a plain object; any assignment (webkitUserSelect, ...) is accepted
//   location                  href, host, pathname, hash (of the page address), assign(url), reload(),
//                             and assignment to location.href or location: each asks the host to navigate
//   console.log/info/warn/error/debug
//                             to the developer console (NSLog), the arguments as text joined by spaces
//   setTimeout/clearTimeout   timers on the main run loop in the common modes, on the platform clock
//
// Exceptions. A script exception that nothing in the script catches is reported on the console
// ("JavaScript exception: <message> (line <n>)"), stored as `exception()`, and handed to `exceptionHandler`
// when one is set. It never reaches C++ as a C++ exception, and the call that ran the script returns an
// undefined value. A script that runs longer than the execution time limit is stopped and reported the same
// way, with the message "script stopped: it ran longer than <n> seconds". The limit applies to every entry
// into script: evaluation, a timer, a call from native code.
//
// Exported objects are held weakly: the page never keeps a native object alive. Once the native object is
// gone, every method the page still holds does nothing and returns undefined.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// A value taken out of the context when the script finished: its kind and its conversions, as the script
// would make them (toString is String(v), toNumber is Number(v), toBool is !!v).
class JSValue {
  public:
    enum class Kind { Undefined, Null, Boolean, Number, String, Object };

    JSValue() = default;
    static JSValue undefined() { return JSValue(); }

    Kind kind() const { return kind_; }
    bool isUndefined() const { return kind_ == Kind::Undefined; }
    bool isNull() const { return kind_ == Kind::Null; }
    bool isBoolean() const { return kind_ == Kind::Boolean; }
    bool isNumber() const { return kind_ == Kind::Number; }
    bool isString() const { return kind_ == Kind::String; }
    bool isObject() const { return kind_ == Kind::Object; }

    const std::string& toString() const { return string_; }
    double toNumber() const { return number_; }
    bool toBool() const { return boolean_; }

  private:
    friend struct JSContextEngine;
    Kind kind_ = Kind::Undefined;
    std::string string_ = "undefined";
    double number_ = std::numeric_limits<double>::quiet_NaN();
    bool boolean_ = false;
};

// How a script argument reaches a native method. Undefined and null (and a missing argument) arrive as
// nullopt whatever the kind; anything else is converted: String as String(v), Bool as !!v.
enum class JSArgumentKind { String, Bool };
using JSArgument = std::optional<Value>;
using JSArguments = std::vector<JSArgument>;

class JSExport;

// One row of an export table: the name scripts call, the kinds of its parameters and the native method.
// The result goes back to the script: nullopt as undefined, null, strings, numbers and booleans as such.
struct JSExportMethod {
    std::string scriptName;
    std::vector<JSArgumentKind> parameters;
    std::function<std::optional<Value>(JSExport& target, const JSArguments& arguments)> invoke;
};

// Adopted by native objects that scripts may call.
class JSExport {
  public:
    virtual ~JSExport() = default;
    // The methods scripts see; asked each time the object is exported.
    virtual std::vector<JSExportMethod> exportedMethods() const = 0;
};

// A row whose method is a member function style lambda on the concrete class:
//   jsExportMethod<Screen>("push", {JSArgumentKind::String}, [](Screen& s, const JSArguments& a) {...})
template <class T, class F>
JSExportMethod jsExportMethod(std::string scriptName, std::vector<JSArgumentKind> parameters, F method) {
    return {
        std::move(scriptName), std::move(parameters),
        [method = std::move(method)](JSExport& target, const JSArguments& arguments) -> std::optional<Value> {
            if constexpr (std::is_void_v<decltype(method(static_cast<T&>(target), arguments))>) {
                method(static_cast<T&>(target), arguments);
                return std::nullopt;
            } else {
                return method(static_cast<T&>(target), arguments);
            }
        }};
}

// What a page's context asks of whoever shows the page.
class JSContextHost {
  public:
    virtual ~JSContextHost() = default;
    // A script asked to go to `url` (already resolved against the page address); `reload` for
    // location.reload().
    virtual void scriptRequestedNavigation(const std::string& url, bool reload) = 0;
    // document.title changed.
    virtual void scriptChangedTitle(const std::string&) {}
};

class JSContext final : public Object {
  public:
    // The bound on one entry into script, unless a context sets its own.
    static constexpr double kDefaultExecutionTimeLimit = 2.0;

    // A fresh context with the shim for a page at `pageURL` titled `title`; `host` (weak) hears navigation
    // and title changes.
    static std::shared_ptr<JSContext> create(const std::string& pageURL = "about:blank",
                                             const std::string& title = "",
                                             std::weak_ptr<JSContextHost> host = {});
    ~JSContext() override;
    JSContext(const JSContext&) = delete;
    JSContext& operator=(const JSContext&) = delete;

    // Runs `script`; `sourceURL` names it in exception reports. Undefined after an exception or a stop.
    JSValue evaluateScript(const std::string& script, const std::string& sourceURL = "");

    // Exports `object` (held weakly) as the global `name`; a null object sets the global to undefined.
    void setObject(const std::shared_ptr<JSExport>& object, const std::string& name);
    // setObject:forKeyedSubscript:, the platform's spelling.
    void setObjectForKeyedSubscript(const std::shared_ptr<JSExport>& object, const std::string& name) {
        setObject(object, name);
    }

    // The last uncaught exception (undefined when none); cleared by `clearException`.
    const JSValue& exception() const { return exception_; }
    void clearException() { exception_ = JSValue(); }
    using ExceptionHandler = std::function<void(JSContext& context, const JSValue& exception)>;
    void setExceptionHandler(ExceptionHandler handler) { exceptionHandler_ = std::move(handler); }

    // Seconds one entry into script may run; <= 0 means no bound.
    void setExecutionTimeLimit(double seconds);
    double executionTimeLimit() const { return timeLimit_; }

    // The current document.title.
    std::string documentTitle() const;
    const std::string& pageURL() const { return pageURL_; }
    // Timers set by scripts that have neither fired nor been cleared.
    size_t pendingTimerCount() const;

    std::string description() const override;

    struct Engine;

  private:
    JSContext() = default;
    friend struct JSContextEngine;
    void report(const JSValue& exception, const std::string& line);

    std::string pageURL_;
    double timeLimit_ = kDefaultExecutionTimeLimit;
    JSValue exception_;
    ExceptionHandler exceptionHandler_;
    std::unique_ptr<Engine> engine_;
};

using JSContextPtr = std::shared_ptr<JSContext>;
