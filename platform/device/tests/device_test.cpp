#include <algorithm>
#include <cerrno>
#include <cstring>

#include "DeviceTestApp.h"
#include "platform/device/DeviceToken.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"
#include "platform/webkit/UIWebView.h"
#include "testsupport/LoopbackServer.h"

namespace {

struct Step {
    std::string command;
    std::string expected;  // what the output must contain
};

void runSteps(HeadlessDevice& device, std::initializer_list<Step> steps) {
    for (const auto& step : steps) {
        std::string out = device.execute(step.command);
        EXPECT_NE(out.find(step.expected), std::string::npos) << "after: " << step.command << "\n" << out;
        EXPECT_EQ(out.find("error:"), std::string::npos) << "after: " << step.command << "\n" << out;
    }
}

}  // namespace

TEST_F(DeviceTest, FingerAndKeysActOnTheScreenAndTheScreenShowsIt) {
    auto device = makeDevice();
    runSteps(
        *device,
        {
            {"screen", "window (key)\n  label \"Hello\"\n  button \"Send\"\n"},
            {"tap Send", "tapped button \"Send\"\n"},
            {"screen", "label \"Sent 1\""},
            {"tap \"Sen\"", "tapped button \"Send\""},  // part of the text, quotes as the screen shows them
            {"tap Nam", "tapped field \"Name\"\n"},
            {"screen", "field \"\" placeholder \"Name\" editing"},
            {"type abcdefg", "field \"abcde\" placeholder \"Name\" editing"},  // the delegate's limit holds
            {"delete 2", "field \"abc\""},
            {"paste XY", "field \"abcXY\""},
            {"tap Password", "field \"\" placeholder \"Password\" secure editing"},
            {"type pw", "field \"••\" placeholder \"Password\" secure editing"},
            {"screen", "keyboard up\n"},
            {"screen full", "UITextField frame="},
        });
    EXPECT_EQ(app->sends, 2);
    EXPECT_EQ(app->name->text(), "abcXY");
}

// Views placed only by constraints keep frames without size; the finger reaches them directly, unless a
// person could not touch them either.
TEST_F(DeviceTest, ViewsWithoutASizeAreTouchedDirectlyWhenNothingStopsAFinger) {
    auto root = app->window->rootViewController()->view();
    int taps = 0;
    auto unsized = [&](const UIViewPtr& parent, const std::string& title) {
        auto button = UIButton::buttonWithType(UIButtonType::System);
        button->setTitle(title, UIControlStateNormal);
        button->addAction([&taps](UIControl&) { ++taps; }, UIControlEventTouchUpInside);
        parent->addSubview(button);
        return button;
    };
    unsized(root, "Unsized");
    auto frozen = UIView::create();
    frozen->setUserInteractionEnabled(false);
    root->addSubview(frozen);
    unsized(frozen, "Frozen");
    auto device = makeDevice();

    EXPECT_NE(device->execute("tap Unsized").find("tapped button \"Unsized\""), std::string::npos);
    EXPECT_EQ(taps, 1);
    EXPECT_EQ(device->execute("tap Frozen"), "error: button \"Frozen\" takes no touches\n\n");
    device->execute("tap Alert");
    EXPECT_EQ(device->execute("tap Unsized"), "error: button \"Unsized\" is covered by the alert\n\n");
    EXPECT_EQ(taps, 1);
}

