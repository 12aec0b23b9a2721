#include "platform/webkit/JSContext.h"

#include <JavaScriptCore/JavaScript.h>

#include <cmath>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include "platform/foundation/Console.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIView.h"

// The engine's bound on script run time. The library exports these two functions but the installed
// headers do not declare them, so we declare them here: `limit` is in seconds; the callback is asked once
// the limit has passed and stops the script by answering true.
extern "C" {
typedef bool (*QVScriptShouldStopCallback)(JSContextRef ctx, void* context);
JS_EXPORT void JSContextGroupSetExecutionTimeLimit(JSContextGroupRef group, double limit,
                                                   QVScriptShouldStopCallback callback, void* context);
JS_EXPORT void JSContextGroupClearExecutionTimeLimit(JSContextGroupRef group);
}

namespace {

// Builds the document shim; called once with the native helpers and the page facts.
constexpr const char* kShim = R"JS((function (native, page) {
    var g = globalThis;
    g.window = g;
    var title = String(page.title);
    var documentElement = { tagName: 'HTML', style: {} };
    var document = {
        documentElement: documentElement,
        get title() { return title; },
        set title(value) { title = String(value); native.titleChanged(title); }
    };
    function go(url) { native.navigate(String(url), false); }
    var location = {
        get href() { return page.href; },
        set href(value) { go(value); },
        get protocol() { return page.protocol; },
        get host() { return page.host; },
        get hostname() { return page.hostname; },
        get port() { return page.port; },
        get pathname() { return page.pathname; },
        get search() { return page.search; },
        get hash() { return page.hash; },
        assign: function (url) { go(url); },
        replace: function (url) { go(url); },
        reload: function () { native.navigate(page.href, true); },
        toString: function () { return page.href; }
    };
    Object.defineProperty(g, 'document', { value: document, enumerable: true });
    Object.defineProperty(g, 'location', {
        get: function () { return location; }, set: function (value) { go(value); }, enumerable: true
    });
    function logger() {
        return function () { native.log(Array.prototype.map.call(arguments, String).join(' ')); };
    }
    g.console = { log: logger(), info: logger(), warn: logger(), error: logger(), debug: logger() };
    g.setTimeout = function (callback, delay) { return native.setTimeout(callback, delay); };
    g.clearTimeout = function (id) { native.clearTimeout(id); };
}))JS";

std::string toUTF8(JSStringRef string) {
    if (!string) return "";
    size_t capacity = JSStringGetMaximumUTF8CStringSize(string);
    std::string out(capacity, '\0');
    size_t written = JSStringGetUTF8CString(string, out.data(), capacity);
    out.resize(written > 0 ? written - 1 : 0);
    return out;
}

// An owned engine string.
class JSString {
  public:
    explicit JSString(const std::string& text) : ref_(JSStringCreateWithUTF8CString(text.c_str())) {}
    ~JSString() { JSStringRelease(ref_); }
    JSString(const JSString&) = delete;
    JSString& operator=(const JSString&) = delete;
    operator JSStringRef() const { return ref_; }

  private:
    JSStringRef ref_;
};

// The engine needs a few options before its first VM exists; set them once, unless the environment
// already chose (see the module README).
void configureEngineOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Stop long scripts by polling at loop edges rather than by signals, which the sanitizers'
        // own handlers would see.
        setenv("JSC_usePollingTraps", "true", 0);
    });
}

}  // namespace

// A native function in the engine: its callback and what it needs, freed with the function object.
struct NativeFunction {
    using Body = std::function<JSValueRef(JSContextRef ctx, size_t argc, const JSValueRef argv[],
                                          JSValueRef* exception)>;
    Body body;
};

struct JSContext::Engine {
    JSContextGroupRef group = nullptr;
    JSGlobalContextRef ctx = nullptr;
    std::weak_ptr<JSContext> owner;
    std::weak_ptr<JSContextHost> host;
    std::string title;
    bool stopped = false;  // the time limit stopped the running script

    struct Timer {
        std::shared_ptr<NSTimer> timer;
        JSValueRef callback = nullptr;  // protected while stored
        std::string source;             // when the callback is text
    };
    std::map<double, Timer> timers;
    double nextTimerId = 1;

