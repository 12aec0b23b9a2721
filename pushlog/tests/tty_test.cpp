#include "pushlog/tests/PushLogTestSupport.h"

#include <fcntl.h>
#include <signal.h>

#include <regex>

#include "platform/foundation/Process.h"
#include "pushlog/PUSHASLLogger.h"
#include "pushlog/PUSHCustomFormatter.h"
#include "pushlog/PUSHFileLogger.h"
#include "pushlog/PUSHLogSetup.h"
#include "pushlog/PUSHTTYLogger.h"

namespace {

UIColorPtr rgb(int r, int g, int b) {
    return UIColor::colorWithRed(r / 255.0, g / 255.0, b / 255.0, 1);
}

// Gives the text back in brackets, or the record's own text for "own"; drops "drop".
std::shared_ptr<PUSHLogFormatter> brackets() {
    return std::make_shared<FunctionFormatter>([](const PUSHLogMessage& m) {
        if (m.message() == "own") return PUSHLogFormatResult::original();
        if (m.message() == "drop") return PUSHLogFormatResult::drop();
        return PUSHLogFormatResult::text("<" + m.message() + ">");
    });
}

// Both ends non-blocking: the logger meets short writes, and reading never waits.
struct Pipe {
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() { close(fds[0]), close(fds[1]); }
    std::string drain() {
        std::string out;
        char buffer[8192];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, size_t(n));
        return out;
    }
    int fds[2] = {-1, -1};
};

class TTYTest : public ::testing::Test {
  protected:
    void TearDown() override {
        PUSHLog::removeAllLoggers();
        PUSHLog::allLoggers();
    }
    // A registered console logger on the pipe; settings and records pass the same queues.
    std::shared_ptr<PUSHTTYLogger> logger(PUSHTTYColorScheme scheme, bool formatted = true) {
        auto tty = PUSHTTYLogger::create(pipe_.fds[1], std::move(scheme));
        if (formatted) tty->setLogFormatter(brackets());
        PUSHLog::addLogger(tty);
        return tty;
    }
    std::string line(uint32_t flag, const std::string& text, int32_t context = 0,
                     const Value& tag = Value()) {
        PUSHLog::log(false, text, 31, flag, context, "f.m", "fn", 1, tag);
        return pipe_.drain();
    }
    Pipe pipe_;
};

TEST(TTYColorSchemeTest, ModeFromTheEnvironment) {
    // CONSOLE_COLORS, TERM, the mode and the palette size.
    const std::tuple<const char*, const char*, PUSHTTYColorMode, size_t> cases[] = {
        {"", "xterm-256color", PUSHTTYColorMode::Palette, 240},
        {"", "XTERM-COLOR", PUSHTTYColorMode::Palette, 16},
        {"", "xterm", PUSHTTYColorMode::None, 0},
        {"", "", PUSHTTYColorMode::None, 0},
        {"YES", "xterm-256color", PUSHTTYColorMode::RGB, 0},
        {"yes", "xterm-color", PUSHTTYColorMode::Palette, 16},
    };
    for (const auto& [colors, term, mode, palette] : cases) {
        auto scheme = PUSHTTYColorScheme::fromEnvironment(colors, term);
        EXPECT_EQ(std::pair(scheme.mode(), scheme.paletteSize()), std::pair(mode, palette))
            << colors << "/" << term;
    }
}

TEST_F(TTYTest, BytesForEachColourMode) {
    const std::pair<PUSHTTYColorScheme, const char*> cases[] = {
        {PUSHTTYColorScheme::initialize_colors_16(), "\x1b[1;31m<e>\n\x1b[0m"},
        {PUSHTTYColorScheme::initialize_colors_256(), "\x1b[38;5;160m<e>\n\x1b[0m"},
        {PUSHTTYColorScheme::rgb(), "\x1b[fg255,0,0;<e>\n\x1b[;"},
        {PUSHTTYColorScheme::none(), "<e>\n"},
    };
    for (const auto& [scheme, expected] : cases) {
        auto tty = logger(scheme);
        tty->setForegroundColor(rgb(255, 0, 0), nullptr, PUSHLogFlagError);
        EXPECT_EQ(line(1, "e"), "<e>\n");  // colours still off
        tty->setColorsEnabled(true);
        EXPECT_EQ(line(1, "e"), expected);
        EXPECT_EQ(line(4, "i"), "<i>\n");  // no profile for info
        PUSHLog::removeLogger(tty);
    }
}