TEST_F(DeviceTest, BadCommandsPrintOneErrorLineAndTheDeviceGoesOn) {
    auto device = makeDevice();
    const std::pair<const char*, const char*> cases[] = {
        {"frobnicate", "unknown command \"frobnicate\""},
        {"tap", "usage: tap TEXT"},
        {"tap Nowhere", "nothing on screen shows \"Nowhere\""},
        {"tap Under", "button \"Under\" is covered by a view that shows nothing"},
        {"tap Off", "button \"Off\" is disabled"},
        {"type x", "no text input has the keyboard"},
        {"delete 0", "delete takes a count from 1"},
        {"delete many", "delete takes a count from 1"},
        {"scroll 3", "page 3 is out of range: the pager has pages 0 to 2"},
        {"scroll left", "usage: scroll PAGE"},
        {"js 1+1", "no page on screen"},
        {"link Next", "no page on screen"},
        {"shot x.png", "no page on screen"},
        {"button 0", "no dialog on screen"},
        {"push [1]", "the payload must be a JSON object"},
        {"push {\"aps\":", "the payload is no JSON"},
        {"state asleep", "usage: state active|inactive|background"},
        {"token abc", "token takes hex digits in pairs"},
        {"token 0a0z", "token takes hex digits in pairs"},
        {"wait soon", "wait takes seconds"},
        {"wait -1", "wait takes seconds"},
        {"screen sideways", "usage: screen [full]"},
    };
    for (const auto& [command, message] : cases) {
        std::string out = device->execute(command);
        EXPECT_TRUE(out.starts_with(std::string("error: ") + message)) << command << ": " << out;
        EXPECT_TRUE(out.ends_with("\n\n") && std::count(out.begin(), out.end(), '\n') == 2) << out;
        EXPECT_NE(device->execute("tap Send").find("tapped button \"Send\""), std::string::npos) << command;
    }
    EXPECT_EQ(app->sends, int(std::size(cases)));
}

TEST_F(DeviceTest, PullAndSwipeDragTheVisibleScrollViews) {
    auto device = makeDevice();
    runSteps(*device, {
                          {"pull", "pulled the list down to {0, -100} and let go"},
                          {"scroll 2", "scrolled the pager to page 2 of 3"},
                          {"scroll 1", "scrolled the pager to page 1 of 3"},
                      });
    // Pulled past the top, the list springs back once let go.
    EXPECT_EQ(app->listCalls->calls,
              (std::vector<std::string>{"willBeginDragging", "didEndDragging", "didEndDecelerating page 0"}));
    EXPECT_EQ(app->pagerCalls->calls,
              (std::vector<std::string>{"willBeginDragging", "didEndDragging", "didEndDecelerating page 1",
                                        "willBeginDragging", "didEndDragging", "didEndDecelerating page 2",
                                        "willBeginDragging", "didEndDragging", "didEndDecelerating page 1"}));
    EXPECT_EQ(app->pager->contentOffset().x, 320);
}

TEST_F(DeviceTest, DialogsOfThePlatformAndTheHUDAreAnsweredByIndexOrTitle) {
    auto device = makeDevice();
    runSteps(*device, {{"tap Alert",
                        "window level 2000 (key)\n  alert\n    label \"Confirm\"\n    label \"Sure?\"\n"
                        "    [0] \"Cancel\"\n    [1] \"OK\"\n"},
                       {"button OK", "answered the alert with button 1"}});
    EXPECT_EQ(device->execute("wait 1").find("alert"), std::string::npos);
    device->execute("tap Alert");
    device->execute("button 0");
    EXPECT_EQ(app->calls, (std::vector<std::string>{"alert 1", "alert 0"}));

    struct Recorder : THProgressHUDAlertViewDelegate, THProgressHUDActionSheetDelegate {
        std::vector<long> pressed;
        using THProgressHUDActionSheetDelegate::actionSheetView;
        using THProgressHUDAlertViewDelegate::alertView;
        void alertView(const THProgressHUDAlertViewPtr&, long index) override { pressed.push_back(index); }
        void actionSheetView(const THProgressHUDActionSheetPtr&, long index) override {
            pressed.push_back(index);
        }
    };
    auto recorder = std::make_shared<Recorder>();
    auto hud = THProgressHUD::shareInstancetype();
    hud->showAlertWithTitle("Update", "Now?", recorder, THProgressHUDAlertViewStyleDefault, "Later", {"Yes"});
    std::string screen = device->execute("screen");
    EXPECT_NE(screen.find("hud alert"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[1] \"Yes\""), std::string::npos) << screen;
    EXPECT_NE(device->execute("button 1").find("answered the hud alert with button 1"), std::string::npos);
    device->execute("wait 1");
    hud->showActionSheetWithTitle("Photo", recorder, "Cancel", std::string("Delete"), {"Share"});
    device->execute("wait 1");
    std::string sheet = device->execute("button Share");
    EXPECT_NE(sheet.find("answered the hud action sheet with button 2"), std::string::npos) << sheet;
    EXPECT_EQ(recorder->pressed, (std::vector<long>{1, 2}));
}

