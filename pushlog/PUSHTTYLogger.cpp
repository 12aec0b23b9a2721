#include "pushlog/PUSHTTYLogger.h"

#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/foundation/Process.h"
#include "pushlog/PUSHLog.h"

namespace {

// Writes every byte of `pieces`, resuming after short writes, interruptions and a full pipe. Gives up only
// on a hard error or a descriptor that stays full; then it still tries to end the colouring.
void writeLine(int fd, iovec* pieces, int count, const std::string& reset) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
    size_t written = 0;
    int first = 0;
    while (written < total) {
        ssize_t n = ::writev(fd, pieces + first, count - first);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 1000) > 0) continue;
            }
            break;
        }
        written += size_t(n);
        size_t left = size_t(n);
        while (first < count && left >= pieces[first].iov_len) {
            left -= pieces[first].iov_len;
            ++first;
        }
        if (first < count) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    if (written < total && written > 0 && !reset.empty()) {
        [[maybe_unused]] ssize_t ignored = ::write(fd, reset.data(), reset.size());
    }
}

iovec piece(const std::string& text) {
    return iovec{const_cast<char*>(text.data()), text.size()};
}
iovec piece(const char* text, size_t length) {
    return iovec{const_cast<char*>(text), length};
}

const std::string kEmpty;

}  // namespace

PUSHTTYLogger::PUSHTTYLogger(int fileDescriptor, PUSHTTYColorScheme scheme)
    : PUSHAbstractLogger("push.logging.ttyLogger"), fd_(fileDescriptor), scheme_(std::move(scheme)) {
    app_ = ProcessInfo::processName();
    if (app_.empty()) app_ = "<UnnamedApp>";
    pid_ = std::to_string(ProcessInfo::processIdentifier());
    colorProfilesArray_.reserve(8);
    colorProfilesDict_.reserve(8);
}

void PUSHLogIgnoreBrokenPipes() {
    // A handler the application installed stays; only the default, which ends the process, is replaced.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGPIPE, SIG_IGN);
}

std::shared_ptr<PUSHTTYLogger> PUSHTTYLogger::create(int fileDescriptor, PUSHTTYColorScheme scheme) {
    PUSHLogIgnoreBrokenPipes();
    return std::shared_ptr<PUSHTTYLogger>(new PUSHTTYLogger(fileDescriptor, std::move(scheme)));
}

std::shared_ptr<PUSHTTYLogger> PUSHTTYLogger::sharedInstance() {
    static auto* shared = new std::shared_ptr<PUSHTTYLogger>(
        create(STDERR_FILENO, PUSHTTYColorScheme::fromEnvironment(ProcessInfo::environment("ConsoleColors"),
                                                                  ProcessInfo::environment("TERM"))));
    return *shared;
}

std::shared_ptr<PUSHTTYLogger> PUSHTTYLogger::self() {
    return std::static_pointer_cast<PUSHTTYLogger>(shared_from_this());
}

void PUSHTTYLogger::onQueue(std::function<void(PUSHTTYLogger&)> change) {
    auto logger = self();
    runInOrder(RunHere::WhenOnLoggerQueue, [logger, change = std::move(change)] { change(*logger); });
}

bool PUSHTTYLogger::colorsEnabled() {
    bool enabled = false;
    readInOrder([&] { enabled = colorsEnabled_.load(); });
    return enabled;
}

void PUSHTTYLogger::setColorsEnabled(bool enabled) {
    auto logger = self();
    runInOrder(RunHere::Never, [logger, enabled] {
        logger->colorsEnabled_ = enabled;
        if (logger->colorProfilesArray_.empty()) logger->loadDefaultColorProfiles();
    });
}

void PUSHTTYLogger::setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background,
                                       uint32_t flag) {
    setForegroundColor(foreground, background, flag, PUSHTTYAnyContext);
}

void PUSHTTYLogger::setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background,
                                       uint32_t flag, int32_t context) {
    onQueue([foreground, background, flag, context](PUSHTTYLogger& logger) {
        auto profile = PUSHTTYLoggerColorProfile::initWithForegroundColor(foreground, background, flag,
                                                                          context, logger.scheme_);
        if (!profile) return;
        auto& list = logger.colorProfilesArray_;
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const auto& p) { return p->mask() == flag && p->context() == context; });
        if (it != list.end()) {
            *it = profile;
        } else {
            list.push_back(profile);
        }
    });
}

void PUSHTTYLogger::setForegroundColor(const UIColorPtr& foreground, const UIColorPtr& background,
                                       const Value& tag) {
    if (tag.isNull()) return;  // no tag, nothing to key the profile by
    onQueue([foreground, background, tag](PUSHTTYLogger& logger) {
        auto profile =
            PUSHTTYLoggerColorProfile::initWithForegroundColor(foreground, background, 0, 0, logger.scheme_);
        if (!profile) return;
        auto& map = logger.colorProfilesDict_;
        auto it = std::find_if(map.begin(), map.end(), [&](const auto& entry) { return entry.first == tag; });
        if (it != map.end()) {
            it->second = profile;
        } else {
            map.emplace_back(tag, profile);
        }
    });
}

