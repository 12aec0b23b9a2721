// The web screens: the main screen, the screen for any address, and their navigation controller.
#include "app/screens/BaseNavViewController.h"
#include "app/screens/MainViewController.h"
#include "app/screens/UrlMainViewController.h"
#include "app/tools/AppConfig.h"
#include "app/tools/AppScreens.h"
#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/NSURL.h"
#include "platform/graphics/UIImage.h"

namespace {

constexpr double kBackTintRed = 0.2;
constexpr double kBackTintGreen = 0.8;
constexpr double kBackTintBlue = 0.8;

// A web view filling the screen's view, with the screen as its delegate.
UIWebViewPtr addFullScreenWebView(BaseViewController& screen,
                                  const std::weak_ptr<UIWebViewDelegate>& delegate) {
    auto webView = UIWebView::create();
    webView->setDelegate(delegate);
    screen.view()->addSubview(webView);
    lay_makeConstraints(webView, [&](LAYConstraintMaker& make) { make.edges().equalTo(screen.view()); });
    return webView;
}

}  // namespace

std::shared_ptr<MainViewController> MainViewController::create() {
    return std::shared_ptr<MainViewController>(new MainViewController());
}

void MainViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    setIsHideNav(true);
    auto webView = addFullScreenWebView(*this, self<MainViewController>());
    setWebView(webView);
    webView->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(AppConfig::startPageURL())));
}

std::shared_ptr<UrlMainViewController> UrlMainViewController::create() {
    return std::shared_ptr<UrlMainViewController>(new UrlMainViewController());
}

void UrlMainViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    auto webView = addFullScreenWebView(*this, self<UrlMainViewController>());
    if (auto url = NSURL::URLWithString(urlString_)) {
        webView->loadRequest(NSURLRequest::requestWithURL(url));
    } else {
        NSLog("UrlMainViewController: \"" + urlString_ + "\" is not a URL; nothing loaded");
    }
    setWebView(webView);
}

std::shared_ptr<BaseNavViewController> BaseNavViewController::create() {
    return std::shared_ptr<BaseNavViewController>(new BaseNavViewController());
}

std::shared_ptr<BaseNavViewController> BaseNavViewController::initWithRootViewController(
    const UIViewControllerPtr& root) {
    auto navigation = create();
    if (root) navigation->setViewControllers({root}, Animated::No);
    return navigation;
}

void BaseNavViewController::pushViewController(const UIViewControllerPtr& controller, Animated animated) {
    if (controller && !viewControllers().empty()) {
        controller->setHidesBottomBarWhenPushed(true);
        std::weak_ptr<UIViewController> weakScreen = controller;
        std::weak_ptr<BaseNavViewController> weakSelf = self<BaseNavViewController>();
        auto back = UIBarButtonItem::createWithImage(
            UIImage::imageNamed(kBaseNavBackImageName), UIBarButtonItemStyle::Done, [weakScreen, weakSelf] {
                auto screen = weakScreen.lock();
                if (auto web = std::dynamic_pointer_cast<BaseViewController>(screen)) {
                    web->pop();
                } else if (auto navigation = weakSelf.lock(); navigation && screen) {
                    // A screen without the bridge just goes back.
                    if (navigation->topViewController() == screen)
                        navigation->popViewControllerAnimated(Animated::Yes);
                }
            });
        back->setTintColor(UIColor::colorWithRed(kBackTintRed, kBackTintGreen, kBackTintBlue, 1.0));
        controller->navigationItem()->setLeftBarButtonItem(back);
    }
    UINavigationController::pushViewController(controller, animated);
}

void installWebScreens() {
    AppScreens::registerMaker(AppScreens::Screen::MainNavigation, [] {
        return BaseNavViewController::initWithRootViewController(MainViewController::create());
    });
}
