#include "platform/webkit/UIWebView.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <deque>
#include <utility>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/uikit/UIScreen.h"
#include "platform/webkit/WebEngineHost.h"

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool canLoad(const NSURLPtr& url) {
    if (!url) return false;
    const std::string scheme = lowercase(url->scheme());
    return ((scheme == "http" || scheme == "https") && !url->host().empty()) ||
           lowercase(url->absoluteString()) == "about:blank";
}

std::string quoted(const std::string& text) {
    auto json = NSJSONSerialization::dataWithJSONObject(
        Value(text), NSJSONSerialization::WritingFragmentsAllowed, nullptr);
    return json ? json->toString() : "\"\"";
}

// Whether going to `request` from `shown` only moves to a fragment of the same document.
bool withinDocument(const std::string& shown, const NSURLRequest& request) {
    if (shown.empty() || !request.URL()) return false;
    const std::string to = request.URL()->absoluteString();
    const size_t hash = to.find('#');
    return hash != std::string::npos && shown.substr(0, shown.find('#')) == to.substr(0, hash);
}

std::string originOf(const std::string& url) {
    auto* engine = WebEngineHost::load();
    return engine ? engine->originOf(url) : "";
}

const std::string& mirrorOrigin() {
    static const std::string none;
    auto* engine = WebEngineHost::load();
    return engine ? engine->mirrorOrigin() : none;
}

// The launch hold's turns of the engine, and how long (real time) it waits for a manual clock to move.
constexpr double kHoldSliceMilliseconds = 50;
constexpr int kManualHoldBoundSeconds = 60;

std::string engineError() {
    return "the web engine cannot run: " + WebEngineHost::error();
}

JSArguments argumentsOf(const std::vector<BridgeArgument>& arguments) {
    JSArguments values;
    for (auto& argument : arguments) {
        if (!argument) {
            values.emplace_back(std::nullopt);
        } else if (auto* flag = std::get_if<bool>(&*argument)) {
            values.emplace_back(Value(*flag));
        } else {
            values.emplace_back(Value(std::get<std::string>(*argument)));
        }
    }
    return values;
}

web_engine::Mirror engineMirror(const JSBridge::Mirror& mirror) {
    web_engine::Mirror converted{mirror.origin, {}};
    for (auto& [name, value] : mirror.values) {
        if (auto* dictionary = value.asDictionary()) {
            std::map<std::string, std::string> strings;
            for (auto& [key, item] : *dictionary) strings[key] = item.stringValue();
            converted.values[name] = std::move(strings);
        } else if (value.isNull()) {
            converted.values[name] = std::monostate();
        } else {
            converted.values[name] = value.stringValue();
        }
    }
    return converted;
}

}  // namespace

// The view's side of its page in the engine: the engine's events become work queued for the main queue
// (delegates never run inside the engine's callbacks or a bounded wait).
struct UIWebView::Native final : web_engine::PageEvents {
    std::weak_ptr<UIWebView> owner;
    std::unique_ptr<web_engine::Page> page;

    template <class F>
    void post(F work) {
        DispatchQueue::main()->async([weak = owner, work = std::move(work)]() mutable {
            if (auto view = weak.lock()) work(*view);
        });
    }
    // The load the engine's event belongs to: what the engine queued before a stop belongs to the stopped
    // one.
    uint64_t epoch() const {
        auto view = owner.lock();
        return view ? view->epoch_ : 0;
    }