TEST_F(DeviceTest, PushStateAndRegistrationReachTheDelegate) {
    auto device = makeDevice();
    std::string first = device->execute("push {\"aps\":{\"alert\":\"hi #1\"}}  # a comment");
    EXPECT_NE(first.find("delivered the notification (application inactive)"), std::string::npos) << first;
    ASSERT_EQ(app->pushes.size(), 1u);
    EXPECT_EQ(app->pushes[0]["aps"]["alert"].stringValue(), "hi #1");
    // The launch asked to register: the first settle answered with the sandbox's token.
    EXPECT_NE(first.find("registered for remote notifications with token "), std::string::npos);
    ASSERT_EQ(app->tokens.size(), 1u);

    device->execute("state active");
    EXPECT_NE(device->execute("state background").find("state background"), std::string::npos);
    EXPECT_EQ(app->calls,
              (std::vector<std::string>{"didBecomeActive", "willResignActive", "didEnterBackground"}));

    auto manual = makeDevice(HeadlessDevice::AutoToken::No);
    UIApplication::sharedApplication()->registerForRemoteNotifications();
    EXPECT_NE(manual->execute("token <0a0b 0C0d>").find("delivered token 0a0b0c0d"), std::string::npos);
    EXPECT_EQ(app->tokens.back().toString(), std::string("\x0a\x0b\x0c\x0d"));
    EXPECT_EQ(manual->execute("token 0a0b"),
              "error: the application has not asked to register for remote notifications\n\n");
    UIApplication::sharedApplication()->registerForRemoteNotifications();
    manual->execute("token-fail no service");
    EXPECT_EQ(app->calls.back(), "registration failed: no service");
}

TEST_F(DeviceTest, TheDeviceTokenStaysWithTheSandbox) {
    auto files = NSFileManager::defaultManager();
    std::vector<Data> tokens;
    for (int launch = 0; launch < 2; ++launch) {
        auto device = makeDevice();
        UIApplication::sharedApplication()->registerForRemoteNotifications();
        device->execute("screen");
        tokens.push_back(app->tokens.back());
    }
    EXPECT_EQ(tokens[0], tokens[1]);
    EXPECT_EQ(files->contentsAtPath(DeviceToken::path()), tokens[0]);

    files->createFileAtPath(DeviceToken::path(), Data::fromString("short"), NSFileManager::Atomically::No);
    UIApplication::sharedApplication()->registerForRemoteNotifications();
    Console::Capture console;
    makeDevice()->execute("screen");
    EXPECT_TRUE(console.contains("is unreadable or damaged; making a new token"));
    EXPECT_EQ(app->tokens.back().length(), DeviceToken::kLength);
    EXPECT_NE(app->tokens.back(), tokens[0]);
}