void PUSHTTYLogger::clearColorsForFlag(uint32_t flag) {
    clearColorsForFlag(flag, 0);
}

void PUSHTTYLogger::clearColorsForFlag(uint32_t flag, int32_t context) {
    onQueue([flag, context](PUSHTTYLogger& logger) {
        auto& list = logger.colorProfilesArray_;
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const auto& p) { return p->mask() == flag && p->context() == context; });
        if (it != list.end()) list.erase(it);
    });
}

void PUSHTTYLogger::clearColorsForTag(const Value& tag) {
    onQueue([tag](PUSHTTYLogger& logger) {
        auto& map = logger.colorProfilesDict_;
        map.erase(
            std::remove_if(map.begin(), map.end(), [&](const auto& entry) { return entry.first == tag; }),
            map.end());
    });
}

void PUSHTTYLogger::clearColorsForAllFlags() {
    onQueue([](PUSHTTYLogger& logger) { logger.colorProfilesArray_.clear(); });
}

void PUSHTTYLogger::clearColorsForAllTags() {
    onQueue([](PUSHTTYLogger& logger) { logger.colorProfilesDict_.clear(); });
}

void PUSHTTYLogger::clearAllColors() {
    onQueue([](PUSHTTYLogger& logger) {
        logger.colorProfilesArray_.clear();
        logger.colorProfilesDict_.clear();
    });
}

void PUSHTTYLogger::loadDefaultColorProfiles() {
    setForegroundColor(UIColor::colorWithRed(214 / 255.0, 57 / 255.0, 30 / 255.0, 1), nullptr,
                       PUSHLogFlagError);
    setForegroundColor(UIColor::colorWithRed(204 / 255.0, 121 / 255.0, 32 / 255.0, 1), nullptr,
                       PUSHLogFlagWarning);
}

const PUSHTTYLoggerColorProfile* PUSHTTYLogger::profileFor(const PUSHLogMessage& message) const {
    if (!message.tag().isNull()) {
        for (const auto& [tag, profile] : colorProfilesDict_) {
            if (tag == message.tag()) return profile.get();
        }
    }
    const PUSHTTYLoggerColorProfile* candidate = nullptr;
    for (const auto& profile : colorProfilesArray_) {
        if ((profile->mask() & message.flag()) == 0) continue;
        if (profile->context() == message.context()) return profile.get();
        if (profile->context() == PUSHTTYAnyContext) candidate = profile.get();
    }
    return candidate;
}

void PUSHTTYLogger::logMessage(const PUSHLogMessagePtr& message) {
    const auto& formatter = formatterOnQueue();
    const PUSHLogFormatResult result =
        formatter ? formatter->formatLogMessage(*message) : PUSHLogFormatResult::original();
    if (result.kind() == PUSHLogFormatResult::Kind::Drop) return;
    const bool formatted = result.kind() == PUSHLogFormatResult::Kind::Text;
    const std::string& text = result.textFor(*message);

    const PUSHTTYLoggerColorProfile* profile =
        colorsEnabled_.load(std::memory_order_relaxed) ? profileFor(*message) : nullptr;
    const std::string& fg = profile ? profile->fgCode() : kEmpty;
    const std::string& bg = profile ? profile->bgCode() : kEmpty;
    const std::string& reset = profile ? profile->resetCode() : kEmpty;
    const size_t newlineLength = (text.empty() || text.back() != '\n') ? 1 : 0;

    iovec pieces[13];
    int count = 0;
    pieces[count++] = piece(fg);
    pieces[count++] = piece(bg);
    if (formatted) {
        pieces[count++] = piece(text);
        if (appendNewline_.load(std::memory_order_relaxed)) pieces[count++] = piece("\n", newlineLength);
        pieces[count++] = piece(reset);
        writeLine(fd_, pieces, count, reset);
        return;
    }

    char stamp[24];
    const double unixTime = message->timestamp().unixTime();
    const long long micros = std::llround(unixTime * 1e6);
    time_t seconds = time_t(micros / 1000000);
    int millis = int((micros % 1000000) / 1000);
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    struct tm local {};
    localtime_r(&seconds, &local);
    int stampLength = std::snprintf(stamp, sizeof stamp, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                                    long(local.tm_year + 1900), long(local.tm_mon + 1), long(local.tm_mday),
                                    long(local.tm_hour), long(local.tm_min), long(local.tm_sec), millis);
    char thread[9];
    int threadLength = std::snprintf(thread, sizeof thread, "%s", message->threadID().c_str());

    pieces[count++] = piece(stamp, size_t(std::clamp(stampLength, 0, 23)));
    pieces[count++] = piece(" ", 1);
    pieces[count++] = piece(app_);
    pieces[count++] = piece("[", 1);
    pieces[count++] = piece(pid_);
    pieces[count++] = piece(":", 1);
    pieces[count++] = piece(thread, size_t(std::clamp(threadLength, 0, 8)));
    pieces[count++] = piece("] ", 2);
    pieces[count++] = piece(text);
    pieces[count++] = piece("\n", newlineLength);
    pieces[count++] = piece(reset);
    writeLine(fd_, pieces, count, reset);
}
