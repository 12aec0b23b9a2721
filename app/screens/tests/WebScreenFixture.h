// The screens on the stand-in back end: a loopback DevServer on a free port, one sandbox for the run, a
// fresh HUD and the manual clock. Pages load over real loopback HTTP, so every wait for a page is bounded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/hud/THProgressHUD.h"
#include "app/screens/BaseNavViewController.h"
#include "app/screens/MainViewController.h"
#include "app/screens/UrlMainViewController.h"
#include "app/tools/AppConfig.h"
#include "app/tools/AppScreens.h"
#include "devserver/DevServer.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/UIDialogs.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "testsupport/TempDir.h"

// One sandbox for the whole run (the push client's log files live there too); each test clears the store.
class AppSandbox : public ::testing::Environment {
  public:
    void SetUp() override {
        home_ = std::make_unique<TempDir>();
        Sandbox::setHome(home_->path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        Sandbox::resetHome();
        home_.reset();
    }
    static void clearDefaults() {
        auto defaults = NSUserDefaults::standardUserDefaults();
        for (auto& entry : defaults->dictionaryRepresentation()) defaults->removeObjectForKey(entry.first);
    }

  private:
    std::unique_ptr<TempDir> home_;
};

inline std::unique_ptr<DevServer> startDevServer() {
    auto server =
        std::make_unique<DevServer>(DevServer::Config{QUORVANE_DEVSERVER_PAGES, [](const std::string&) {}});
    std::string error;
    EXPECT_TRUE(server->start("127.0.0.1", 0, &error)) << error;
    return server;
}

class WebScreenTest : public UITest {
  public:                                    // the helpers are also used by the rows of test tables
    static constexpr double kPageWait = 20;  // seconds of real time for a loopback page

    WebScreenTest() {
        AppSandbox::clearDefaults();
        THProgressHUD::resetForTesting();
        server_ = startDevServer();
        AppConfig::setBaseURL(server_->url());
        installWebScreens();
        resetMakers();
    }
    ~WebScreenTest() override {
        UIDialogs::dismissAllForTesting();
        window_.reset();
        navigation_.reset();
        clock_.advance(1000);
        NSRunLoop::main().runUntilIdle();
        THProgressHUD::resetForTesting();
        AppConfig::resetBaseURL();
        resetMakers();
    }
    // The screens a test opens but does not look into are the placeholders, whatever else registered.
    static void resetMakers() {
        for (auto screen :
             {AppScreens::Screen::NewFeature, AppScreens::Screen::Login, AppScreens::Screen::Setting})
            AppScreens::registerMaker(screen, nullptr);
    }

    // `root` on a key window.
    void show(const UIViewControllerPtr& root) {
        window_ = UIWindow::create(UIScreen::mainScreen().bounds());
        window_->setRootViewController(root);
        window_->makeKeyAndVisible();
    }
    // The main screen in its navigation controller, with its start page loaded.
    void showMainScreen() {
        navigation_ = std::dynamic_pointer_cast<BaseNavViewController>(AppScreens::makeMainNavigation());
        ASSERT_TRUE(navigation_);
        show(navigation_);
        ASSERT_TRUE(waitForPage(top()));
    }
    BaseViewControllerPtr top() const {
        return std::dynamic_pointer_cast<BaseViewController>(navigation_->topViewController());
    }
    bool until(const std::function<bool()>& done, double seconds = kPageWait) {
        return NSRunLoop::main().runUntil(done, seconds);
    }
    // Waits until the screen's page has loaded and has the bridge.
    bool waitForPage(const BaseViewControllerPtr& screen) {
        return screen && until([&] {
                   auto web = screen->webView();
                   return web && !web->isLoading() && web->documentURL().rfind("http", 0) == 0 &&
                          web->stringByEvaluatingJavaScriptFromString("typeof app") == "object";
               });
    }
    // Runs a script in the top screen's page, then lets the main queue and the push/pop animations finish.
    std::string run(const std::string& script) {
        std::string result = top()->webView()->stringByEvaluatingJavaScriptFromString(script);
        settle();
        return result;
    }
    void settle() {
        turn();
        advance(1);
        turn();
    }
    std::string pageURL(const std::string& page) const { return server_->url("/vqd_web/" + page); }
    static std::optional<std::string> storedString(const std::string& key) {
        auto value = NSUserDefaults::standardUserDefaults()->objectForKey(key);
        if (!value || !value->isString()) return std::nullopt;
        return *value->asString();
    }

    std::unique_ptr<DevServer> server_;
    UIWindowPtr window_;
    std::shared_ptr<BaseNavViewController> navigation_;
};