    ~Engine() {
        for (auto& [id, t] : timers) {
            t.timer->invalidate();
            if (t.callback) JSValueUnprotect(ctx, t.callback);
        }
        timers.clear();
        if (group) JSContextGroupClearExecutionTimeLimit(group);
        if (ctx) JSGlobalContextRelease(ctx);
        if (group) JSContextGroupRelease(group);
    }
};

// The engine-facing side of the context, kept out of the header.
struct JSContextEngine {
    using Engine = JSContext::Engine;

    static JSClassRef functionClass() {
        static JSClassRef cls = [] {
            JSClassDefinition def = kJSClassDefinitionEmpty;
            def.className = "NativeFunction";
            def.finalize = [](JSObjectRef object) {
                delete static_cast<NativeFunction*>(JSObjectGetPrivate(object));
            };
            def.callAsFunction = [](JSContextRef ctx, JSObjectRef function, JSObjectRef, size_t argc,
                                    const JSValueRef argv[], JSValueRef* exception) -> JSValueRef {
                auto* native = static_cast<NativeFunction*>(JSObjectGetPrivate(function));
                if (!native || !native->body) return JSValueMakeUndefined(ctx);
                try {
                    return native->body(ctx, argc, argv, exception);
                } catch (const std::exception& e) {
                    *exception = makeError(ctx, std::string("native code failed: ") + e.what());
                } catch (...) {
                    *exception = makeError(ctx, "native code failed");
                }
                return JSValueMakeUndefined(ctx);
            };
            return JSClassCreate(&def);
        }();
        return cls;
    }

    static JSObjectRef makeFunction(JSContextRef ctx, NativeFunction::Body body) {
        return JSObjectMake(ctx, functionClass(), new NativeFunction{std::move(body)});
    }

    static JSValueRef makeError(JSContextRef ctx, const std::string& message) {
        JSValueRef argument = JSValueMakeString(ctx, JSString(message));
        return JSObjectMakeError(ctx, 1, &argument, nullptr);
    }

    static void setProperty(JSContextRef ctx, JSObjectRef object, const std::string& name, JSValueRef value) {
        JSObjectSetProperty(ctx, object, JSString(name), value, kJSPropertyAttributeNone, nullptr);
    }

    static std::string stringOf(JSContextRef ctx, JSValueRef value) {
        JSValueRef ignored = nullptr;
        JSStringRef string = JSValueToStringCopy(ctx, value, &ignored);
        if (!string) return "";
        std::string out = toUTF8(string);
        JSStringRelease(string);
        return out;
    }

    static JSValue snapshot(JSContextRef ctx, JSValueRef value) {
        JSValue out;
        if (!value) return out;
        switch (JSValueGetType(ctx, value)) {
            case kJSTypeUndefined:
                out.kind_ = JSValue::Kind::Undefined;
                break;
            case kJSTypeNull:
                out.kind_ = JSValue::Kind::Null;
                break;
            case kJSTypeBoolean:
                out.kind_ = JSValue::Kind::Boolean;
                break;
            case kJSTypeNumber:
                out.kind_ = JSValue::Kind::Number;
                break;
            case kJSTypeString:
                out.kind_ = JSValue::Kind::String;
                break;
            default:
                out.kind_ = JSValue::Kind::Object;
                break;
        }
        JSValueRef ignored = nullptr;
        out.string_ = stringOf(ctx, value);
        out.number_ = JSValueToNumber(ctx, value, &ignored);
        out.boolean_ = JSValueToBoolean(ctx, value);
        return out;
    }

    static JSValue textValue(const std::string& text) {
        JSValue out;
        out.kind_ = JSValue::Kind::String;
        out.string_ = text;
        out.number_ = std::numeric_limits<double>::quiet_NaN();
        out.boolean_ = !text.empty();
        return out;
    }

    static JSValueRef fromValue(JSContextRef ctx, const std::optional<Value>& value) {
        if (!value) return JSValueMakeUndefined(ctx);
        if (value->isNull()) return JSValueMakeNull(ctx);
        if (value->isBool()) return JSValueMakeBoolean(ctx, value->boolValue());
        if (value->isNumber()) return JSValueMakeNumber(ctx, value->doubleValue());
        return JSValueMakeString(ctx, JSString(value->stringValue()));
    }

