#include "platform/webkit/UIWebView.h"

#include <algorithm>
#include <cctype>

#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/net/URLSession.h"
#include "platform/webkit/HTMLDocument.h"

namespace {

constexpr const char* kContextKeyPath = "documentView.webView.mainFrame.javaScriptContext";

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool isBlankPage(const NSURLPtr& url) {
    return url && lowercase(url->absoluteString()) == "about:blank";
}

bool canLoad(const NSURLPtr& url) {
    if (!url) return false;
    std::string scheme = lowercase(url->scheme());
    return ((scheme == "http" || scheme == "https") && !url->host().empty()) || isBlankPage(url);
}

// Fetches through one URL session shared by every web view; completions run on the main queue.
class SessionLoader final : public UIWebViewLoader {
  public:
    std::function<void()> load(const NSURLRequest& request, Completion completion) override {
        auto task = session()->dataTaskWithRequest(
            request, [completion = std::move(completion)](std::optional<Data> data, NSURLResponsePtr response,
                                                          NSErrorPtr error) {
                completion(std::move(data), std::move(response), std::move(error));
            });
        if (!task) return [] {};
        task->resume();
        std::weak_ptr<NSURLSessionDataTask> weak = task;
        return [weak] {
            if (auto t = weak.lock()) t->cancel();
        };
    }

  private:
    static const std::shared_ptr<NSURLSession>& session() {
        static auto* session = new std::shared_ptr<NSURLSession>(
            NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration(),
                                                   nullptr, NSOperationQueue::mainQueue()));
        return *session;
    }
};

}  // namespace

std::shared_ptr<UIWebViewLoader> UIWebViewLoader::sessionLoader() {
    static auto* loader = new std::shared_ptr<UIWebViewLoader>(std::make_shared<SessionLoader>());
    return *loader;
}

// The view as its pages' contexts see it.
struct UIWebView::Host final : JSContextHost {
    std::weak_ptr<UIWebView> view;
    void scriptRequestedNavigation(const std::string& url, bool reload) override {
        auto v = view.lock();
        if (!v) return;
        if (reload) {
            v->reload();
        } else {
            v->navigate(NSURLRequest(NSURL::URLWithString(url)), UIWebViewNavigationType::Other);
        }
    }
    void scriptChangedTitle(const std::string& title) override {
        if (auto v = view.lock()) v->title_ = title;
    }
};

// A page between its arrival and the end of its scripts.
struct UIWebView::Page {
    std::vector<HTMLScript> scripts;
    size_t next = 0;
};

UIWebView::UIWebView(CGRect frame) : UIView(frame) {}

std::shared_ptr<UIWebView> UIWebView::create(CGRect frame) {
    UIAssertMainThread();
    auto view = std::shared_ptr<UIWebView>(new UIWebView(frame));
    view->loader_ = UIWebViewLoader::sessionLoader();
    view->host_ = std::make_shared<Host>();
    view->host_->view = view;
    view->scrollView_ = UIScrollView::create(CGRect{CGPointZero, frame.size});
    view->addSubview(view->scrollView_);
    return view;
}

UIWebView::~UIWebView() {
    cancelFetch();
}

void UIWebView::setFrame(CGRect frame) {
    UIView::setFrame(frame);
    if (scrollView_) scrollView_->setFrame(CGRect{CGPointZero, frame.size});
}

void UIWebView::loadRequest(const NSURLRequest& request) {
    navigate(request, UIWebViewNavigationType::Other);
}

void UIWebView::loadData(const Data& data, const std::string& MIMEType, const std::string& textEncodingName,
                         const std::shared_ptr<NSURL>& baseURL) {
    UIAssertMainThread();
    auto keep = self<UIWebView>();
    ++decisionSerial_;  // a navigation still waiting for its decision is dropped
    if (state_ == State::Loading) {
        cancelFetch();
        finish(NSURLError(NSURLErrorCancelled, request_.URL()));
    }
    auto url = baseURL ? baseURL : NSURL::URLWithString("about:blank");
    const std::string type = lowercase(MIMEType);
    const bool html = type.empty() || type == "text/html" || type == "application/xhtml+xml";
    request_ = NSURLRequest(url);
    state_ = State::Loading;
    reportsLoad_ = false;
    ++loadSerial_;
    auto response = NSURLResponse::create(
        url, MIMEType.empty() ? std::nullopt : std::optional<std::string>(MIMEType), int64_t(data.length()),
        textEncodingName.empty() ? std::nullopt : std::optional<std::string>(textEncodingName));
    pageArrived(html ? data : Data(), response, nullptr);
}