TEST_F(TTYTest, ProfileChoiceByContextMaskAndTag) {
    auto tty = logger(PUSHTTYColorScheme::initialize_colors_16());
    tty->setColorsEnabled(true);
    tty->setForegroundColor(rgb(255, 0, 0), nullptr, 1, 5);  // entry 9
    tty->setForegroundColor(rgb(0, 255, 0), nullptr, 1);     // entry 10, every context
    EXPECT_EQ(line(1, "a", 5), "\x1b[1;31m<a>\n\x1b[0m");
    EXPECT_EQ(line(1, "a", 3), "\x1b[1;32m<a>\n\x1b[0m");

    tty->clearAllColors();
    tty->setForegroundColor(rgb(0, 255, 0), nullptr, 3);  // entry 10, every context
    tty->setForegroundColor(rgb(255, 0, 0), nullptr, 1);  // entry 9, every context, later in the list
    EXPECT_EQ(line(1, "b"), "\x1b[1;31m<b>\n\x1b[0m");
    tty->setForegroundColor(rgb(0, 0, 0), nullptr, 3);  // replaced in place: still before mask 1
    EXPECT_EQ(line(1, "b"), "\x1b[1;31m<b>\n\x1b[0m");
    EXPECT_EQ(line(2, "b"), "\x1b[30m<b>\n\x1b[0m");

    tty->setForegroundColor(rgb(88, 51, 255), nullptr, Value("net"));  // entry 12
    EXPECT_EQ(line(1, "t", 0, Value("net")), "\x1b[1;34m<t>\n\x1b[0m");
    EXPECT_EQ(line(1, "t", 0, Value("other")), "\x1b[1;31m<t>\n\x1b[0m");
    tty->clearColorsForTag(Value("net"));
    EXPECT_EQ(line(1, "t", 0, Value("net")), "\x1b[1;31m<t>\n\x1b[0m");

    tty->clearColorsForFlag(1);  // context 0: the all-contexts profile stays
    EXPECT_EQ(line(1, "c"), "\x1b[1;31m<c>\n\x1b[0m");
    tty->clearColorsForFlag(1, PUSHTTYAnyContext);
    EXPECT_EQ(line(1, "c"), "\x1b[30m<c>\n\x1b[0m");
    tty->clearColorsForAllFlags();
    EXPECT_EQ(line(1, "c"), "<c>\n");
}

TEST_F(TTYTest, UnformattedLinesAndNewlines) {
    auto tty = logger(PUSHTTYColorScheme::none());
    const std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} )" + ProcessInfo::processName() +
                               R"(\[)" + std::to_string(getpid()) + R"(:[0-9a-f]{1,8}\] )";
    EXPECT_TRUE(std::regex_match(line(1, "own"), std::regex(prefix + "own\n")))
        << "formatter gave the record's text";
    EXPECT_TRUE(std::regex_match(line(1, "ends\n"), std::regex("<ends\n>\n")));
    EXPECT_EQ(line(1, "drop"), "");
    PUSHLog::removeLogger(tty);

    auto plain = logger(PUSHTTYColorScheme::none(), false);
    EXPECT_TRUE(std::regex_match(line(1, "text\n"), std::regex(prefix + "text\n")));
    EXPECT_TRUE(std::regex_match(line(1, ""), std::regex(prefix + "\n")));
    PUSHLog::removeLogger(plain);

    auto noNewline = logger(PUSHTTYColorScheme::none());
    noNewline->setAutomaticallyAppendNewlineForCustomFormatters(false);
    EXPECT_EQ(line(1, "a"), "<a>");
}

TEST_F(TTYTest, LongLinesSurviveShortWritesWholeAndAClosedReaderIsAFailedWrite) {
    auto tty = logger(PUSHTTYColorScheme::initialize_colors_16());
    tty->setForegroundColor(rgb(255, 0, 0), nullptr, 1);
    tty->setColorsEnabled(true);
    const std::string big(300000, 'q'), expected = "\x1b[1;31m<" + big + ">\n\x1b[0m";
    PUSHLog::log(true, big, 31, 1, 0, "f", "fn", 1, Value());
    std::string received;
    EXPECT_TRUE(eventually([&] { return (received += pipe_.drain()).size() >= expected.size(); }, 20));
    EXPECT_EQ(received, expected);

    // With no reader left, a write fails instead of ending the process.
    PUSHLog::removeLogger(tty);
    ::signal(SIGPIPE, SIG_DFL);
    close(pipe_.fds[0]);
    pipe_.fds[0] = -1;
    logger(PUSHTTYColorScheme::none());
    line(1, "nobody reads this");
    line(1, "nor this");
    struct sigaction action {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST(PUSHLogSetupTest, RegistersTheSharedLoggersOnce) {
    // The file logger fixes its directory when it is made, so give it a sandbox of its own.
    TempDir home;
    Sandbox::setHome(home.path());
    PUSHLog::removeAllLoggers();
    static bool setUpBefore = false;  // by an earlier run of this test (--gtest_repeat)
    PUSHLogSetup();
    PUSHLogSetup();
    auto loggers = PUSHLog::allLoggers();
    if (std::exchange(setUpBefore, true)) {
        EXPECT_TRUE(loggers.empty()) << "the set-up runs once per process";
        return;
    }
    ASSERT_EQ(loggers.size(), 3u);
    EXPECT_TRUE(std::dynamic_pointer_cast<PUSHFileLogger>(loggers[0]));
    EXPECT_EQ(loggers[1], PUSHLoggerPtr(PUSHASLLogger::sharedInstance()));
    EXPECT_EQ(loggers[2], PUSHLoggerPtr(PUSHTTYLogger::sharedInstance()));
    // One formatter serves all three (each read passes its logger's queue, so the count is settled).
    auto formatter = std::dynamic_pointer_cast<PUSHCustomFormatter>(loggers[0]->logFormatter());
    ASSERT_TRUE(formatter);
    EXPECT_EQ(std::pair(loggers[1]->logFormatter(), loggers[2]->logFormatter()),
              std::pair(PUSHLogFormatterPtr(formatter), PUSHLogFormatterPtr(formatter)));
    EXPECT_EQ(formatter->loggerCount(), 3);
    EXPECT_TRUE(PUSHTTYLogger::sharedInstance()->colorsEnabled());
    PUSHLogSetSharedLoggersLevel(PUSHLogLevelOff);  // registered again, not twice
    EXPECT_EQ(PUSHLog::allLoggers().size(), 3u);
    PUSHLog::removeAllLoggers();
    PUSHLog::allLoggers();
}

}  // namespace