TEST_F(DeviceTest, ThePageIsReadTappedScriptedAndDrawn) {
    LoopbackServer server;
    auto page = [](std::string title, std::string body, double delay = 0) {
        LoopbackReply reply = LoopbackReply::text("<title>" + title + "</title>" + body);
        reply.contentType = "text/html";
        reply.delay = delay;
        return reply;
    };
    // Slower than the screen's idle wait: the device must wait for the load itself.
    server.reply("/start", page("Start",
                                "<h1>Hi</h1><p hidden>unseen</p><a href=\"/second\">Next</a>"
                                "<button onclick=\"n = 99\">Bump it</button><script>var n = 41;</script>",
                                0.8));
    server.reply("/second", page("Second",
                                 "<p>done</p><script>for (var i = 0; i < 70; i++) "
                                 "document.body.innerHTML += '<p>' + 'x'.repeat(130);</script>"));
    auto web = UIWebView::create(CGRectMake(0, 390, 320, 90));
    app->window->rootViewController()->view()->addSubview(web);
    web->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/start"))));

    auto device = makeDevice();
    const std::string shot = home.file("page.png");
    runSteps(*device,
             {
                 {"screen", "page \"Start\" " + server.url("/start") +
                                "\n    text \"Hi\"\n    link \"Next\"\n    button \"Bump it\"\n"},
                 {"js n + 1", "= \"42\"\n"},
                 {"tap Bump", "tapped button \"Bump it\" on page \"Start\"\n"},
                 {"js n", "= \"99\"\n"},
                 {"shot " + shot, "wrote page \"Start\" to " + shot},
                 {"tap Next", "page \"Second\" " + server.url("/second") +
                                  "\n    text \"done\"\n    text \"" + std::string(120, 'x') + "…\"\n"},
                 {"screen", "\n    … 11 more\n"},
             });
    EXPECT_TRUE(NSFileManager::defaultManager()->contentsAtPath(shot).value_or(Data()).toString().starts_with(
        "\x89PNG"));
    for (auto [path, reason] : {std::pair{home.file("missing/page.png"), ENOENT}, {home.path(), EISDIR}}) {
        EXPECT_EQ(device->execute("shot " + path),
                  "error: cannot write " + path + ": " + std::strerror(reason) + "\n\n");
    }
    std::string thrown = device->execute("js throw new Error('no')");  // the engine adds where it threw
    EXPECT_TRUE(thrown.starts_with("error: the script threw: ") && thrown.ends_with("Error: no\n\n"))
        << thrown;
    EXPECT_EQ(device->execute("link Missing"), "error: the page has no link \"Missing\" (links: none)\n\n");
    device->execute("tap Alert");
    EXPECT_EQ(device->execute("tap done"),
              "error: text \"done\" on page \"Second\" is covered by the alert\n\n");
}

namespace {

LoopbackReply htmlPage(const std::string& title, const std::string& body) {
    LoopbackReply reply = LoopbackReply::text("<title>" + title + "</title>" + body);
    reply.contentType = "text/html";
    return reply;
}

// A page on a web view below the test application's controls, loaded before the device looks.
UIWebViewPtr showPage(DeviceTestApp& app, const std::string& url) {
    auto web = UIWebView::create(CGRectMake(0, 390, 320, 90));
    app.window->rootViewController()->view()->addSubview(web);
    web->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(url)));
    return web;
}

}  // namespace

TEST_F(DeviceTest, KeysReachThePagesFocusedFieldAsTypingItsScriptsSee) {
    LoopbackServer server;
    // Every input, change and submit is logged with the value the page's own handlers read.
    server.reply("/form", htmlPage("Form", R"(
        <form id="f"><input id="name" placeholder="Your name"><textarea placeholder="Note"></textarea>
        <button type="button">Nothing</button></form>
        <script>
          var log = [];
          for (const e of document.querySelectorAll('input, textarea')) {
            e.addEventListener('input', () => log.push('input:' + e.value));
            e.addEventListener('change', () => log.push('change:' + e.value));
          }
          document.getElementById('f').addEventListener('submit', (event) => {
            event.preventDefault();
            log.push('submit:' + document.getElementById('name').value);
          });
        </script>)"));
    auto web = showPage(*app, server.url("/form"));
    auto device = makeDevice();
    EXPECT_EQ(device->execute("type x"), "error: no text input has the keyboard (tap a field first)\n\n");
    runSteps(*device, {
                          {"tap Your name", "tapped field \"Your name\" on page \"Form\""},
                          {"screen", "keyboard up\n"},
                          {"type Añ😀", "field \"Añ😀\"\n"},
                          {"delete", "field \"Añ\"\n"},
                          {"paste 日本", "field \"Añ日本\"\n"},
                          {"js log.join('|')", "= \"input:Añ😀|input:Añ|input:Añ日本\""},
                          {"return", "pressed return"},
                          {"js log.slice(3).join('|')", "= \"change:Añ日本|submit:Añ日本\""},
                          {"tap Note", "tapped field \"Note\""},
                          {"type two", "field \"two\""},
                          {"return", "pressed return"},           // a text area takes the key as a line break
                          {"type lines", "field \"two lines\""},  // the screen squashes the break
                          {"js document.querySelector('textarea').value", "= \"two\\nlines\""},
                      });
    // A tap on anything else takes the focus, and the keyboard, away from the field.
    std::string tapped = device->execute("tap Nothing");
    EXPECT_NE(tapped.find("tapped button \"Nothing\""), std::string::npos);
    EXPECT_EQ(tapped.find("keyboard up"), std::string::npos) << tapped;
    EXPECT_EQ(device->execute("type y"), "error: no text input has the keyboard (tap a field first)\n\n");
    EXPECT_EQ(web->stringByEvaluatingJavaScriptFromString("log[log.length - 1]"), "change:two\nlines");
    // A long run costs the engine one edit, not one a character.
    device->execute("tap Añ日本");
    EXPECT_NE(device->execute("type " + std::string(20000, 'q')).find("typed"), std::string::npos);
    EXPECT_EQ(web->stringByEvaluatingJavaScriptFromString("document.getElementById('name').value.length"),
              "20004");
}

TEST_F(DeviceTest, ATapOnALoadedPageAnswersAtOnceWhatItDoesNotShow) {
    LoopbackServer server;
    // The button comes well after the load: a tap that waited for it would find it.
    server.reply("/late", htmlPage("Late", R"(<p>Soon</p><script>setTimeout(() => {
        const b = document.createElement('button'); b.textContent = 'Later'; document.body.appendChild(b);
      }, 4000);</script>)"));
    showPage(*app, server.url("/late"));
    auto device = makeDevice();
    EXPECT_NE(device->execute("screen").find("text \"Soon\""), std::string::npos);
    EXPECT_EQ(device->execute("tap Later"), "error: nothing on screen shows \"Later\"\n\n");
}