    void navigationAction(const std::string& URL, int navigationType, bool redirect,
                          std::function<void(bool)> answer) override {
        auto view = owner.lock();
        if (!view) return answer(false);
        // A page's navigation, of its main frame or of one of its frames (the engine does not say which): it
        // supersedes nothing, and only a stop or a navigation asked through the view drops it.
        const uint64_t serial = view->decisionSerial_;
        const auto type = UIWebViewNavigationType(navigationType);
        const Origin origin = redirect ? Origin::Redirect : Origin::Page;
        NSURLRequest navigation(NSURL::URLWithString(URL));
        std::weak_ptr<UIWebView> weak = view;
        DispatchQueue::main()->async([weak, serial, navigation, type, origin, answer = std::move(answer)] {
            auto v = weak.lock();
            answer(v && v->decide(serial, navigation, type, origin));
        });
    }
    void loadStarted(bool silent, const std::string& URL) override {
        post([epoch = epoch(), silent, URL](UIWebView& v) { v.engineStarted(epoch, silent, URL); });
    }
    void loadRedirected(const std::string& URL) override {
        post([URL](UIWebView& v) { v.engineRedirected(URL); });
    }
    void loadCommitted(const std::string& URL) override {
        post([URL](UIWebView& v) {
            v.documentURL_ = URL;
            v.engineRedirected(URL);
        });
    }
    void loadFinished() override {
        post([epoch = epoch()](UIWebView& v) { v.engineFinished(epoch); });
    }
    void loadFailed(const web_engine::LoadFailure& failure) override {
        if (owner.expired()) return;
        auto error = NSURLError(failure.code, NSURL::URLWithString(failure.URL), failure.message);
        post([epoch = epoch(), error](UIWebView& v) { v.engineFailed(epoch, error); });
    }
    void processTerminated(bool replaced) override {
        post([replaced](UIWebView& v) { v.engineTerminated(replaced); });
    }
    void documentShown(uint64_t document, bool ofBridgeOrigin) override {
        post([document, ofBridgeOrigin](UIWebView& v) {
            v.document_ = document;
            v.documentOfBridgeOrigin_ = ofBridgeOrigin;
            v.foreignFrames_ = false;
        });
    }
    void foreignFrame(uint64_t document) override {
        post([document](UIWebView& v) {
            if (v.document_ == document) v.foreignFrames_ = true;
        });
    }
    void bridgeCalled(BridgeCallMessage call) override {
        JSBridgeCaller caller{call.document, call.URL, call.ofBridgeOrigin};
        post(
            [called = std::move(call.method), arguments = argumentsOf(call.arguments), caller](UIWebView& v) {
                if (auto bridge = v.bridge_.lock()) bridge->bridgeCall(v, called, arguments, caller);
            });
    }
};

namespace {

// A view placed only by constraints has no size: its page is laid out for the screen.
CGSize pageSize(CGRect frame) {
    return frame.size.width >= 1 && frame.size.height >= 1 ? frame.size
                                                           : UIScreen::mainScreen().bounds().size;
}

}  // namespace

UIWebView::UIWebView(CGRect frame) : UIView(frame) {}

std::shared_ptr<UIWebView> UIWebView::create(CGRect frame) {
    UIAssertMainThread();
    auto view = std::shared_ptr<UIWebView>(new UIWebView(frame));
    view->scrollView_ = UIScrollView::create(CGRect{CGPointZero, frame.size});
    view->addSubview(view->scrollView_);
    view->native_ = std::make_unique<Native>();
    view->native_->owner = view;
    if (auto* engine = WebEngineHost::running()) {
        const CGSize size = pageSize(frame);
        view->native_->page = engine->createPage(*view->native_, int(size.width), int(size.height));
    }
    return view;
}

UIWebView::~UIWebView() {
    if (!native_->page) return;
    if (auto* engine = WebEngineHost::load()) engine->removePageBridge(native_->page->pageId());
    native_->page.reset();
}

void UIWebView::holdWhileEngineStarts(double seconds, const std::string& pageURL) {
    UIAssertMainThread();
    const double end = Clock::monotonic() + seconds;
    auto left = [end] { return end - Clock::monotonic(); };
    web_engine::Engine* engine = WebEngineHost::running(std::max(0.0, left()));
    if (!engine) return Clock::sleepFor(left());
    engine->prepare(pageURL);
    // The engine works in slices until the clock reaches the end; a manual clock that nobody moves ends
    // the hold after a bound of real time, as the clock's own sleep does.
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(kManualHoldBoundSeconds);
    for (double rest; (rest = left()) > 0;) {
        if (Clock::isManual() && std::chrono::steady_clock::now() >= realEnd) break;
        engine->iterate(int(std::min(kHoldSliceMilliseconds, std::ceil(rest * 1000))));
    }
}

void UIWebView::setFrame(CGRect frame) {
    UIView::setFrame(frame);
    if (scrollView_) scrollView_->setFrame(CGRect{CGPointZero, frame.size});
    if (!native_ || !native_->page) return;
    const CGSize size = pageSize(frame);
    native_->page->resize(int(size.width), int(size.height));
}

void UIWebView::loadRequest(const NSURLRequest& request) {
    navigate(request, UIWebViewNavigationType::Other);
}

