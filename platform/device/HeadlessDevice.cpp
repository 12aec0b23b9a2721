#include "platform/device/HeadlessDevice.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>

#include "platform/device/DeviceToken.h"
#include "platform/device/DeviceViews.h"
#include "platform/device/DeviceWatch.h"
#include "platform/device/ScreenText.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/TextUtil.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "platform/webkit/UIWebView.h"

namespace {

constexpr double kSettleIdleBound = 0.5;   // seconds of real time for the loop to fall idle
constexpr double kSettleBusyBound = 10.0;  // seconds of real time for page loads and the HUD's loading
constexpr double kPageQuietBound = 0.25;   // seconds without work on the loop before a page counts as still
constexpr double kPollInterval = 0.1;      // how often the reader looks up from a wait

double realNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool shownOnSomeWindow(const std::shared_ptr<UIView>& view) {
    auto window = view->window();
    if (!window || window->isHidden()) return false;
    for (auto v = view; v; v = v->superview()) {
        if (v->isHidden() || v->alpha() < 0.01) return false;
    }
    return true;
}

// Something the screen waits for: a page loading or the HUD's loading indicator (and, below, a screen
// change in progress).
bool busyIn(const std::shared_ptr<UIView>& view) {
    if (view->isHidden() || view->alpha() < 0.01) return false;
    if (auto web = std::dynamic_pointer_cast<UIWebView>(view); web && DeviceViews::isPageLoading(*web))
        return true;
    if (view->className() == "THProgressHUDLoadingView" && shownOnSomeWindow(view)) return true;
    for (auto& sub : view->subviews()) {
        if (busyIn(sub)) return true;
    }
    return false;
}

// A controller on its way in or out: screen changes run on a timer, not as view animations.
bool inTransition(const std::shared_ptr<UIViewController>& controller, int depth = 0) {
    if (!controller || depth > 64) return false;
    auto appearance = controller->appearance();
    if (appearance == UIViewController::Appearance::Appearing ||
        appearance == UIViewController::Appearance::Disappearing)
        return true;
    if (auto nav = std::dynamic_pointer_cast<UINavigationController>(controller)) {
        for (auto& child : nav->viewControllers()) {
            if (inTransition(child, depth + 1)) return true;
        }
    }
    return inTransition(controller->presentedViewController(), depth + 1);
}

bool screenBusy() {
    for (auto& window : UIApplication::sharedApplication()->windows()) {
        if (window->isHidden()) continue;
        if (busyIn(window) || inTransition(window->rootViewController())) return true;
    }
    return false;
}

// A comment runs from a "#" that stands alone (whitespace before it, whitespace or the end after it) to the
// end of the line; a line that starts with "#" is all comment.
std::string_view withoutComment(std::string_view line) {
    line = TextUtil::trim(line);
    if (line.starts_with('#')) return {};
    auto space = [&](size_t at) { return std::isspace(static_cast<unsigned char>(line[at])) != 0; };
    for (size_t at = line.find('#'); at != std::string_view::npos; at = line.find('#', at + 1)) {
        if (space(at - 1) && (at + 1 == line.size() || space(at + 1)))
            return TextUtil::trim(line.substr(0, at));
    }
    return line;
}

std::pair<std::string, std::string> splitCommand(std::string_view line) {
    line = TextUtil::trim(line);
    size_t space = line.find_first_of(" \t");
    if (space == std::string_view::npos) return {std::string(line), ""};
    return {std::string(line.substr(0, space)), std::string(TextUtil::trim(line.substr(space + 1)))};
}

bool skippable(std::string_view line) {
    return withoutComment(line).empty();
}

}  // namespace

std::shared_ptr<HeadlessDevice> HeadlessDevice::create(Config config) {
    return std::shared_ptr<HeadlessDevice>(new HeadlessDevice(std::move(config)));
}

HeadlessDevice::HeadlessDevice(Config config) : config_(std::move(config)), watch_(DeviceWatch::create()) {}

HeadlessDevice::~HeadlessDevice() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
}

