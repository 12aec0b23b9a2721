// The headless phone's screen and finger. A person drives the application from a terminal, a script drives
// it from a file, and tests drive it in-process; each command acts as a finger would and the device prints
// what the screen shows afterwards.
//
// Commands (one a line; `help` lists them):
//   screen [full]          the screen as a person reads it (ScreenText.h); "full": the toolkit's tree dump
//   tap TEXT               taps the view or the page's link or button showing TEXT (views before the page,
//                          an exact match before a part of the text)
//   type TEXT | delete [N] | paste TEXT | return
//                          keys for the text input that has the keyboard: a native field, or the field of
//                          a page that a tap gave the focus (the page sees them as typing: UIWebView.h)
//   pull                   pulls the visible scroll view (a page's too) down by 100 points and lets go
//   scroll PAGE            swipes the visible pager to PAGE (0 is the first), one page a swipe
//   js SCRIPT              runs SCRIPT in the visible page and prints its result
//   link TEXT              follows the visible page's link whose text (or else address) is TEXT
//   shot FILE              writes what the visible page shows as a PNG file (nothing else is drawn)
//   button N | button TEXT answers the visible dialog by the index it shows or by title
//   push JSON              a remote notification arrives (the payload must be a JSON object)
//   state active|inactive|background
//   token HEX | token-fail TEXT
//                          answers the pending remote-notification registration
//   wait SECONDS           lets time pass (under a manual clock given in Config, advances it)
//   help | quit
//
// Taps. `tap` (and `button` on the HUD's dialogs) touches the view at its centre through hit testing, as a
// finger would. The toolkit records constraints but solves none, so a view placed only by constraints (or
// inside a superview that is) has no size and no point is inside it; such a view is touched directly
// instead (touch down, then touch up inside) when a person could touch it: shown, user interaction on all
// the way up to its window, no disabled control on the way, and no window above (a dialog, the HUD) taking
// the touch at its place. DeviceViews::tapPath holds the rule.
//
// Comments: text from a "#" that stands alone (whitespace before and after it) to the end of the line is
// left out, so a line copied from a walk with its comment runs as it is; a line that starts with "#" is
// skipped.
//
// Output of one command: "> command" when the command came from a script or a pipe, the command's result
// line(s), then the screen; a failed command prints a single "error: ..." line instead, and the device goes
// on. Each block ends with an empty line. A line longer than kDeviceMaxLineBytes is refused whole, and an
// error quotes at most the first kDeviceQuoteLimit characters of what it was given.
//
// What passes: tips, dialogs, banners and the end of page loads are printed as they appear, a line each
// (DeviceWatch.h): during a command among its result lines, and between commands read from a pipe or a
// terminal on their own, within a fraction of a second.
//
// After every command the device lets the screen settle: it runs the main loop until nothing is left to do
// (with a page on screen: nothing for 0.25 s, as the page's engine works beside the loop) or 0.5 s of real
// time have passed, and on while a page loads (or has not shown its first page yet), the HUD shows its
// loading indicator or a screen is on its way in or out, for at most 10 s in all. Unless told otherwise it
// then answers a pending remote-notification registration with the sandbox's device token (DeviceToken.h).
// `tap` waits up to 5 s for a page that is still loading to show its text; a loaded page is read as it
// stands.
//
// Threads. `execute` runs on the main thread. `attachToStdin` and `runScriptFile` read on a thread of their
// own and hand each line to the main queue, waiting until it has run (and the screen settled) before
// reading the next; at the end of the input the application is terminated. Destroying the device stops
// the reader within a fraction of a second.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class ManualClock;
class DeviceWatch;

// The longest command line the device takes, in bytes; a longer one is refused whole.
inline constexpr size_t kDeviceMaxLineBytes = 64 * 1024;
// How much of a line an error quotes, in characters.
inline constexpr size_t kDeviceQuoteLimit = 200;

class HeadlessDevice : public std::enable_shared_from_this<HeadlessDevice> {
  public:
    enum class AutoToken { Yes, No };
    enum class AtEnd { Quit, ReadInput };