void UIWebView::navigate(const NSURLRequest& request, UIWebViewNavigationType type) {
    UIAssertMainThread();
    const uint64_t serial = ++decisionSerial_;
    native_->post([serial, request, type](UIWebView& v) {
        if (!v.decide(serial, request, type, Origin::App)) return;
        if (!v.native_->page) {
            if (auto delegate = v.delegate_.lock())
                delegate->didFailLoadWithError(v,
                                               NSURLError(NSURLErrorUnknown, request.URL(), engineError()));
            return;
        }
        const std::string address = request.URL()->absoluteString();
        std::vector<std::pair<std::string, std::string>> headers;
        for (auto& [name, value] : request.headerFields().fields()) headers.emplace_back(name, value);
        // A reload of the document shown revalidates it; any other (after a failed load or an ended web
        // process, the engine shows a blank page) loads the page asked for.
        v.native_->page->load(address, headers,
                              type == UIWebViewNavigationType::Reload && v.documentURL_ == address);
    });
}

void UIWebView::loadData(const Data& data, const std::string& MIMEType, const std::string& textEncodingName,
                         const std::shared_ptr<NSURL>& baseURL) {
    UIAssertMainThread();
    auto keep = self<UIWebView>();
    ++decisionSerial_;
    if (state_ == State::Loading) stopLoading();
    if (!native_->page) return;
    const std::string base = baseURL ? baseURL->absoluteString() : "about:blank";
    request_ = NSURLRequest(NSURL::URLWithString(base));
    // Shown before we return, as the caller reports the load as finished at once.
    if (!native_->page->loadData(data.toString(), MIMEType, textEncodingName, base)) {
        NSLog("Web view: the page given as data for " + base + " did not finish loading in time");
    }
}

void UIWebView::reload() {
    UIAssertMainThread();
    if (!request_.URL()) return;
    navigate(request_, UIWebViewNavigationType::Reload);
}

void UIWebView::stopLoading() {
    UIAssertMainThread();
    ++decisionSerial_;
    if (native_->page) native_->page->stopLoading();
    if (state_ != State::Loading) return;
    ++epoch_;  // what the engine queued for the stopped load is dropped
    finish(NSURLError(NSURLErrorCancelled, request_.URL()));
}

bool UIWebView::decide(uint64_t serial, const NSURLRequest& request, UIWebViewNavigationType type,
                       Origin origin) {
    if (serial != decisionSerial_) return false;  // superseded or stopped
    auto keep = self<UIWebView>();
    if (auto delegate = delegate_.lock()) {
        // The bridge's origin started it: the app, or the main frame's document of that origin with no frame
        // of another origin on the page (the engine does not say which frame asks), and with no other
        // origin's server on the way (a redirect).
        const bool trusted =
            origin == Origin::App || (documentOfBridgeOrigin_ && !foreignFrames_ && !mirrorOrigin().empty() &&
                                      (origin == Origin::Page || !foreignHop_));
        struct Scope {
            bool& slot;
            ~Scope() { slot = false; }
        } scope{navigationFromBridgeOrigin_};
        navigationFromBridgeOrigin_ = trusted;
        if (!delegate->shouldStartLoadWithRequest(*this, request, type) || serial != decisionSerial_)
            return false;
    }
    if (!canLoad(request.URL())) {
        if (auto d = delegate_.lock())
            d->didFailLoadWithError(*this, NSURLError(NSURLErrorUnsupportedURL, request.URL()));
        return false;
    }
    // Where this navigation goes next counts as a hop for the redirects that may follow.
    const bool foreign = originOf(request.URL()->absoluteString()) != mirrorOrigin();
    foreignHop_ = origin == Origin::Redirect ? foreignHop_ || foreign : foreign;
    // A page's navigation may be one of a frame's: the engine says when the main frame starts loading.
    if (origin != Origin::App) return true;
    // A load in flight ends before the next starts (a move inside the document loads nothing).
    if (state_ == State::Loading &&
        !(native_->page && withinDocument(native_->page->currentURL(), request))) {
        ++epoch_;
        if (native_->page) native_->page->stopLoading();
        finish(NSURLError(NSURLErrorCancelled, request_.URL()));
        if (serial != decisionSerial_) return false;
    }
    pendingRequest_ = request;
    return true;
}