    // After an entry into script: reports an exception or a stop. True when the entry failed.
    static bool finishEntry(JSContext& context, JSValueRef exception) {
        auto& engine = *context.engine_;
        bool stopped = std::exchange(engine.stopped, false);
        if (!exception && !stopped) return false;
        if (stopped) {
            context.report(textValue("script stopped: it ran longer than " +
                                     valuetext::formatDouble(context.timeLimit_) + " seconds"),
                           "");
        } else {
            std::string where;
            if (JSValueIsObject(engine.ctx, exception)) {
                JSObjectRef object = JSValueToObject(engine.ctx, exception, nullptr);
                JSValueRef line = JSObjectGetProperty(engine.ctx, object, JSString("line"), nullptr);
                if (line && JSValueIsNumber(engine.ctx, line)) {
                    where = valuetext::formatDouble(JSValueToNumber(engine.ctx, line, nullptr));
                }
            }
            context.report(snapshot(engine.ctx, exception), where);
        }
        return true;
    }

    // Calls `function` with `this` the global object; exceptions and stops are reported.
    static void call(JSContext& context, JSObjectRef function) {
        auto& engine = *context.engine_;
        JSValueRef exception = nullptr;
        engine.stopped = false;
        JSObjectCallAsFunction(engine.ctx, function, JSContextGetGlobalObject(engine.ctx), 0, nullptr,
                               &exception);
        finishEntry(context, exception);
    }

    static void fireTimer(const std::weak_ptr<JSContext>& weak, double id) {
        auto context = weak.lock();
        if (!context) return;
        auto& engine = *context->engine_;
        auto it = engine.timers.find(id);
        if (it == engine.timers.end()) return;
        auto timer = std::move(it->second);
        engine.timers.erase(it);
        if (timer.callback) {
            if (JSValueIsObject(engine.ctx, timer.callback) &&
                JSObjectIsFunction(engine.ctx, JSValueToObject(engine.ctx, timer.callback, nullptr))) {
                call(*context, JSValueToObject(engine.ctx, timer.callback, nullptr));
            }
            JSValueUnprotect(engine.ctx, timer.callback);
        } else {
            context->evaluateScript(timer.source, "setTimeout");
        }
    }

    static JSObjectRef makeNativeHelpers(const std::shared_ptr<JSContext>& context) {
        JSContextRef ctx = context->engine_->ctx;
        std::weak_ptr<JSContext> weak = context;
        JSObjectRef native = JSObjectMake(ctx, nullptr, nullptr);

        setProperty(ctx, native, "log",
                    makeFunction(ctx, [](JSContextRef c, size_t argc, const JSValueRef argv[], JSValueRef*) {
                        NSLog(argc > 0 ? stringOf(c, argv[0]) : "");
                        return JSValueMakeUndefined(c);
                    }));
        setProperty(
            ctx, native, "titleChanged",
            makeFunction(ctx, [weak](JSContextRef c, size_t argc, const JSValueRef argv[], JSValueRef*) {
                auto context = weak.lock();
                if (!context || argc < 1) return JSValueMakeUndefined(c);
                context->engine_->title = stringOf(c, argv[0]);
                if (auto host = context->engine_->host.lock())
                    host->scriptChangedTitle(context->engine_->title);
                return JSValueMakeUndefined(c);
            }));
        setProperty(ctx, native, "navigate",
                    makeFunction(ctx, [weak](JSContextRef c, size_t argc, const JSValueRef argv[],
                                             JSValueRef* exception) {
                        auto context = weak.lock();
                        if (!context || argc < 2) return JSValueMakeUndefined(c);
                        std::string text = stringOf(c, argv[0]);
                        bool reload = JSValueToBoolean(c, argv[1]);
                        auto base = NSURL::URLWithString(context->pageURL_);
                        auto url = base ? NSURL::URLWithString(text, base) : NSURL::URLWithString(text);
                        if (!url) {
                            *exception = makeError(c, "cannot navigate to \"" + text + "\": not a URL");
                            return JSValueMakeUndefined(c);
                        }
                        if (auto host = context->engine_->host.lock())
                            host->scriptRequestedNavigation(url->absoluteString(), reload);
                        return JSValueMakeUndefined(c);
                    }));
        setProperty(
            ctx, native, "setTimeout",
            makeFunction(ctx, [weak](JSContextRef c, size_t argc, const JSValueRef argv[], JSValueRef*) {
                auto context = weak.lock();
                if (!context || argc < 1) return JSValueMakeUndefined(c);
                auto& engine = *context->engine_;
                double delay = argc > 1 ? JSValueToNumber(c, argv[1], nullptr) : 0;
                if (!std::isfinite(delay) || delay < 0) delay = 0;
                double id = engine.nextTimerId++;
                Engine::Timer timer;
                if (JSValueIsObject(c, argv[0])) {
                    timer.callback = argv[0];
                    JSValueProtect(c, timer.callback);
                } else {
                    timer.source = stringOf(c, argv[0]);
                }
                timer.timer = NSTimer::timerWithTimeInterval(
                    delay / 1000.0, Repeats::No,
                    [weak, id](const std::shared_ptr<NSTimer>&) { fireTimer(weak, id); });
                NSRunLoop::main().addTimer(timer.timer, NSRunLoopCommonModes);
                engine.timers.emplace(id, std::move(timer));
                return JSValueMakeNumber(c, id);
            }));
        setProperty(
            ctx, native, "clearTimeout",
            makeFunction(ctx, [weak](JSContextRef c, size_t argc, const JSValueRef argv[], JSValueRef*) {
                auto context = weak.lock();
                if (!context || argc < 1) return JSValueMakeUndefined(c);
                auto& engine = *context->engine_;
                auto it = engine.timers.find(JSValueToNumber(c, argv[0], nullptr));
                if (it != engine.timers.end()) {
                    it->second.timer->invalidate();
                    if (it->second.callback) JSValueUnprotect(c, it->second.callback);
                    engine.timers.erase(it);
                }
                return JSValueMakeUndefined(c);
            }));
        return native;
    }