void UIWebView::reload() {
    if (!request_.URL()) return;
    navigate(request_, UIWebViewNavigationType::Reload);
}

void UIWebView::stopLoading() {
    UIAssertMainThread();
    ++decisionSerial_;
    if (state_ != State::Loading) return;
    cancelFetch();
    finish(NSURLError(NSURLErrorCancelled, request_.URL()));
}

void UIWebView::navigate(NSURLRequest request, UIWebViewNavigationType type) {
    UIAssertMainThread();
    uint64_t serial = ++decisionSerial_;
    std::weak_ptr<UIWebView> weak = self<UIWebView>();
    DispatchQueue::main()->async([weak, serial, request = std::move(request), type] {
        if (auto view = weak.lock()) view->decide(serial, request, type);
    });
}

void UIWebView::decide(uint64_t serial, const NSURLRequest& request, UIWebViewNavigationType type) {
    if (serial != decisionSerial_) return;  // superseded or stopped
    auto keep = self<UIWebView>();
    if (auto delegate = delegate_.lock()) {
        if (!delegate->shouldStartLoadWithRequest(*this, request, type)) return;
        if (serial != decisionSerial_) return;
    }
    if (!canLoad(request.URL())) {
        if (auto delegate = delegate_.lock()) {
            delegate->didFailLoadWithError(*this, NSURLError(NSURLErrorUnsupportedURL, request.URL()));
        }
        return;
    }
    if (state_ == State::Loading) {
        cancelFetch();
        finish(NSURLError(NSURLErrorCancelled, request_.URL()));
        if (serial != decisionSerial_) return;
    }
    startLoad(request);
}

void UIWebView::startLoad(const NSURLRequest& request) {
    request_ = request;
    state_ = State::Loading;
    reportsLoad_ = true;
    uint64_t serial = ++loadSerial_;
    if (auto delegate = delegate_.lock()) {
        delegate->webViewDidStartLoad(*this);
        if (serial != loadSerial_ || state_ != State::Loading) return;  // stopped from the callback
    }
    std::weak_ptr<UIWebView> weak = self<UIWebView>();
    auto arrived = [weak, serial](std::optional<Data> data, NSURLResponsePtr response, NSErrorPtr error) {
        auto view = weak.lock();
        if (!view || serial != view->loadSerial_) return;
        view->cancel_ = nullptr;
        view->pageArrived(std::move(data), response, error);
    };
    if (isBlankPage(request.URL())) {
        DispatchQueue::main()->async([arrived] { arrived(Data(), nullptr, nullptr); });
        return;
    }
    cancel_ = loader_->load(request, std::move(arrived));
}

void UIWebView::pageArrived(std::optional<Data> data, const NSURLResponsePtr& response,
                            const NSErrorPtr& error) {
    if (error || !data) {
        finish(error ? error : NSURLError(NSURLErrorBadServerResponse, request_.URL()));
        return;
    }
    if (response && response->URL()) request_.setURL(response->URL());
    pageURL_ = request_.URL() ? request_.URL()->absoluteString() : "about:blank";
    auto document = HTMLDocument::parse(
        *data, response && response->textEncodingName() ? *response->textEncodingName() : std::string());
    title_ = document.title;
    links_.clear();
    for (auto& link : document.links) links_.emplace_back(link.text, link.href);
    context_ = makeContext(pageURL_, title_);
    page_ = std::make_unique<Page>();
    page_->scripts = std::move(document.scripts);
    runScripts();
}