void UIWebView::engineStarted(uint64_t epoch, bool silent, const std::string& uri) {
    if (epoch != epoch_) return;
    auto keep = self<UIWebView>();
    if (state_ == State::Loading) finish(NSURLError(NSURLErrorCancelled, request_.URL()));
    reportsLoad_ = !silent;
    if (reportsLoad_ && pendingRequest_) {
        request_ = *pendingRequest_;
    } else if (reportsLoad_ && !uri.empty()) {
        request_ = NSURLRequest(NSURL::URLWithString(uri));  // a page's own navigation
    }
    pendingRequest_.reset();
    pendingError_ = nullptr;
    state_ = State::Loading;
    ++loadSerial_;
    if (!reportsLoad_) return;
    armTimeout();
    if (auto delegate = delegate_.lock()) delegate->webViewDidStartLoad(*this);
}

void UIWebView::engineRedirected(const std::string& uri) {
    if (state_ == State::Loading && !uri.empty()) request_.setURL(NSURL::URLWithString(uri));
}

void UIWebView::engineFailed(uint64_t epoch, const NSErrorPtr& error) {
    if (epoch == epoch_ && state_ == State::Loading) pendingError_ = error;
}

void UIWebView::engineFinished(uint64_t epoch) {
    if (epoch != epoch_ || state_ != State::Loading) return;
    finish(std::exchange(pendingError_, nullptr));
}

void UIWebView::engineTerminated(bool replaced) {
    // The engine shows a blank page now; a reload loads the page asked for.
    document_ = 0;
    documentURL_.clear();
    documentOfBridgeOrigin_ = false;
    foreignFrames_ = false;
    if (replaced || state_ != State::Loading) return;
    ++epoch_;
    finish(NSURLError(NSURLErrorNetworkConnectionLost, request_.URL(), "the web process ended"));
}

void UIWebView::armTimeout() {
    const double seconds = request_.timeoutInterval();
    if (seconds <= 0) return;
    std::weak_ptr<UIWebView> weak = self<UIWebView>();
    const uint64_t serial = loadSerial_;
    NSTimer::scheduledTimerWithTimeInterval(
        seconds, Repeats::No, [weak, serial](const std::shared_ptr<NSTimer>&) {
            auto view = weak.lock();
            if (!view || view->loadSerial_ != serial || view->state_ != State::Loading) return;
            ++view->decisionSerial_;
            ++view->epoch_;
            if (view->native_->page) view->native_->page->stopOverdue();
            view->finish(NSURLError(NSURLErrorTimedOut, view->request_.URL()));
        });
}

void UIWebView::finish(const NSErrorPtr& error) {
    auto keep = self<UIWebView>();
    state_ = State::Idle;
    ++loadSerial_;
    if (!reportsLoad_) return;
    if (auto delegate = delegate_.lock()) {
        if (error) {
            delegate->didFailLoadWithError(*this, error);
        } else {
            delegate->webViewDidFinishLoad(*this);
        }
    }
    Value::Dictionary info{
        {UIWebViewLoadURLKey, Value(request_.URL() ? request_.URL()->absoluteString() : "")}};
    if (error) {
        info[UIWebViewLoadErrorKey] = Value(error->localizedDescription());
        info[UIWebViewLoadErrorCodeKey] = Value(int64_t(error->code()));
    }
    NSNotificationCenter::defaultCenter().post(UIWebViewLoadDidEndNotification, keep, std::move(info));
}

// ---- Scripts

UIWebView::ScriptResult UIWebView::run(const std::string& script, bool deviceWorld) {
    if (!native_->page) return {"", engineError()};
    auto result = native_->page->evaluate(script, deviceWorld);
    return {std::move(result.value), std::move(result.exception)};
}

UIWebView::ScriptResult UIWebView::evaluateJavaScript(const std::string& script) {
    UIAssertMainThread();
    ScriptResult result = run(script, false);
    // The bridge calls the script made are on the main queue once the page's count of them has arrived.
    if (native_->page && !bridge_.expired()) native_->page->awaitBridgeCalls();
    return result;
}

std::string UIWebView::stringByEvaluatingJavaScriptFromString(const std::string& script) {
    return evaluateJavaScript(script).value;
}

std::string UIWebView::pageTitle() {
    UIAssertMainThread();
    return run("document.title", true).value;
}