std::string HeadlessDevice::quoted(std::string_view text) {
    size_t cut = 0;
    for (size_t characters = 0; cut < text.size() && characters < kDeviceQuoteLimit; ++characters) {
        ++cut;  // to the start of the next character
        while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    }
    return "\"" + std::string(text.substr(0, cut)) + (cut < text.size() ? "…" : "") + "\"";
}

std::string HeadlessDevice::execute(const std::string& line) {
    UIAssertMainThread();
    // What appeared before the command is told first, so that it is not taken for the command's doing.
    std::string seen = watch_->look();
    if (line.size() > kDeviceMaxLineBytes)
        return seen + "error: the line is longer than " + std::to_string(kDeviceMaxLineBytes) +
               " bytes and was not run (it began " + quoted(line) + ")\n\n";
    std::string_view words = withoutComment(line);
    if (words.empty())
        return TextUtil::trim(line).empty() ? seen + "error: empty command (try help)\n\n" : seen;
    auto [name, argument] = splitCommand(words);
    const Command* command = nullptr;
    for (auto& c : commands()) {
        if (name == c.name) command = &c;
    }
    if (!command) return seen + "error: unknown command " + quoted(name) + " (try help)\n\n";
    Outcome outcome = (this->*command->handler)(argument);
    if (outcome.failed) return seen + "error: " + outcome.text + "\n" + watch_->look() + "\n";
    std::string out = seen + outcome.text;
    if (outcome.settle) out += settle();
    out += watch_->look();
    if (outcome.fullDump) out += UITree::dump(UITree::Windows::Visible);
    if (outcome.showScreen) out += ScreenText::render();
    return out + "\n";
}

void HeadlessDevice::passTime(double seconds) {
    if (config_.manualClock) {
        config_.manualClock->advance(seconds);
        return;
    }
    auto app = UIApplication::sharedApplication();
    NSRunLoop::main().runUntil([&] { return app->isTerminating(); }, seconds);
}

std::string HeadlessDevice::settle() {
    auto& loop = NSRunLoop::main();
    auto app = UIApplication::sharedApplication();
    double start = realNow();
    std::string notes;
    for (;;) {
        // As a display refresh does: windows lay out, which loads the views of new screens (and starts
        // their pages loading) before the device looks for work.
        for (auto& window : app->windows()) {
            if (!window->isHidden()) window->layoutIfNeeded();
        }
        double idleEnd = std::min(realNow() + kSettleIdleBound, start + kSettleBusyBound);
        // A page's engine works beside the main loop, whose passes do not count its events as work: with a
        // page on screen the loop must stay without work for a while. Under the real clock short animations
        // (a fade, a scroll view coming to rest) are waited for too.
        const double quiet = DeviceViews::visibleWebView() ? kPageQuietBound : 0;
        for (double lastWork = realNow(); realNow() < idleEnd && !app->isTerminating();) {
            if (loop.runOnce(NSDefaultRunLoopMode, 0.02)) {
                lastWork = realNow();
                notes += watch_->look();  // what shows only while the screen settles
            } else if ((Clock::isManual() || UIView::animationsInFlight().empty()) &&
                       realNow() - lastWork >= quiet) {
                break;
            }
        }
        notes += answerRegistration();
        if (app->isTerminating() || !screenBusy()) break;
        if (realNow() >= start + kSettleBusyBound) {
            notes += "note: still loading after " + std::to_string(int(kSettleBusyBound)) + " s\n";
            break;
        }
        loop.runOnce(NSDefaultRunLoopMode, 0.05);
    }
    return notes;
}

std::string HeadlessDevice::answerRegistration() {
    auto app = UIApplication::sharedApplication();
    if (config_.autoToken == AutoToken::No || !app->isRemoteRegistrationPending()) return "";
    std::string error;
    auto token = DeviceToken::sandboxToken(&error);
    if (!token) return "note: " + error + "; the registration stays unanswered\n";
    app->deliverDeviceToken(*token);
    return "registered for remote notifications with token " + DeviceToken::hex(*token) + "\n";
}

// ---- reading