    struct Config {
        AutoToken autoToken = AutoToken::Yes;
        // Where the output of commands read by `attachToStdin` and `runScriptFile` goes (main thread);
        // empty: standard output.
        std::function<void(const std::string&)> output;
        // The descriptor `attachToStdin` reads (tests hand it a pipe).
        int inputFd = 0;
        // Tests under a manual clock: `wait` and page swipes advance this clock.
        ManualClock* manualClock = nullptr;
    };

    static std::shared_ptr<HeadlessDevice> create(Config config);
    static std::shared_ptr<HeadlessDevice> create() { return create(Config{}); }
    ~HeadlessDevice();
    HeadlessDevice(const HeadlessDevice&) = delete;
    HeadlessDevice& operator=(const HeadlessDevice&) = delete;

    // Runs one command and lets the screen settle; returns what it printed (without the "> " echo).
    std::string execute(const std::string& line);

    // Starts reading commands from the input descriptor. False (and a console line) when already reading.
    bool attachToStdin();
    // Runs the commands of `path` (blank lines and lines starting with "#" are skipped), then quits or goes
    // on with the input descriptor. False (and a console line) when the file cannot be read or the device
    // is already reading.
    bool runScriptFile(const std::string& path, AtEnd atEnd = AtEnd::Quit);
    bool isReading() const { return reading_; }

    // The list of commands, as `help` prints it.
    static std::string helpText();

  private:
    struct Outcome {
        std::string text;  // result lines, each ending with "\n"
        bool failed = false;
        bool showScreen = true;
        bool settle = true;
        bool fullDump = false;  // the toolkit's tree dump after settling, instead of the screen

        static Outcome failure(std::string reason) { return {std::move(reason), true}; }
        // Printed as it is: no settling, no screen.
        static Outcome bare(std::string text) { return {std::move(text), false, false, false}; }
        static Outcome treeDump() { return {"", false, false, true, true}; }
    };
    using Handler = Outcome (HeadlessDevice::*)(const std::string& argument);
    struct Command {
        const char* name;
        const char* usage;
        const char* meaning;  // one line for `help`
        Handler handler;
    };
    static const std::vector<Command>& commands();

    explicit HeadlessDevice(Config config);

    // Commands (DeviceCommands.cpp).
    Outcome screen(const std::string& argument);
    Outcome tap(const std::string& argument);
    std::optional<Outcome> tapOnce(const std::string& text);  // nullopt: nothing shows `text`
    Outcome type(const std::string& argument);
    Outcome deleteBackward(const std::string& argument);
    Outcome paste(const std::string& argument);
    Outcome pressReturn(const std::string& argument);
    Outcome pull(const std::string& argument);
    Outcome scroll(const std::string& argument);
    Outcome js(const std::string& argument);
    Outcome link(const std::string& argument);
    Outcome shot(const std::string& argument);
    Outcome button(const std::string& argument);
    Outcome push(const std::string& argument);
    Outcome state(const std::string& argument);
    Outcome token(const std::string& argument);
    Outcome tokenFail(const std::string& argument);
    Outcome wait(const std::string& argument);
    Outcome help(const std::string& argument);
    Outcome quit(const std::string& argument);

    // `text` in quotes for an error line: its first kDeviceQuoteLimit characters, then "…" when cut.
    static std::string quoted(std::string_view text);
    // The reason no key can be typed now, or "": a native field or a page's focused field has the keyboard.
    static std::string keyboardMissing();

    // Lets time pass: the manual clock advances, or the main loop runs for `seconds` of real time.
    void passTime(double seconds);
    // Runs the main loop until the screen is still (see above); returns notes to print.
    std::string settle();
    std::string answerRegistration();

    // The reader thread.
    bool startReading(std::vector<std::string> scriptLines, bool readInput);
    void readLoop(std::vector<std::string> scriptLines, bool readInput, bool echoInput);
    // Hands one line to the main queue and waits until it has run; false once the device or the
    // application is shutting down.
    bool submit(const std::string& line, bool echo);
    void emit(const std::string& text);
    // Prints what appeared while no command ran (from the reader thread; one look queued at a time).
    void lookBetweenCommands();

    Config config_;
    std::unique_ptr<DeviceWatch> watch_;  // main thread
    std::atomic<bool> looking_{false};    // a look between commands is queued
    std::thread reader_;
    std::atomic<bool> reading_{false};
    std::atomic<bool> stopping_{false};
};