namespace {

// Visible text, links, buttons and fields in document order, as [kind, text, href] rows.
constexpr const char* kReadPage = R"JS((() => {
  const squash = (s) => (s || '').replace(/\s+/g, ' ').trim();
  const visible = (e) => !!(e.offsetWidth || e.offsetHeight || e.getClientRects().length) &&
      getComputedStyle(e).visibility !== 'hidden';
  const rows = [];
  const walk = (node) => {
    for (const child of node.childNodes) {
      if (child.nodeType === Node.TEXT_NODE) {
        const t = squash(child.textContent);
        if (t && child.parentElement && visible(child.parentElement)) rows.push(['text', t, '']);
        continue;
      }
      if (child.nodeType !== Node.ELEMENT_NODE || !visible(child)) continue;
      const tag = child.tagName;
      if (tag === 'SCRIPT' || tag === 'STYLE' || tag === 'TEMPLATE') continue;
      if (tag === 'A' && child.hasAttribute('href')) { rows.push(['link', squash(child.innerText), child.href]); continue; }
      if (tag === 'BUTTON' || child.getAttribute('role') === 'button' ||
          (tag === 'INPUT' && ['button', 'submit', 'reset'].includes(child.type))) {
        rows.push(['button', squash(child.innerText || child.value), '']); continue;
      }
      if (tag === 'INPUT' || tag === 'TEXTAREA' || tag === 'SELECT') {
        rows.push(['field', squash(child.value || child.placeholder), '']); continue;
      }
      walk(child);
    }
  };
  if (document.body) walk(document.body);
  return JSON.stringify(rows);
})())JS";

// Whether an element takes typing: a text-like input or a text area that can be edited.
constexpr const char* kIsTextField = R"JS((e) => !!e && !e.disabled && !e.readOnly &&
    (e.tagName === 'TEXTAREA' || (e.tagName === 'INPUT' &&
     ['text', 'search', 'url', 'tel', 'email', 'password', 'number'].includes(e.type))))JS";

// Taps the first visible element of `selector` that `match(element)` accepts: "field" when a field that
// takes typing has the focus afterwards, "tapped" otherwise, "none" when nothing matched.
std::string clickScript(const std::string& selector, const std::string& match) {
    return R"JS((() => {
  const squash = (s) => (s || '').replace(/\s+/g, ' ').trim();
  const visible = (e) => !!(e.offsetWidth || e.offsetHeight || e.getClientRects().length);
  const isField = )JS" +
           std::string(kIsTextField) + R"JS(;
  const match = )JS" +
           match + R"JS(;
  for (const pass of [0, 1]) {
    for (const e of document.querySelectorAll()JS" +
           quoted(selector) + R"JS()) {
      if (!visible(e) || !match(e, pass)) continue;
      // As a finger's tap: what can take the focus takes it, anything else takes it from where it was.
      const before = document.activeElement;
      if (e.focus) e.focus();
      if (document.activeElement === before && before !== e && before && before.blur) before.blur();
      if (isField(e) && document.activeElement === e) {
        const end = e.value.length;
        try { e.setSelectionRange(end, end); } catch (_) {}
      }
      e.click();
      return isField(document.activeElement) ? 'field' : 'tapped';
    }
  }
  return 'none';
})())JS";
}

}  // namespace

std::vector<UIWebPageElement> UIWebView::readPage(const std::string& script) {
    std::vector<UIWebPageElement> elements;
    auto json = run(script, true);
    auto rows = NSJSONSerialization::JSONObjectWithData(Data::fromString(json.value), 0, nullptr);
    const Value::Array* array = rows ? rows->asArray() : nullptr;
    if (!array) return elements;
    for (auto& row : *array) {
        const Value::Array* cells = row.asArray();
        if (!cells || cells->size() != 3) continue;
        const std::string kind = (*cells)[0].stringValue();
        UIWebPageElement element;
        element.kind = kind == "link"     ? UIWebPageElement::Kind::Link
                       : kind == "button" ? UIWebPageElement::Kind::Button
                       : kind == "field"  ? UIWebPageElement::Kind::Field
                                          : UIWebPageElement::Kind::Text;
        element.text = (*cells)[1].stringValue();
        element.href = (*cells)[2].stringValue();
        elements.push_back(std::move(element));
    }
    return elements;
}

std::vector<UIWebPageElement> UIWebView::pageElements() {
    UIAssertMainThread();
    return readPage(kReadPage);
}

std::vector<std::pair<std::string, std::string>> UIWebView::links() {
    UIAssertMainThread();
    std::vector<std::pair<std::string, std::string>> links;
    for (auto& e :
         readPage("JSON.stringify(Array.from(document.querySelectorAll('a[href]')).map(a => ['link',"
                  " (a.innerText || a.textContent || '').replace(/\\s+/g, ' ').trim(),"
                  " a.getAttribute('href')]))")) {
        links.emplace_back(e.text, e.href);
    }
    return links;
}