void UIWebView::runScripts() {
    auto keep = self<UIWebView>();
    uint64_t serial = loadSerial_;
    while (page_ && serial == loadSerial_ && page_->next < page_->scripts.size()) {
        const HTMLScript script = page_->scripts[page_->next++];
        if (!script.src) {
            // Keep the context alive for the script even if a callback replaces it.
            auto context = context_;
            context->evaluateScript(script.text, pageURL_);
            continue;
        }
        auto base = NSURL::URLWithString(pageURL_);
        auto url = base ? NSURL::URLWithString(*script.src, base) : NSURL::URLWithString(*script.src);
        if (!url || !canLoad(url) || isBlankPage(url)) {
            NSLog("Web view: skipped the script \"" + *script.src + "\": it cannot be loaded");
            continue;
        }
        std::weak_ptr<UIWebView> weak = keep;
        cancel_ = loader_->load(
            NSURLRequest(url),
            [weak, serial, url](std::optional<Data> data, NSURLResponsePtr response, NSErrorPtr error) {
                auto view = weak.lock();
                if (!view || serial != view->loadSerial_) return;
                view->cancel_ = nullptr;
                auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
                if (error || !data || (http && http->statusCode() >= 400)) {
                    NSLog("Web view: skipped the script " + url->absoluteString() + ": " +
                          (error  ? error->localizedDescription()
                           : http ? "status " + std::to_string(http->statusCode())
                                  : std::string("no data")));
                } else {
                    auto context = view->context_;
                    context->evaluateScript(data->toString(), url->absoluteString());
                }
                view->runScripts();
            });
        return;  // the rest run once this one has arrived
    }
    if (page_ && serial == loadSerial_) finish(nullptr);
}

void UIWebView::finish(const NSErrorPtr& error) {
    auto keep = self<UIWebView>();
    state_ = State::Idle;
    page_.reset();
    cancel_ = nullptr;
    ++loadSerial_;
    auto delegate = delegate_.lock();
    if (!delegate || !reportsLoad_) return;
    if (error) {
        delegate->didFailLoadWithError(*this, error);
    } else {
        delegate->webViewDidFinishLoad(*this);
    }
}

void UIWebView::cancelFetch() {
    ++loadSerial_;
    if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
}

JSContextPtr UIWebView::makeContext(const std::string& pageURL, const std::string& title) {
    auto context = JSContext::create(pageURL, title, host_);
    context->setExecutionTimeLimit(scriptTimeLimit_);
    return context;
}

JSContextPtr UIWebView::javaScriptContext() {
    UIAssertMainThread();
    if (!context_) context_ = makeContext("about:blank", "");
    return context_;
}

std::string UIWebView::stringByEvaluatingJavaScriptFromString(const std::string& script) {
    auto context = javaScriptContext();
    JSValue result = context->evaluateScript(script);
    if (result.isString() || result.isNumber() || result.isBoolean()) return result.toString();
    return "";
}

Value UIWebView::valueForKeyPath(const std::string& keyPath) {
    if (keyPath != kContextKeyPath) return Value();
    return Value(javaScriptContext());
}

std::vector<std::pair<std::string, std::string>> UIWebView::links() const {
    return links_;
}

bool UIWebView::activateLink(const std::string& textOrHref) {
    UIAssertMainThread();
    auto found = std::find_if(links_.begin(), links_.end(), [&](auto& l) { return l.first == textOrHref; });
    if (found == links_.end()) {
        found = std::find_if(links_.begin(), links_.end(), [&](auto& l) { return l.second == textOrHref; });
    }
    if (found == links_.end()) return false;
    const std::string href = found->second;
    if (lowercase(href.substr(0, 11)) == "javascript:") {
        auto script = NSURL::percentDecode(href.substr(11));
        if (script) javaScriptContext()->evaluateScript(*script, pageURL_);
        return true;
    }
    auto base = NSURL::URLWithString(pageURL_);
    auto url = base ? NSURL::URLWithString(href, base) : NSURL::URLWithString(href);
    if (!url) {
        NSLog("Web view: the link \"" + href + "\" is not a URL");
        return false;
    }
    navigate(NSURLRequest(url), UIWebViewNavigationType::LinkClicked);
    return true;
}

void UIWebView::setScriptTimeLimit(double seconds) {
    scriptTimeLimit_ = seconds;
    if (context_) context_->setExecutionTimeLimit(seconds);
}

std::string UIWebView::dumpDetails() const {
    std::string details;
    if (!title_.empty()) details += " title=" + UIDumpQuoted(title_);
    if (!pageURL_.empty()) details += " url=" + UIDumpQuoted(pageURL_);
    if (state_ == State::Loading) details += " loading";
    return details;
}