    static JSObjectRef makePageFacts(JSContextRef ctx, const std::string& pageURL, const std::string& title) {
        JSObjectRef page = JSObjectMake(ctx, nullptr, nullptr);
        auto put = [&](const char* name, const std::string& text) {
            setProperty(ctx, page, name, JSValueMakeString(ctx, JSString(text)));
        };
        put("href", pageURL);
        put("title", title);
        auto url = NSURL::URLWithString(pageURL);
        std::string protocol = url && !url->scheme().empty() ? url->scheme() + ":" : "";
        std::string hostname = url ? url->host() : "";
        std::string port = url && url->port() ? std::to_string(*url->port()) : "";
        put("protocol", protocol);
        put("hostname", hostname);
        put("port", port);
        put("host", port.empty() ? hostname : hostname + ":" + port);
        put("pathname", url ? (url->percentEncodedPath().empty() ? "/" : url->percentEncodedPath()) : "");
        put("search", url && url->query() && !url->query()->empty() ? "?" + *url->query() : "");
        put("hash", url && url->fragment() && !url->fragment()->empty() ? "#" + *url->fragment() : "");
        return page;
    }

    // One exported method as a function object; the target is held weakly.
    static JSObjectRef makeExportedMethod(JSContextRef ctx, const std::weak_ptr<JSContext>& weakContext,
                                          std::weak_ptr<JSExport> weakTarget, JSExportMethod method) {
        return makeFunction(
            ctx, [weakContext, weakTarget, method = std::move(method)](
                     JSContextRef c, size_t argc, const JSValueRef argv[], JSValueRef* exception) {
                auto target = weakTarget.lock();
                auto context = weakContext.lock();
                if (!target || !context || !method.invoke) return JSValueMakeUndefined(c);
                JSArguments arguments;
                arguments.reserve(method.parameters.size());
                for (size_t i = 0; i < method.parameters.size(); ++i) {
                    if (i >= argc || JSValueIsUndefined(c, argv[i]) || JSValueIsNull(c, argv[i])) {
                        arguments.emplace_back(std::nullopt);
                    } else if (method.parameters[i] == JSArgumentKind::Bool) {
                        arguments.emplace_back(Value(JSValueToBoolean(c, argv[i])));
                    } else {
                        JSValueRef thrown = nullptr;
                        JSStringRef string = JSValueToStringCopy(c, argv[i], &thrown);
                        if (!string) {
                            *exception = thrown;
                            return JSValueMakeUndefined(c);
                        }
                        arguments.emplace_back(Value(toUTF8(string)));
                        JSStringRelease(string);
                    }
                }
                return fromValue(c, method.invoke(*target, arguments));
            });
    }
};