bool HeadlessDevice::attachToStdin() {
    return startReading({}, true);
}

bool HeadlessDevice::runScriptFile(const std::string& path, AtEnd atEnd) {
    std::ifstream file(path);
    if (!file) {
        NSLog("Device: cannot read the script " + path);
        return false;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return startReading(std::move(lines), atEnd == AtEnd::ReadInput);
}

bool HeadlessDevice::startReading(std::vector<std::string> scriptLines, bool readInput) {
    if (reading_.exchange(true)) {
        NSLog("Device: already reading commands; ignored.");
        return false;
    }
    if (reader_.joinable()) reader_.join();  // a reader that finished earlier
    bool echoInput = readInput && !::isatty(config_.inputFd);
    reader_ = std::thread([this, lines = std::move(scriptLines), readInput, echoInput]() mutable {
        readLoop(std::move(lines), readInput, echoInput);
        reading_ = false;
    });
    return true;
}

void HeadlessDevice::readLoop(std::vector<std::string> scriptLines, bool readInput, bool echoInput) {
    if (!submit("", false)) return;  // the first screen, once the application has settled
    for (auto& line : scriptLines) {
        if (skippable(line)) continue;
        if (!submit(line, true)) return;
    }
    if (readInput) {
        std::string pending;
        char buffer[4096];
        bool open = true;
        while (open && !stopping_) {
            pollfd fd{config_.inputFd, POLLIN, 0};
            int ready = ::poll(&fd, 1, int(kPollInterval * 1000));
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                lookBetweenCommands();
                continue;
            }
            ssize_t n = ready > 0 ? ::read(config_.inputFd, buffer, sizeof buffer) : -1;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                open = false;
                if (!pending.empty()) pending += '\n';  // a last line without its newline still counts
            } else if (pending.size() <= kDeviceMaxLineBytes || pending.find('\n') != std::string::npos) {
                pending.append(buffer, size_t(n));
            } else {
                // A line past the limit is refused whole; keep no more of it than that takes to say.
                const char* newline = static_cast<const char*>(std::memchr(buffer, '\n', size_t(n)));
                if (newline) pending.append(newline, size_t(buffer + n - newline));
            }
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (skippable(line)) continue;
                if (!submit(line, echoInput)) return;
            }
        }
        if (stopping_) return;
    }
    submit("quit", false);
}

bool HeadlessDevice::submit(const std::string& line, bool echo) {
    auto app = UIApplication::sharedApplication();
    if (stopping_ || app->isTerminating()) return false;
    auto done = DispatchSemaphore::create(0);
    std::weak_ptr<HeadlessDevice> weak = weak_from_this();
    auto run = [weak, line, echo, done] {
        if (auto device = weak.lock()) {
            if (line.empty()) {
                std::string notes = device->settle();  // before the screen is read
                device->emit("ready\n" + notes + ScreenText::render() + "\n");
            } else {
                device->emit((echo ? "> " + line + "\n" : "") + device->execute(line));
            }
        }
        done->signal();
    };
    // The line goes to the back of the main queue once more when its turn comes: the main loop takes the
    // blocks queued so far in one batch, and a block of that batch (a new screen's first page load, say)
    // would otherwise wait until the command and its settling were over.
    DispatchQueue::main()->async([run = std::move(run)] { DispatchQueue::main()->async(run); });
    while (!done->wait(kPollInterval)) {
        if (stopping_ || app->isTerminating()) return false;
    }
    return !app->isTerminating();
}

void HeadlessDevice::lookBetweenCommands() {
    if (looking_.exchange(true)) return;
    std::weak_ptr<HeadlessDevice> weak = weak_from_this();
    DispatchQueue::main()->async([weak] {
        auto device = weak.lock();
        if (!device) return;
        if (std::string seen = device->watch_->look(); !seen.empty()) device->emit(seen);
        device->looking_ = false;
    });
}

void HeadlessDevice::emit(const std::string& text) {
    if (config_.output) {
        config_.output(text);
        return;
    }
    std::cout << text << std::flush;
}
