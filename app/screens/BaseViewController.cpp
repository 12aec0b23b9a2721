#include "app/screens/BaseViewController.h"

#include <strings.h>

#include "app/hud/THProgressHUD.h"
#include "app/screens/UrlMainViewController.h"
#include "app/tools/AppConfig.h"
#include "app/tools/AppScreens.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/UIFont.h"
#include "platform/uikit/UINavigationController.h"
#include "refresh/PRRefreshHeader.h"

namespace {

constexpr const char* kDisableUserSelect = "document.documentElement.style.webkitUserSelect='none';";
constexpr const char* kDisableTouchCallout = "document.documentElement.style.webkitTouchCallout='none';";
constexpr const char* kInterceptedScheme = "sarnquil://";
constexpr const char* kAppScheme = "quorvane://";
constexpr double kTitleGrey = 54.0 / 255.0;
constexpr CGFloat kTitleFontSize = 17;
// In "mode=X", the first query item, X stands at this index.
constexpr size_t kModeIndex = 5;

bool hasPrefix(const std::string& text, std::string_view prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// The mode a "quorvane://" link asks for: the character at index 5 of its first query item when the query
// mentions "mode" at all; nothing when the first item is too short to have one.
std::optional<char> modeOf(const std::string& link) {
    auto url = NSURL::URLWithString(link);
    if (!url || !url->query() || url->query()->find("mode") == std::string::npos) return std::nullopt;
    const std::string first = split(*url->query(), '&').front();
    if (first.size() <= kModeIndex) return std::nullopt;
    return first[kModeIndex];
}

std::optional<std::string> titleOrNothing(const AppJSExport::Text& text) {
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

// A dialog always has a way out: with no button named, it gets the one button "确定".
constexpr const char* kOnlyButtonTitle = "确定";

}  // namespace

std::shared_ptr<BaseViewController> BaseViewController::create() {
    return std::shared_ptr<BaseViewController>(new BaseViewController());
}

BaseViewController::~BaseViewController() {
    if (webView_) {
        webView_->setDelegate({});
        webView_->stopLoading();
    }
    // The view no longer tells us how its loads end: take back what we still hold on the HUD.
    if (loadsOnHUD_ > 0) {
        auto hud = THProgressHUD::shareInstancetype();
        for (; loadsOnHUD_ > 0; --loadsOnHUD_) hud->dismissLoadingView();
    }
}

void BaseViewController::viewDidLoad() {
    UIViewController::viewDidLoad();
    setAutomaticallyAdjustsScrollViewInsets(false);
    setEdgesForExtendedLayout(UIRectEdgeNone);
    view()->setBackgroundColor(UIColor::whiteColor());
    if (auto navigation = navigationController()) {
        navigation->navigationBar()->setTitleTextAttributes({
            {NSForegroundColorAttributeName,
             Value(UIColor::colorWithRed(kTitleGrey, kTitleGrey, kTitleGrey, 1))},
            {NSFontAttributeName, Value(UIFont::systemFontOfSize(kTitleFontSize))},
        });
    }
}

void BaseViewController::viewWillAppear(bool animated) {
    UIViewController::viewWillAppear(animated);
    if (auto navigation = navigationController())
        navigation->setNavigationBarHidden(isHideNav_, Animated::No);
}

void BaseViewController::setWebView(const UIWebViewPtr& webView) {
    webView_ = webView;
    if (!webView) return;
    webView->setBackgroundColor(UIColor::whiteColor());
    webView->setDelegate(self<BaseViewController>());
    webView->setBridge(kAppBridgeName, self<BaseViewController>());
    // A page can always be pulled down, however short it is, as on the phone.
    webView->scrollView()->setAlwaysBounceVertical(true);
    auto header = PRRefreshNormalHeader::headerWithRefreshingBlock(nullptr);
    std::weak_ptr<UIWebView> weakWebView = webView;
    std::weak_ptr<PRRefreshHeader> weakHeader = header;
    // The pull only starts a reload; the header closes without waiting for the page.
    header->setRefreshingBlock([weakWebView, weakHeader] {
        if (auto view = weakWebView.lock()) view->reload();
        if (auto pulled = weakHeader.lock()) pulled->endRefreshing();
    });
    pr_setHeader(webView->scrollView(), header);
}

void BaseViewController::toExecuteJavaScript(const std::string& script, const UIWebViewPtr& webView) {
    if (webView) webView->stringByEvaluatingJavaScriptFromString(script);
}

void BaseViewController::onMainQueue(std::function<void(BaseViewController&)> work) {
    std::weak_ptr<BaseViewController> weak = self<BaseViewController>();
    DispatchQueue::main()->async([weak, work = std::move(work)] {
        if (auto screen = weak.lock()) work(*screen);
    });
}

bool BaseViewController::pageIsFromBackend() const {
    if (caller().document != 0) return caller().ofBridgeOrigin;
    return webView_ && webView_->documentIsOfBridgeOrigin();
}

JSBridge::Mirror BaseViewController::mirror() const {
    Mirror mirror{AppConfig::baseURL(), {}};
    auto defaults = NSUserDefaults::standardUserDefaults();
    Value::Dictionary stored;
    for (auto& [key, value] : defaults->dictionaryRepresentation())
        stored.emplace(key, Value(value.stringValue()));
    auto token = SaveService::objectForKey(kSaveServiceAccessTokenKey);
    mirror.values.emplace("getAccessToken", token && token->isString() ? *token : Value());
    mirror.values.emplace("getWebCash", Value(std::move(stored)));
    return mirror;
}

// ---- The bridge ----

void BaseViewController::push(const Text& title, const Text& url) {
    if (!url) return;
    if (hasPrefix(*url, "http://") || hasPrefix(*url, "https://")) {
        onMainQueue([title, url = *url](BaseViewController& screen) {
            auto next = UrlMainViewController::create();
            if (!title || title->empty()) {
                next->setIsHideNav(true);
            } else {
                next->setTitle(*title);
            }
            next->setUrlString(url);
            next->setDelegate(screen.self<BaseViewController>());
            if (auto navigation = screen.navigationController())
                navigation->pushViewController(next, Animated::Yes);
        });
        return;
    }
    if (!hasPrefix(*url, kAppScheme)) return;
    const auto mode = modeOf(*url);
    if (mode == '1') {
        toLogin();
    } else if (mode == '2') {
        onMainQueue([](BaseViewController& screen) {
            if (auto navigation = screen.navigationController()) {
                navigation->pushViewController(AppScreens::makeSettingViewController(), Animated::Yes);
            }
        });
    }
}

void BaseViewController::showAlertViewWithTitle(const Text& title, const Text& message,
                                                const Text& cancelTitle, const Text& sureTitle,
                                                const Text& callback) {
    const uint64_t document = caller().document;
    onMainQueue([=](BaseViewController& screen) {
        screen.alertCallback_ = callback;
        screen.alertDocument_ = document;
        std::vector<std::string> others;
        if (sureTitle) others.push_back(*sureTitle);
        auto cancel = titleOrNothing(cancelTitle);
        if (!cancel && others.empty()) cancel = kOnlyButtonTitle;
        auto alert = UIAlertView::create(title.value_or(""), message.value_or(""),
                                         screen.self<BaseViewController>(), cancel, others);
        alert->show();
    });
}

void BaseViewController::actionSheetWithTitle(const Text& title, const Text& cancelButtonTitle,
                                              const Text& destructiveButtonTitle,
                                              const Text& otherButtonTitle, const Text& callback) {
    const uint64_t document = caller().document;
    onMainQueue([=](BaseViewController& screen) {
        screen.actionSheetCallback_ = callback;
        screen.actionSheetDocument_ = document;
        std::vector<std::string> others;
        if (otherButtonTitle) others.push_back(*otherButtonTitle);
        auto cancel = titleOrNothing(cancelButtonTitle);
        if (!cancel && !destructiveButtonTitle && others.empty()) cancel = kOnlyButtonTitle;
        auto sheet = UIActionSheet::create(title.value_or(""), screen.self<BaseViewController>(), cancel,
                                           titleOrNothing(destructiveButtonTitle), others);
        sheet->showInView(screen.view());
    });
}

void BaseViewController::setWebCash(const Text& key, const Text& value) {
    if (!key) return;
    if (!pageIsFromBackend()) {
        NSLog("BaseViewController: setWebCash refused for a page outside the back end");
        return;
    }
    auto defaults = NSUserDefaults::standardUserDefaults();
    if (value) {
        defaults->setObject(Value(*value), *key);
    } else {
        defaults->removeObjectForKey(*key);
    }
    defaults->synchronize();
    UIWebView::updateBridgeMirror(*this);
}

std::string BaseViewController::getWebCash(const Text& key) {
    if (!key) return "";
    if (!pageIsFromBackend()) {
        NSLog("BaseViewController: getWebCash refused for a page outside the back end");
        return "";
    }
    auto value = NSUserDefaults::standardUserDefaults()->objectForKey(*key);
    return value ? value->stringValue() : "";
}

void BaseViewController::toLogin() {
    if (!pageIsFromBackend()) {
        NSLog("BaseViewController: toLogin refused for a page outside the back end");
        return;
    }
    signOut();
}

void BaseViewController::signOut() {
    onMainQueue([](BaseViewController& screen) {
        SaveService::setObject(Value(""), kSaveServiceAccessTokenKey);
        UIWebView::updateBridgeMirror(screen);
        if (auto navigation = screen.navigationController()) {
            navigation->pushViewController(AppScreens::makeLoginViewController(), Animated::Yes);
        }
    });
}

AppJSExport::Text BaseViewController::getAccessToken() {
    if (!pageIsFromBackend()) {
        NSLog("BaseViewController: getAccessToken refused for a page outside the back end");
        return std::nullopt;
    }
    auto token = SaveService::objectForKey(kSaveServiceAccessTokenKey);
    if (!token || !token->isString()) return std::nullopt;
    return *token->asString();
}

void BaseViewController::pop() {
    if (isRefresh_) {
        if (auto opener = delegate_.lock(); opener && opener->respondsToRefresh()) opener->refresh();
    }
    onMainQueue([](BaseViewController& screen) {
        if (auto navigation = screen.navigationController())
            navigation->popViewControllerAnimated(Animated::Yes);
    });
}

void BaseViewController::popToRoot() {
    if (isRefresh_) {
        if (auto opener = delegate_.lock(); opener && opener->respondsToRefresh()) opener->refresh();
    }
    onMainQueue([](BaseViewController& screen) {
        if (auto navigation = screen.navigationController()) {
            navigation->popToRootViewControllerAnimated(Animated::Yes);
        }
    });
}

void BaseViewController::showTip(const Text& text) {
    onMainQueue([text](BaseViewController&) {
        UIAlertView::create("提示", text.value_or(""), {}, std::string("确定"))->show();
    });
}

void BaseViewController::pushWithUrl(const Text& url) {
    // Only an address a web screen can load: a blank screen without a bar or a bridge is a dead end.
    auto address = url ? NSURL::URLWithString(*url) : nullptr;
    const std::string scheme = address ? address->scheme() : "";
    if (!address || address->host().empty() ||
        !(strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0)) {
        NSLog("BaseViewController: pushWithUrl refused \"" + url.value_or("") + "\": not an http(s) address");
        return;
    }
    onMainQueue([url](BaseViewController& screen) {
        auto next = UrlMainViewController::create();
        next->setUrlString(*url);
        next->setDelegate(screen.self<BaseViewController>());
        next->setIsHideNav(true);
        if (auto navigation = screen.navigationController())
            navigation->pushViewController(next, Animated::Yes);
    });
}

void BaseViewController::refresh() {
    if (webView_) webView_->reload();
}

void BaseViewController::stopSwipeRefresh() {
    if (webView_) webView_->scrollView()->setBounces(false);
}

// ---- Loading ----

bool BaseViewController::shouldStartLoadWithRequest(UIWebView& webView, const NSURLRequest& request,
                                                    UIWebViewNavigationType) {
    const std::string address = request.URL() ? request.URL()->absoluteString() : "";
    urlStr_ = request.URL() ? NSString::format("%@", {Value(request.URL())}) : "(null)";
    webView.stringByEvaluatingJavaScriptFromString(std::string(kDisableUserSelect) + kDisableTouchCallout);
    if (hasPrefix(address, kInterceptedScheme)) {
        if (request.URL()->host() != "login") return false;
        // Only the back end's own main-frame page signs the user out, with no other origin on the way.
        if (webView.navigationIsFromBridgeOrigin()) {
            signOut();
        } else {
            NSLog("BaseViewController: \"" + address + "\" refused: not started by the back end's page");
        }
        return false;
    }
    UIWebView::updateBridgeMirror(*this);
    return true;
}

void BaseViewController::webViewDidStartLoad(UIWebView&) {
    ++loadsOnHUD_;
    THProgressHUD::shareInstancetype()->showLoading();
}

void BaseViewController::webViewDidFinishLoad(UIWebView&) {
    if (loadsOnHUD_ > 0) {
        --loadsOnHUD_;
        THProgressHUD::shareInstancetype()->dismissLoadingView();
    }
}

void BaseViewController::didFailLoadWithError(UIWebView&, const NSErrorPtr& error) {
    NSLog(NSString::format("====%@", {Value(error)}));
    if (loadsOnHUD_ > 0) {
        --loadsOnHUD_;
        THProgressHUD::shareInstancetype()->dismissLoadingView();
    }
}

// ---- Dialogs ----

void BaseViewController::answerDialog(const Text& callback, uint64_t document, long index) {
    if (!callback || callback->empty() || !webView_) return;
    webView_->evaluateInDocument(document, AppDialogCallbackScript(*callback, index));
}

void BaseViewController::clickedButtonAtIndex(UIAlertView&, long buttonIndex) {
    answerDialog(alertCallback_, alertDocument_, buttonIndex);
}

void BaseViewController::clickedButtonAtIndex(UIActionSheet&, long buttonIndex) {
    answerDialog(actionSheetCallback_, actionSheetDocument_, buttonIndex);
}
