// The page's script context: evaluation results, exceptions and stops, exported objects, the shim, timers.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/Console.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "platform/webkit/JSContext.h"

namespace {

struct RecordingHost : JSContextHost {
    std::vector<std::pair<std::string, bool>> navigations;
    std::vector<std::string> titles;
    void scriptRequestedNavigation(const std::string& url, bool reload) override {
        navigations.emplace_back(url, reload);
    }
    void scriptChangedTitle(const std::string& title) override { titles.push_back(title); }
};

// A native object with one method of each shape; it records what scripts pass.
class Recorder : public JSExport {
  public:
    std::vector<JSArguments> calls;
    std::optional<Value> answer;
    std::function<void()> sideEffect;

    std::vector<JSExportMethod> exportedMethods() const override {
        using K = JSArgumentKind;
        return {
            jsExportMethod<Recorder>("strings", {K::String, K::String},
                                     [](Recorder& r, const JSArguments& a) { r.calls.push_back(a); }),
            jsExportMethod<Recorder>("flag", {K::Bool},
                                     [](Recorder& r, const JSArguments& a) { r.calls.push_back(a); }),
            jsExportMethod<Recorder>("answer", {}, [](Recorder& r, const JSArguments&) { return r.answer; }),
            jsExportMethod<Recorder>("effect", {},
                                     [](Recorder& r, const JSArguments&) {
                                         if (r.sideEffect) r.sideEffect();
                                     }),
            jsExportMethod<Recorder>("fail", {},
                                     [](Recorder&, const JSArguments&) -> std::optional<Value> {
                                         throw std::runtime_error("disk on fire");
                                     }),
        };
    }
};

class JSContextTest : public UITest {
  protected:
    std::shared_ptr<RecordingHost> host_ = std::make_shared<RecordingHost>();
    JSContextPtr context_ =
        JSContext::create("http://example.test:8080/app/index.html?x=1#/home", "Start", host_);
};

TEST_F(JSContextTest, EvaluationResultsConvertAsScriptsDo) {
    struct Row {
        const char* script;
        JSValue::Kind kind;
        const char* string;
        double number;  // NaN: not a number
        bool boolean;
    };
    const double nan = std::nan("");
    const Row rows[] = {
        {"0", JSValue::Kind::Number, "0", 0, false},
        {"'42'", JSValue::Kind::String, "42", 42, true},
        {"''", JSValue::Kind::String, "", 0, false},
        {"null", JSValue::Kind::Null, "null", 0, false},
        {"undefined", JSValue::Kind::Undefined, "undefined", nan, false},
        {"({a: 1})", JSValue::Kind::Object, "[object Object]", nan, true},
        {"[1, 2]", JSValue::Kind::Object, "1,2", nan, true},
        {"'\\u00e9\\u4e2d'", JSValue::Kind::String, "\xC3\xA9\xE4\xB8\xAD", nan, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        JSValue v = context_->evaluateScript(row.script);
        EXPECT_EQ(v.kind(), row.kind);
        EXPECT_EQ(v.toString(), row.string);
        if (std::isnan(row.number))
            EXPECT_TRUE(std::isnan(v.toNumber()));
        else
            EXPECT_EQ(v.toNumber(), row.number);
        EXPECT_EQ(v.toBool(), row.boolean);
    }
    EXPECT_TRUE(context_->exception().isUndefined());
}

TEST_F(JSContextTest, UncaughtExceptionsAreReportedNeverThrown) {
    std::vector<std::string> handled;
    context_->setExceptionHandler([&](JSContext&, const JSValue& e) { handled.push_back(e.toString()); });
    const std::pair<const char*, const char*> rows[] = {
        {"throw new Error('boom')", "JavaScript exception: Error: boom (line 1)"},
        {"\n\nundefinedFunction()",
         "JavaScript exception: ReferenceError: Can't find variable: undefinedFunction (line 3)"},
        {"this is not javascript", "JavaScript exception: SyntaxError"},
        {"throw {toString: function () { throw 1; }}", "JavaScript exception: "},
    };
    for (const auto& [script, line] : rows) {
        SCOPED_TRACE(script);
        Console::Capture capture;
        handled.clear();
        JSValue v = context_->evaluateScript(script);
        EXPECT_TRUE(v.isUndefined());
        EXPECT_TRUE(capture.contains(line)) << (capture.lines().empty() ? "" : capture.lines()[0]);
        EXPECT_EQ(handled.size(), 1u);
        EXPECT_FALSE(context_->exception().isUndefined());
    }
    // A caught exception is no exception; the context keeps working.
    context_->clearException();
    EXPECT_EQ(context_->evaluateScript("try { throw 1 } catch (e) { 'caught' }").toString(), "caught");
    EXPECT_TRUE(context_->exception().isUndefined());
}

TEST_F(JSContextTest, ExportedArgumentsAndResultsConvertByKind) {
    auto recorder = std::make_shared<Recorder>();
    context_->setObject(recorder, "app");
    struct Row {
        const char* script;
        JSArguments expected;
    };
    const Row rows[] = {
        {"app.strings(5, 1.5)", {Value("5"), Value("1.5")}},
        {"app.strings(null, undefined)", {std::nullopt, std::nullopt}},
        {"app.strings(true, {toString: function () { return 'obj'; }})", {Value("true"), Value("obj")}},
        {"app.strings('x', 'y', 'extra')", {Value("x"), Value("y")}},
        {"app.flag(0)", {Value(false)}},
        {"app.flag('false')", {Value(true)}},
        {"app.flag(null)", {std::nullopt}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        recorder->calls.clear();
        context_->evaluateScript(row.script);
        ASSERT_EQ(recorder->calls.size(), 1u);
        EXPECT_EQ(recorder->calls[0], row.expected);
    }
    // An argument whose conversion throws reaches the script, not the native method.
    recorder->calls.clear();
    EXPECT_EQ(context_
                  ->evaluateScript("try { app.strings({toString: function () { throw 'no'; }}); 'went on' }"
                                   " catch (e) { 'threw ' + e }")
                  .toString(),
              "threw no");
    EXPECT_TRUE(recorder->calls.empty());

    // Results come back as script values; a native failure is a script exception.
    const std::pair<std::optional<Value>, const char*> results[] = {{std::nullopt, "undefined"},
                                                                    {Value(), "object null"},
                                                                    {Value("tok"), "string tok"},
                                                                    {Value(7), "number 7"}};
    for (const auto& [answer, expected] : results) {
        recorder->answer = answer;
        EXPECT_EQ(
            context_
                ->evaluateScript("var r = app.answer(); r === undefined ? 'undefined' : typeof r + ' ' + r")
                .toString(),
            expected);
    }
    Console::Capture capture;
    EXPECT_EQ(context_->evaluateScript("try { app.fail() } catch (e) { String(e) }").toString(),
              "Error: native code failed: disk on fire");
}

TEST_F(JSContextTest, ExportedObjectsAreHeldWeaklyAndMayDropTheirContext) {
    auto recorder = std::make_shared<Recorder>();
    std::weak_ptr<Recorder> watch = recorder;
    context_->setObject(recorder, "app");
    context_->evaluateScript("var keep = app; var f = app.strings;");
    recorder.reset();
    EXPECT_TRUE(watch.expired());  // the page holds no reference
    Console::Capture capture;
    EXPECT_TRUE(context_->evaluateScript("keep.strings('a', 'b')").isUndefined());
    EXPECT_EQ(context_->evaluateScript("typeof f('a')").toString(), "undefined");
    EXPECT_TRUE(context_->exception().isUndefined());
    EXPECT_TRUE(capture.lines().empty());

    // Setting null removes the object.
    context_->setObject(nullptr, "keep");
    EXPECT_EQ(context_->evaluateScript("typeof keep").toString(), "undefined");

    // A native call may release its own context.
    recorder = std::make_shared<Recorder>();
    context_->setObject(recorder, "app");
    recorder->sideEffect = [this] { context_.reset(); };
    auto context = context_;
    std::weak_ptr<JSContext> watchContext = context_;
    context.reset();
    ASSERT_FALSE(watchContext.expired());
    watchContext.lock()->evaluateScript("app.effect(); 1 + 1");
    EXPECT_TRUE(watchContext.expired());
}

TEST_F(JSContextTest, ShimAnswersTheDocumentAndLocationAndHandsNavigationToTheHost) {
    const std::pair<const char*, const char*> rows[] = {
        {"window === this && window.window === window", "true"},
        {"document.documentElement.style.webkitTouchCallout = 'none'", "none"},
        {"document.title", "Start"},
        {"location.href", "http://example.test:8080/app/index.html?x=1#/home"},
        {"location.hash", "#/home"},
        {"String(location)", "http://example.test:8080/app/index.html?x=1#/home"},
    };
    for (const auto& [script, expected] : rows) {
        SCOPED_TRACE(script);
        EXPECT_EQ(context_->evaluateScript(script).toString(), expected);
    }
    EXPECT_TRUE(context_->exception().isUndefined());

    context_->evaluateScript("document.title = 'Changed'; document.title += '!'");
    EXPECT_EQ(host_->titles, (std::vector<std::string>{"Changed", "Changed!"}));
    EXPECT_EQ(context_->documentTitle(), "Changed!");

    // Navigation is resolved against the page and handed to the host.
    const std::pair<const char*, std::pair<std::string, bool>> navigations[] = {
        {"location.href = 'next.html'", {"http://example.test:8080/app/next.html", false}},
        {"location.assign('/root?q=2')", {"http://example.test:8080/root?q=2", false}},
        {"location.replace('#/b')", {"http://example.test:8080/app/index.html?x=1#/b", false}},
        {"location.reload()", {"http://example.test:8080/app/index.html?x=1#/home", true}},
        {"window.location.href = 'sarnquil://login'", {"sarnquil://login", false}},
    };
    for (const auto& [script, expected] : navigations) {
        SCOPED_TRACE(script);
        host_->navigations.clear();
        context_->evaluateScript(script);
        ASSERT_EQ(host_->navigations.size(), 1u);
        EXPECT_EQ(host_->navigations[0], expected);
    }
    // Text that is no URL is an exception in the script, and no navigation.
    host_->navigations.clear();
    Console::Capture capture;
    context_->evaluateScript("location.href = 'a b'");
    EXPECT_TRUE(host_->navigations.empty());
    EXPECT_TRUE(capture.contains("not a URL"));
}

TEST_F(JSContextTest, TimersRunInTimeOrderOnTheClockAndDieWithTheirContext) {
    context_->evaluateScript(
        "var log = [];"
        "setTimeout(function () { log.push('late'); }, 100);"
        "setTimeout(function () { log.push('early'); }, 50);"
        "var gone = setTimeout(function () { log.push('cleared'); }, 10);"
        "clearTimeout(gone);"
        "setTimeout(\"log.push('text')\", 70);"
        "setTimeout(function () { throw new Error('in timer'); }, 80);");
    EXPECT_EQ(context_->pendingTimerCount(), 4u);
    turn();
    EXPECT_EQ(context_->evaluateScript("log.join()").toString(), "");
    advance(0.05);
    EXPECT_EQ(context_->evaluateScript("log.join()").toString(), "early");
    Console::Capture capture;
    advance(0.05);
    EXPECT_EQ(context_->evaluateScript("log.join()").toString(), "early,text,late");
    EXPECT_TRUE(capture.contains("JavaScript exception: Error: in timer"));
    EXPECT_EQ(context_->pendingTimerCount(), 0u);

    // A loop in a timer is stopped and the next timer still runs; timers die with their context.
    context_->setExecutionTimeLimit(0.2);
    auto recorder = std::make_shared<Recorder>();
    context_->setObject(recorder, "app");
    context_->evaluateScript(
        "setTimeout(function () { while (true) {} }, 10);"
        "setTimeout(function () { app.flag(true); }, 20);");
    advance(0.02);
    EXPECT_TRUE(capture.contains("script stopped"));
    EXPECT_EQ(recorder->calls.size(), 1u);  // the next timer still ran

    context_->evaluateScript("setTimeout(function () { app.flag(true); }, 10);");
    context_.reset();
    advance(1);
    EXPECT_EQ(recorder->calls.size(), 1u);
}

}  // namespace