TEST_F(DeviceTest, WhatPassesIsPrintedALineEachAsItAppears) {
    LoopbackServer server;
    server.reply("/one", htmlPage("One", "<p>one</p>"));
    auto web = showPage(*app, server.url("/one"));
    auto device = makeDevice();
    EXPECT_NE(device->execute("screen").find("page loaded: " + server.url("/one") + "\n"), std::string::npos);
    // A tip that shows while no command runs is told before the next command's own lines.
    THProgressHUD::shareInstancetype()->showErrorTip("Saved");
    std::string out = device->execute("wait 10");
    EXPECT_TRUE(out.starts_with("shown: hud tip \"Saved\"\nwaited 10 s\n")) << out;
    EXPECT_EQ(out.find("tip", out.find('\n')), std::string::npos) << "the tip is gone by the end\n" << out;
    // A dialog once, however long it stays; again when it comes again.
    EXPECT_NE(device->execute("tap Alert").find("shown: alert \"Confirm\" \"Sure?\"\n"), std::string::npos);
    EXPECT_EQ(device->execute("screen").find("shown:"), std::string::npos);
    device->execute("button 0");
    device->execute("wait 1");  // it fades out
    EXPECT_NE(device->execute("tap Alert").find("shown: alert \"Confirm\" \"Sure?\"\n"), std::string::npos);
    device->execute("button 0");
    // A load that fails says where and why.
    LoopbackServer closed;
    const std::string gone = closed.url("/gone");
    closed.stop();
    web->loadRequest(NSURLRequest::requestWithURL(NSURL::URLWithString(gone)));
    out = device->execute("screen");
    EXPECT_NE(out.find("page failed: " + gone + " ("), std::string::npos) << out;
}

TEST_F(DeviceTest, AnOverlongLineIsRefusedAndErrorsQuoteTheStartOfLongText) {
    auto device = makeDevice();
    device->execute("tap Nam");
    std::string out = device->execute("type " + std::string(kDeviceMaxLineBytes, 'x'));
    EXPECT_EQ(out, "error: the line is longer than 65536 bytes and was not run (it began \"type " +
                       std::string(kDeviceQuoteLimit - 5, 'x') + "…\")\n\n");
    EXPECT_EQ(app->name->text(), "");
    // A long text is quoted by its first characters, not cut inside one.
    const std::string wide = "長" + std::string(300, 'y');
    EXPECT_EQ(device->execute("tap " + wide),
              "error: nothing on screen shows \"長" + std::string(kDeviceQuoteLimit - 1, 'y') + "…\"\n\n");
}
