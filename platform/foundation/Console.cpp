#include "platform/foundation/Console.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Process.h"

struct Console::Capture::State {
    std::vector<std::string> lines;
};

namespace {

std::mutex& sinkMutex() {
    static auto* m = new std::mutex;
    return *m;
}
// The line lists of live captures, oldest first; the last one receives the lines.
std::vector<std::vector<std::string>*>& captures() {
    static auto* list = new std::vector<std::vector<std::string>*>;
    return *list;
}

// "2026-12-06 21:15:36.123" in the local time zone.
std::string timestamp(Date now) {
    double unix = now.unixTime();
    if (!std::isfinite(unix)) unix = 0;
    double whole = std::floor(unix);
    int millis = std::clamp(int((unix - whole) * 1000), 0, 999);
    time_t t = static_cast<time_t>(whole);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

// One write call for the whole line where the kernel allows, so that lines from threads do not mix.
void writeToStandardError(const std::string& line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report it
        }
        p += n;
        left -= size_t(n);
    }
}

// A text that spans lines (a dictionary's or an error's description) goes out on one line: each line break
// and the indentation after it become one space, so that every console line starts with its time stamp.
std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && std::isspace(static_cast<unsigned char>(text[i + 1]))) ++i;
        if (i + 1 < text.size()) out += ' ';
    }
    return out;
}

}  // namespace

void NSLog(const std::string& text) {
    {
        std::lock_guard lock(sinkMutex());
        if (!captures().empty()) {
            captures().back()->push_back(text);
            return;
        }
    }
    std::string line = timestamp(Clock::now()) + " " + ProcessInfo::processName() + "[" +
                       std::to_string(ProcessInfo::processIdentifier()) + ":" +
                       std::to_string(ProcessInfo::threadId()) + "] " + oneLine(text) + "\n";
    writeToStandardError(line);
}

namespace Console {

Capture::Capture() : state_(new State) {
    std::lock_guard lock(sinkMutex());
    captures().push_back(&state_->lines);
}

Capture::~Capture() {
    {
        std::lock_guard lock(sinkMutex());
        auto& list = captures();
        list.erase(std::remove(list.begin(), list.end(), &state_->lines), list.end());
    }
    delete state_;
}

std::vector<std::string> Capture::lines() const {
    std::lock_guard lock(sinkMutex());
    return state_->lines;
}

bool Capture::contains(const std::string& fragment) const {
    std::lock_guard lock(sinkMutex());
    return std::any_of(state_->lines.begin(), state_->lines.end(),
                       [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
}

}  // namespace Console
