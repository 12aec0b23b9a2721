// The device's commands: each reads its argument, acts as a finger would and says what it did.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>

#include "platform/device/DeviceDialogs.h"
#include "platform/device/DeviceToken.h"
#include "platform/device/DeviceViews.h"
#include "platform/device/HeadlessDevice.h"
#include "platform/device/ScreenText.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/webkit/UIWebView.h"

namespace {

constexpr CGFloat kPullDistance = 100;
constexpr int kDragSteps = 5;
constexpr long kMaxDeletes = 10000;
constexpr double kMaxWait = 3600;
// A swipe on a pager stops this short of the next page and lets the view come to rest there, as a finger
// lifting early does, so that the pager decelerates onto the page.
constexpr CGFloat kSwipeShortfall = 10;
constexpr long kRemoteNotificationsUnavailable = 3010;
constexpr std::chrono::seconds kPageTextWait{5};  // real time a tap waits for a loading page's text
constexpr double kPageTextPoll = 0.05;

std::optional<long> parseCount(const std::string& text) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parseSeconds(const std::string& text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// "OK" and OK name the same thing: a person copies texts from the screen with their quotes.
std::string unquoted(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

const char* stateName(UIApplicationState state) {
    switch (state) {
        case UIApplicationState::Active:
            return "active";
        case UIApplicationState::Inactive:
            return "inactive";
        case UIApplicationState::Background:
            return "background";
    }
    return "?";
}

}  // namespace

const std::vector<HeadlessDevice::Command>& HeadlessDevice::commands() {
    static const std::vector<Command> table = {
        {"screen", "screen [full]", "prints the screen again; \"full\": the toolkit's whole view tree",
         &HeadlessDevice::screen},
        {"tap", "tap TEXT", "touches what shows TEXT: a view, or a page's link, button or field",
         &HeadlessDevice::tap},
        {"type", "type TEXT", "types TEXT into whatever has the keyboard", &HeadlessDevice::type},
        {"delete", "delete [N]", "deletes N characters before the cursor (default 1)",
         &HeadlessDevice::deleteBackward},
        {"paste", "paste TEXT", "pastes TEXT where the keyboard is", &HeadlessDevice::paste},
        {"return", "return", "presses the keyboard's return key", &HeadlessDevice::pressReturn},
        {"pull", "pull", "pulls the visible scroll view (a page's too) down and lets go",
         &HeadlessDevice::pull},
        {"scroll", "scroll PAGE", "swipes the visible pager to PAGE (0 is the first)",
         &HeadlessDevice::scroll},
        {"js", "js SCRIPT", "runs SCRIPT in the visible page and prints its result", &HeadlessDevice::js},
        {"link", "link TEXT", "follows the visible page's link with that text (or address)",
         &HeadlessDevice::link},
        {"shot", "shot FILE", "writes what the visible page shows to FILE as a PNG", &HeadlessDevice::shot},
        {"button", "button N | button TEXT", "answers the visible dialog by button index or title",
         &HeadlessDevice::button},
        {"push", "push JSON", "delivers a remote notification with the JSON payload", &HeadlessDevice::push},
        {"state", "state active|inactive|background", "moves the application into that state",
         &HeadlessDevice::state},
        {"token", "token HEX", "answers the pending push registration with that device token",
         &HeadlessDevice::token},
        {"token-fail", "token-fail TEXT", "fails the pending push registration with TEXT as the reason",
         &HeadlessDevice::tokenFail},
        {"wait", "wait SECONDS", "lets SECONDS of time pass", &HeadlessDevice::wait},
        {"help", "help", "prints this list", &HeadlessDevice::help},
        {"quit", "quit", "ends the application", &HeadlessDevice::quit},
    };
    return table;
}

std::string HeadlessDevice::helpText() {
    constexpr size_t kUsageWidth = 34;
    std::string out = "commands:\n";
    for (auto& command : commands()) {
        std::string usage = command.usage;
        usage.resize(std::max(usage.size() + 1, kUsageWidth), ' ');
        out += "  " + usage + command.meaning + "\n";
    }
    return out + "a \"#\" between spaces starts a comment to the end of the line\n";
}

HeadlessDevice::Outcome HeadlessDevice::screen(const std::string& argument) {
    if (argument == "full") return Outcome::treeDump();
    if (!argument.empty()) return Outcome::failure("usage: screen [full]");
    return {};
}

HeadlessDevice::Outcome HeadlessDevice::tap(const std::string& argument) {
    std::string text = unquoted(argument);
    if (text.empty()) return Outcome::failure("usage: tap TEXT");
    // A page still on its way may yet show the text; a page that has loaded is read as it stands.
    const auto deadline = std::chrono::steady_clock::now() + kPageTextWait;
    for (;;) {
        if (auto outcome = tapOnce(text)) return *outcome;
        auto web = DeviceViews::visibleWebView();
        if (!web || !DeviceViews::isPageLoading(*web) || std::chrono::steady_clock::now() >= deadline) break;
        NSRunLoop::main().runOnce(NSDefaultRunLoopMode, kPageTextPoll);
    }
    return Outcome::failure("nothing on screen shows " + quoted(text));
}

std::optional<HeadlessDevice::Outcome> HeadlessDevice::tapOnce(const std::string& text) {
    // Views first, then the page: what shows the text exactly, then what shows it as a part.
    for (auto match : {DeviceViews::Match::Exact, DeviceViews::Match::Part}) {
        if (auto view = DeviceViews::findByText(text, match)) {
            std::string what = ScreenText::name(view);
            if (std::string reason = DeviceViews::tap(view); !reason.empty())
                return Outcome::failure(what + " " + reason);
            return Outcome{"tapped " + what + "\n"};
        }
        auto web = DeviceViews::visibleWebView();
        for (auto& element : web ? web->pageElements() : std::vector<UIWebPageElement>{}) {
            bool found = match == DeviceViews::Match::Exact ? element.text == text
                                                            : element.text.find(text) != std::string::npos;
            if (!found) continue;
            std::string what = ScreenText::element(element) + " on " + ScreenText::name(web->scrollView());
            if (std::string reason = DeviceViews::unreachableReason(web); !reason.empty())
                return Outcome::failure(what + " " + reason);
            if (!web->tapElement(element.text)) return Outcome::failure(what + " takes no touches");
            return Outcome{"tapped " + what + "\n"};
        }
    }
    return std::nullopt;
}

std::string HeadlessDevice::keyboardMissing() {
    auto responder = UIResponder::firstResponder();
    auto web = std::dynamic_pointer_cast<UIWebView>(responder);
    if (!std::dynamic_pointer_cast<UIKeyInput>(responder) || (web && !web->hasFocusedField()))
        return "no text input has the keyboard (tap a field first)";
    return "";
}

HeadlessDevice::Outcome HeadlessDevice::type(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: type TEXT");
    if (std::string missing = keyboardMissing(); !missing.empty()) return Outcome::failure(missing);
    UIKeyboard::typeText(argument);
    return {"typed " + UIDumpQuoted(argument) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::deleteBackward(const std::string& argument) {
    long count = 1;
    if (!argument.empty()) {
        auto parsed = parseCount(argument);
        if (!parsed || *parsed < 1 || *parsed > kMaxDeletes)
            return Outcome::failure("delete takes a count from 1 to " + std::to_string(kMaxDeletes) +
                                    ", not " + quoted(argument));
        count = *parsed;
    }
    if (std::string missing = keyboardMissing(); !missing.empty()) return Outcome::failure(missing);
    for (long i = 0; i < count && UIKeyboard::pressDelete(); ++i) {
    }
    return {"deleted " + std::to_string(count) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::paste(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: paste TEXT");
    if (std::string missing = keyboardMissing(); !missing.empty()) return Outcome::failure(missing);
    UIPasteboard::generalPasteboard().setString(argument);
    UIKeyboard::paste();
    return {"pasted " + UIDumpQuoted(argument) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::pressReturn(const std::string& argument) {
    if (!argument.empty()) return Outcome::failure("usage: return");
    if (std::string missing = keyboardMissing(); !missing.empty()) return Outcome::failure(missing);
    UIKeyboard::pressReturn();
    return {"pressed return\n"};
}

HeadlessDevice::Outcome HeadlessDevice::pull(const std::string& argument) {
    if (!argument.empty()) return Outcome::failure("usage: pull");
    auto scroll = DeviceViews::scrollViewForPull();
    if (!scroll) return Outcome::failure("nothing on screen scrolls");
    std::string what = "the " + ScreenText::name(scroll);
    if (!scroll->beginDragging()) return Outcome::failure(what + " does not scroll now");
    for (int i = 0; i < kDragSteps; ++i) scroll->dragBy(0, kPullDistance / kDragSteps);
    CGPoint pulledTo = scroll->contentOffset();
    scroll->endDragging();
    return {"pulled " + what + " down to " + NSStringFromCGPoint(pulledTo) + " and let go\n"};
}

HeadlessDevice::Outcome HeadlessDevice::scroll(const std::string& argument) {
    auto page = parseCount(argument);
    if (!page) return Outcome::failure("usage: scroll PAGE (0 is the first page)");
    auto pager = DeviceViews::scrollViewForPaging();
    if (!pager) return Outcome::failure("nothing on screen scrolls sideways");
    std::string what = "the " + ScreenText::name(pager);
    CGFloat width = pager->bounds().size.width;
    CGFloat minX = pager->minimumContentOffset().x, maxX = pager->maximumContentOffset().x;
    long pages = long(std::floor((maxX - minX) / width + 0.5)) + 1;
    if (*page < 0 || *page >= pages)
        return Outcome::failure("page " + std::to_string(*page) + " is out of range: " + what +
                                " has pages 0 to " + std::to_string(pages - 1));
    bool paging = pager->isPagingEnabled();
    bool clockInHand = config_.manualClock || !Clock::isManual();
    auto current = [&] { return long(std::floor((pager->contentOffset().x - minX) / width + 0.5)); };
    for (int swipes = 0; current() != *page && swipes < pages; ++swipes) {
        CGFloat direction = *page > current() ? -1 : 1;  // a finger moving left shows the next page
        CGFloat distance = paging && clockInHand ? width - kSwipeShortfall : width;
        if (!pager->drag({direction * distance, 0}, kDragSteps))
            return Outcome::failure(what + " does not scroll now");
        if (pager->isDecelerating()) {
            if (config_.manualClock)
                config_.manualClock->advance(UIScrollViewSettleDuration + 0.05);
            else
                NSRunLoop::main().runUntil([&] { return !pager->isDecelerating(); },
                                           2 * UIScrollViewSettleDuration + 1);
        }
    }
    if (current() != *page) return Outcome::failure(what + " stopped at page " + std::to_string(current()));
    return {"scrolled " + what + " to page " + std::to_string(*page) + " of " + std::to_string(pages) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::js(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: js SCRIPT");
    auto web = DeviceViews::visibleWebView();
    if (!web) return Outcome::failure("no page on screen");
    auto result = web->evaluateJavaScript(argument);
    if (result.exception) return Outcome::failure("the script threw: " + *result.exception);
    return {"= " + UIDumpQuoted(result.value) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::link(const std::string& argument) {
    std::string text = unquoted(argument);
    if (text.empty()) return Outcome::failure("usage: link TEXT");
    auto web = DeviceViews::visibleWebView();
    if (!web) return Outcome::failure("no page on screen");
    if (!web->activateLink(text)) {
        std::string known;
        for (auto& [title, href] : web->links())
            known += (known.empty() ? "" : ", ") + UIDumpQuoted(title.empty() ? href : title);
        return Outcome::failure("the page has no link " + quoted(text) +
                                " (links: " + (known.empty() ? "none" : known) + ")");
    }
    return {"followed link \"" + text + "\"\n"};
}

HeadlessDevice::Outcome HeadlessDevice::shot(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: shot FILE");
    auto web = DeviceViews::visibleWebView();
    if (!web) return Outcome::failure("no page on screen (only pages are drawn)");
    // The file is opened here first, so that a path that cannot be written is named with the system's
    // reason; the PNG writer only says that writing failed.
    const bool existed = ::access(argument.c_str(), F_OK) == 0;
    int fd = ::open(argument.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Outcome::failure("cannot write " + argument + ": " + std::strerror(errno));
    ::close(fd);
    std::string error;
    if (!web->writeSnapshot(argument, &error)) {
        if (!existed) ::unlink(argument.c_str());
        return Outcome::failure(error);
    }
    return Outcome::bare("wrote " + ScreenText::name(web->scrollView()) + " to " + argument + "\n");
}

HeadlessDevice::Outcome HeadlessDevice::button(const std::string& argument) {
    std::string text = unquoted(argument);
    if (text.empty()) return Outcome::failure("usage: button N | button TEXT");
    auto dialog = DeviceDialogs::visible();
    if (!dialog) return Outcome::failure("no dialog on screen");
    std::optional<long> index = argument.front() == '"' ? std::nullopt : parseCount(text);
    if (!index) {
        for (bool exact : {true, false}) {
            for (auto& [i, b] : dialog->buttons) {
                std::string title = b->currentTitle();
                if (!index && (exact ? title == text : title.find(text) != std::string::npos)) index = i;
            }
        }
        if (!index) return Outcome::failure("the " + dialog->kind + " has no button " + quoted(text));
    }
    if (std::string failure = DeviceDialogs::press(*dialog, *index); !failure.empty())
        return Outcome::failure(failure);
    return {"answered the " + dialog->kind + " with button " + std::to_string(*index) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::push(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: push JSON");
    NSErrorPtr error;
    auto payload = NSJSONSerialization::JSONObjectWithData(Data::fromString(argument), 0, &error);
    if (!payload)
        return Outcome::failure("the payload is no JSON: " +
                                (error ? error->localizedDescription() : "unreadable"));
    if (!payload->isDictionary()) return Outcome::failure("the payload must be a JSON object");
    auto app = UIApplication::sharedApplication();
    app->receiveRemoteNotification(*payload);
    return {std::string("delivered the notification (application ") + stateName(app->applicationState()) +
            ")\n"};
}

HeadlessDevice::Outcome HeadlessDevice::state(const std::string& argument) {
    auto app = UIApplication::sharedApplication();
    for (auto target :
         {UIApplicationState::Active, UIApplicationState::Inactive, UIApplicationState::Background}) {
        if (argument != stateName(target)) continue;
        app->setApplicationState(target);
        return {std::string("state ") + stateName(app->applicationState()) + "\n"};
    }
    return Outcome::failure("usage: state active|inactive|background");
}

HeadlessDevice::Outcome HeadlessDevice::token(const std::string& argument) {
    auto bytes = DeviceToken::parseHex(argument);
    if (!bytes) return Outcome::failure("token takes hex digits in pairs, not " + quoted(argument));
    if (!UIApplication::sharedApplication()->deliverDeviceToken(*bytes))
        return Outcome::failure("the application has not asked to register for remote notifications");
    return {"delivered token " + DeviceToken::hex(*bytes) + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::tokenFail(const std::string& argument) {
    if (argument.empty()) return Outcome::failure("usage: token-fail TEXT");
    auto error = NSError::create(NSCocoaErrorDomain, kRemoteNotificationsUnavailable,
                                 {{NSLocalizedDescriptionKey, Value(argument)}});
    if (!UIApplication::sharedApplication()->failRemoteRegistration(error))
        return Outcome::failure("the application has not asked to register for remote notifications");
    return {"registration failed: " + argument + "\n"};
}

HeadlessDevice::Outcome HeadlessDevice::wait(const std::string& argument) {
    auto seconds = parseSeconds(argument);
    if (!seconds || *seconds < 0 || *seconds > kMaxWait)
        return Outcome::failure("wait takes seconds from 0 to " + std::to_string(int(kMaxWait)) + ", not " +
                                quoted(argument));
    if (Clock::isManual() && !config_.manualClock)
        return Outcome::failure("the clock is manual and the device cannot move it");
    passTime(*seconds);
    return {"waited " + argument + " s\n"};
}

HeadlessDevice::Outcome HeadlessDevice::help(const std::string&) {
    return Outcome::bare(helpText());
}

HeadlessDevice::Outcome HeadlessDevice::quit(const std::string& argument) {
    if (!argument.empty()) return Outcome::failure("usage: quit");
    UIApplication::sharedApplication()->terminate();
    return Outcome::bare("bye\n");
}