std::shared_ptr<JSContext> JSContext::create(const std::string& pageURL, const std::string& title,
                                             std::weak_ptr<JSContextHost> host) {
    UIAssertMainThread();
    configureEngineOnce();
    auto context = std::shared_ptr<JSContext>(new JSContext());
    context->pageURL_ = pageURL;
    context->engine_ = std::make_unique<Engine>();
    auto& engine = *context->engine_;
    engine.owner = context;
    engine.host = std::move(host);
    engine.title = title;
    engine.group = JSContextGroupCreate();
    engine.ctx = JSGlobalContextCreateInGroup(engine.group, nullptr);
    context->setExecutionTimeLimit(kDefaultExecutionTimeLimit);

    JSValueRef exception = nullptr;
    JSValueRef shim = JSEvaluateScript(engine.ctx, JSString(kShim), nullptr, nullptr, 1, &exception);
    if (shim && JSValueIsObject(engine.ctx, shim)) {
        JSValueRef arguments[] = {JSContextEngine::makeNativeHelpers(context),
                                  JSContextEngine::makePageFacts(engine.ctx, pageURL, title)};
        JSObjectCallAsFunction(engine.ctx, JSValueToObject(engine.ctx, shim, nullptr), nullptr, 2, arguments,
                               &exception);
    }
    JSContextEngine::finishEntry(*context, exception);
    return context;
}

JSContext::~JSContext() = default;

JSValue JSContext::evaluateScript(const std::string& script, const std::string& sourceURL) {
    UIAssertMainThread();
    auto keep = shared_from_this();  // a script may drop the last outside reference to its context
    JSValueRef exception = nullptr;
    engine_->stopped = false;
    JSValueRef result;
    if (sourceURL.empty()) {
        result = JSEvaluateScript(engine_->ctx, JSString(script), nullptr, nullptr, 1, &exception);
    } else {
        result =
            JSEvaluateScript(engine_->ctx, JSString(script), nullptr, JSString(sourceURL), 1, &exception);
    }
    if (JSContextEngine::finishEntry(*this, exception)) return JSValue();
    return JSContextEngine::snapshot(engine_->ctx, result);
}

void JSContext::setObject(const std::shared_ptr<JSExport>& object, const std::string& name) {
    UIAssertMainThread();
    JSContextRef ctx = engine_->ctx;
    JSValueRef value = JSValueMakeUndefined(ctx);
    if (object) {
        auto weak = std::static_pointer_cast<JSContext>(shared_from_this());
        JSObjectRef exported = JSObjectMake(ctx, nullptr, nullptr);
        for (auto& method : object->exportedMethods()) {
            std::string scriptName = method.scriptName;
            JSContextEngine::setProperty(
                ctx, exported, scriptName,
                JSContextEngine::makeExportedMethod(ctx, weak, object, std::move(method)));
        }
        value = exported;
    }
    JSValueRef exception = nullptr;
    JSObjectSetProperty(ctx, JSContextGetGlobalObject(ctx), JSString(name), value, kJSPropertyAttributeNone,
                        &exception);
    JSContextEngine::finishEntry(*this, exception);
}

void JSContext::setExecutionTimeLimit(double seconds) {
    timeLimit_ = seconds;
    if (seconds > 0) {
        JSContextGroupSetExecutionTimeLimit(
            engine_->group, seconds,
            [](JSContextRef, void* data) {
                static_cast<Engine*>(data)->stopped = true;
                return true;
            },
            engine_.get());
    } else {
        JSContextGroupClearExecutionTimeLimit(engine_->group);
    }
}

std::string JSContext::documentTitle() const {
    return engine_->title;
}

size_t JSContext::pendingTimerCount() const {
    return engine_->timers.size();
}

std::string JSContext::description() const {
    return "<JSContext " + pageURL_ + ">";
}

void JSContext::report(const JSValue& exception, const std::string& line) {
    exception_ = exception;
    NSLog("JavaScript exception: " + exception.toString() + (line.empty() ? "" : " (line " + line + ")"));
    if (auto handler = exceptionHandler_) handler(*this, exception);
}