bool UIWebView::activateLink(const std::string& textOrHref) {
    UIAssertMainThread();
    const std::string wanted = quoted(textOrHref);
    // By text first, then by the address as written; hidden links count, as the page lists them.
    return run("(() => { const all = Array.from(document.querySelectorAll('a[href]'));"
               " const squash = (s) => (s || '').replace(/\\s+/g, ' ').trim();"
               " const a = all.find(a => squash(a.innerText || a.textContent) === " +
                   wanted +
                   ") ||"
                   " all.find(a => a.getAttribute('href') === " +
                   wanted +
                   ");"
                   " if (!a) return false; a.click(); return true; })()",
               true)
               .value == "true";
}

bool UIWebView::tapElement(const std::string& text) {
    UIAssertMainThread();
    // Exact text on links, buttons and fields first, then on anything that answers clicks.
    const std::string match =
        "(e, pass) => squash(isField(e) ? (e.value || e.placeholder) : (e.innerText || e.value)) === " +
        quoted(text) + " && (pass === 1 || e.matches('a[href], button, input, textarea, [role=button]'))";
    const std::string tapped =
        run(clickScript("a[href], button, input, textarea, [role=button], [onclick]", match), true).value;
    if (tapped == "field") {
        becomeFirstResponder();
    } else if (tapped == "tapped" && isFirstResponder()) {
        resignFirstResponder();
    }
    return tapped == "field" || tapped == "tapped";
}

bool UIWebView::writeSnapshot(const std::string& path, std::string* error) {
    UIAssertMainThread();
    if (!native_->page) {
        if (error) *error = engineError();
        return false;
    }
    return native_->page->snapshot(path, error);
}

// ---- The bridge

void UIWebView::setBridge(const std::string& name, std::weak_ptr<JSBridge> bridge) {
    UIAssertMainThread();
    bridgeName_ = name;
    bridge_ = bridge;
    auto* engine = native_->page ? WebEngineHost::load() : nullptr;
    if (!engine) return;
    const uint64_t page = native_->page->pageId();
    auto strong = bridge.lock();
    if (!strong) {
        engine->removePageBridge(page);
        return;
    }
    engine->setMirror(engineMirror(strong->mirror()));
    engine->setPageBridge(page, name, strong->bridgeMethods());
}

void UIWebView::updateBridgeMirror(const JSBridge& bridge) {
    UIAssertMainThread();
    if (auto* engine = WebEngineHost::load()) engine->setMirror(engineMirror(bridge.mirror()));
}

void UIWebView::evaluateInDocument(uint64_t document, const std::string& script) {
    UIAssertMainThread();
    if (!native_->page || document == 0 || document != document_) {
        NSLog("Web view: an answer for a page that is gone was dropped");
        return;
    }
    native_->page->evaluateInDocument(document, script);
}

void UIWebView::terminateWebProcessForTesting() {
    if (native_->page) native_->page->terminateWebProcess();
}

std::string UIWebView::dumpDetails() const {
    std::string details;
    const std::string title = native_ && native_->page ? native_->page->title() : "";
    if (!title.empty()) details += " title=" + UIDumpQuoted(title);
    const std::string url = request_.URL() ? request_.URL()->absoluteString() : "";
    if (!url.empty()) details += " url=" + UIDumpQuoted(url);
    if (state_ == State::Loading) details += " loading";
    return details;
}

// ---- The keyboard

bool UIWebView::hasFocusedField() {
    UIAssertMainThread();
    return run("(" + std::string(kIsTextField) + ")(document.activeElement)", true).value == "true";
}

bool UIWebView::canBecomeFirstResponder() const {
    return native_ && native_->page && window();
}

void UIWebView::didBecomeFirstResponder() {
    UIKeyboard::show(UIKeyboardType::Default);
}

void UIWebView::didResignFirstResponder() {
    UIKeyboard::willHide();
    UIKeyboard::didHide();
}

void UIWebView::insertText(const std::string& text) {
    UIAssertMainThread();
    if (!native_->page || text.empty()) return;
    if (text == "\n") return native_->page->pressReturn();
    native_->page->insertText(text);
}

void UIWebView::deleteBackward() {
    UIAssertMainThread();
    if (native_->page) native_->page->deleteBackward();
}

void UIWebView::paste() {
    UIAssertMainThread();
    auto text = UIPasteboard::generalPasteboard().string();
    if (native_->page && text && !text->empty()) native_->page->insertText(*text);
}
