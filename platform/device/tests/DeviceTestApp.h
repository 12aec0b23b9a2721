// A small application for the device's tests: one window with a label, buttons, two fields (the first
// takes at most five characters), a vertical scroll view, a three-page pager and a platform alert, and an
// application delegate that records what reaches it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hud/THProgressHUD.h"
#include "platform/device/HeadlessDevice.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIDialogs.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UITextField.h"
#include "platform/uikit/UIWindow.h"
#include "testsupport/TempDir.h"

struct ScrollRecorder : UIScrollViewDelegate {
    std::vector<std::string> calls;
    void scrollViewWillBeginDragging(UIScrollView&) override { calls.push_back("willBeginDragging"); }
    void scrollViewDidEndDragging(UIScrollView&, bool) override { calls.push_back("didEndDragging"); }
    void scrollViewDidEndDecelerating(UIScrollView& s) override {
        calls.push_back("didEndDecelerating page " +
                        std::to_string(long(s.contentOffset().x / s.bounds().size.width)));
    }
};

class DeviceTestApp : public UIApplicationDelegate, public UIAlertViewDelegate, public UITextFieldDelegate {
  public:
    static std::shared_ptr<DeviceTestApp> create() {
        return std::shared_ptr<DeviceTestApp>(new DeviceTestApp());
    }

    bool didFinishLaunchingWithOptions(UIApplication& app, const Value&) override {
        window = UIWindow::create(UIScreen::mainScreen().bounds());
        window->setRootViewController(UIViewController::create());
        auto root = window->rootViewController()->view();
        label = UILabel::create(CGRectMake(10, 20, 200, 21));
        label->setText("Hello");
        root->addSubview(label);
        addButton(root, "Send", CGRectMake(10, 50, 100, 30),
                  [this] { label->setText("Sent " + std::to_string(++sends)); });
        addButton(root, "Alert", CGRectMake(220, 50, 90, 30), [this] {
            UIAlertView::create("Confirm", "Sure?", alertDelegate(), "Cancel", {"OK"})->show();
        });
        addButton(root, "Off", CGRectMake(220, 90, 90, 30), nullptr)->setEnabled(false);
        addButton(root, "Under", CGRectMake(220, 130, 90, 30), [this] { ++sends; });
        root->addSubview(UIView::create(CGRectMake(220, 130, 90, 30)));  // covers "Under"
        name = addField(root, "Name", CGRectMake(10, 90, 200, 30), false);
        addField(root, "Password", CGRectMake(10, 130, 200, 30), true);
        list = UIScrollView::create(CGRectMake(0, 170, 320, 100));
        list->setContentSize({320, 1000});
        list->setDelegate(listCalls);
        root->addSubview(list);
        pager = UIScrollView::create(CGRectMake(0, 280, 320, 100));
        pager->setContentSize({960, 100});
        pager->setPagingEnabled(true);
        pager->setDelegate(pagerCalls);
        root->addSubview(pager);
        window->makeKeyAndVisible();
        app.registerForRemoteNotifications();
        return true;
    }
    void applicationWillResignActive(UIApplication&) override { calls.push_back("willResignActive"); }
    void applicationDidEnterBackground(UIApplication&) override { calls.push_back("didEnterBackground"); }
    void applicationDidBecomeActive(UIApplication&) override { calls.push_back("didBecomeActive"); }
    void didRegisterForRemoteNotificationsWithDeviceToken(UIApplication&, const Data& token) override {
        tokens.push_back(token);
    }
    void didFailToRegisterForRemoteNotificationsWithError(UIApplication&, const NSErrorPtr& error) override {
        calls.push_back("registration failed: " + error->localizedDescription());
    }
    void didReceiveRemoteNotification(UIApplication&, const Value& payload) override {
        pushes.push_back(payload);
    }
    void clickedButtonAtIndex(UIAlertView&, long index) override {
        calls.push_back("alert " + std::to_string(index));
    }
    bool shouldChangeCharactersInRange(UITextField& field, NSRange range, const std::string& text) override {
        auto next = TextUtil::replacing(field.text(), range, text);
        return next && TextUtil::utf16Length(*next) <= 5;
    }

    UIWindowPtr window;
    UILabelPtr label;
    UITextFieldPtr name;
    UIScrollViewPtr list, pager;
    std::shared_ptr<ScrollRecorder> listCalls = std::make_shared<ScrollRecorder>();
    std::shared_ptr<ScrollRecorder> pagerCalls = std::make_shared<ScrollRecorder>();
    int sends = 0;
    std::vector<std::string> calls;
    std::vector<Data> tokens;
    std::vector<Value> pushes;

  private:
    DeviceTestApp() = default;
    UIButtonPtr addButton(const UIViewPtr& root, const std::string& title, CGRect frame,
                          std::function<void()> action) {
        auto button = UIButton::buttonWithType(UIButtonType::System);
        button->setTitle(title, UIControlStateNormal);
        button->setFrame(frame);
        if (action) button->addAction([action](UIControl&) { action(); }, UIControlEventTouchUpInside);
        root->addSubview(button);
        return button;
    }
    UITextFieldPtr addField(const UIViewPtr& root, const std::string& placeholder, CGRect frame,
                            bool secure) {
        auto field = UITextField::create(frame);
        field->setPlaceholder(placeholder);
        field->setSecureTextEntry(secure);
        field->setDelegate(std::static_pointer_cast<DeviceTestApp>(shared_from_this()));
        root->addSubview(field);
        return field;
    }
    std::weak_ptr<UIAlertViewDelegate> alertDelegate() {
        return std::static_pointer_cast<DeviceTestApp>(shared_from_this());
    }
};

// A fresh sandbox, manual clock and launched test application for each test.
class DeviceTest : public ::testing::Test {
  protected:
    DeviceTest() {
        Sandbox::setHome(home.path());
        resetWorld();
        app = DeviceTestApp::create();
        UIApplication::sharedApplication()->setDelegate(app);
        app->didFinishLaunchingWithOptions(*UIApplication::sharedApplication(), Value());
    }
    ~DeviceTest() override {
        clock.advance(1000);
        NSRunLoop::main().runUntilIdle();
        resetWorld();
        Sandbox::resetHome();
    }

  public:
    static void resetWorld() {
        UIDialogs::dismissAllForTesting();
        THProgressHUD::resetForTesting();
        UIKeyboard::resetForTesting();
        if (auto responder = UIResponder::firstResponder()) responder->resignFirstResponder();
        UIApplication::sharedApplication()->resetForTesting();
    }

  protected:
    std::shared_ptr<HeadlessDevice> makeDevice(
        HeadlessDevice::AutoToken autoToken = HeadlessDevice::AutoToken::Yes) {
        HeadlessDevice::Config config;
        config.autoToken = autoToken;
        config.manualClock = &clock;
        return HeadlessDevice::create(config);
    }

    ManualClock clock;
    TempDir home;
    std::shared_ptr<DeviceTestApp> app;
};
