#include "platform/foundation/Process.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

namespace ProcessInfo {

namespace {
// The kernel keeps 15 bytes of a thread name; the full name stays here for `threadName`.
thread_local std::string tlsThreadName;

std::string readExecutableName() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        std::string path(buf, size_t(n));
        // A replaced executable reads as "/path/name (deleted)".
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        auto slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!name.empty()) return name;
    }
    return program_invocation_short_name ? program_invocation_short_name : "";
}
}  // namespace

std::string processName() {
    static const std::string* name = new std::string(readExecutableName());
    return *name;
}

int processIdentifier() {
    return static_cast<int>(getpid());
}

namespace {
// Read once per thread: loggers ask for it on every record. A forked child's only thread drops the copy
// it inherited.
thread_local uint64_t tlsThreadId = 0;
}  // namespace

uint64_t threadId() {
    if (tlsThreadId == 0) {
        static std::once_flag atFork;
        std::call_once(atFork, [] { pthread_atfork(nullptr, nullptr, [] { tlsThreadId = 0; }); });
        tlsThreadId = static_cast<uint64_t>(syscall(SYS_gettid));
    }
    return tlsThreadId;
}

void setThreadName(const std::string& name) {
    tlsThreadName = name;
    // Cut at a character boundary so that the kernel's copy stays valid UTF-8.
    size_t cut = std::min<size_t>(name.size(), 15);
    while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    pthread_setname_np(pthread_self(), name.substr(0, cut).c_str());
}

std::string threadName() {
    return tlsThreadName;
}

unsigned processorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return unsigned(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

std::string environment(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
}

}  // namespace ProcessInfo

namespace {

// "en_US.UTF-8" -> "en-US", "zh_CN@x" -> "zh-CN", "C" / "POSIX" -> "en"; "" for something that is no tag.
std::string languageTag(std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return locale.empty() ? "" : "en";
    for (char& c : locale) {
        if (c == '_') c = '-';
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return "";
    }
    if (locale.front() == '-' || locale.back() == '-') return "";
    return locale;
}

std::mutex& profileMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::optional<DeviceProfile>& overrideProfile() {
    static auto* p = new std::optional<DeviceProfile>;
    return *p;
}
std::optional<DeviceProfile>& defaultProfile() {
    static auto* p = new std::optional<DeviceProfile>;
    return *p;
}

DeviceProfile readDefaults() {
    DeviceProfile profile;
    using ProcessInfo::environment;
    profile.preferredLanguages = DeviceProfile::languagesFromLocale(
        environment("LANGUAGE"), environment("LC_ALL"), environment("LC_MESSAGES"), environment("LANG"));
    return profile;
}

}  // namespace

std::vector<std::string> DeviceProfile::languagesFromLocale(const std::string& language,
                                                            const std::string& lcAll,
                                                            const std::string& lcMessages,
                                                            const std::string& lang) {
    std::vector<std::string> out;
    auto add = [&](const std::string& locale) {
        std::string tag = languageTag(locale);
        if (!tag.empty() && std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(tag);
    };
    // LANGUAGE is a colon-separated preference list and wins; otherwise the first locale variable set.
    for (size_t b = 0; b <= language.size();) {
        size_t e = language.find(':', b);
        if (e == std::string::npos) e = language.size();
        add(language.substr(b, e - b));
        b = e + 1;
    }
    if (out.empty()) {
        for (const std::string* v : {&lcAll, &lcMessages, &lang}) {
            if (!v->empty()) {
                add(*v);
                break;
            }
        }
    }
    if (out.empty()) out.push_back("en");
    return out;
}

DeviceProfile DeviceProfile::current() {
    std::lock_guard lock(profileMutex());
    if (overrideProfile()) return *overrideProfile();
    if (!defaultProfile()) defaultProfile() = readDefaults();
    return *defaultProfile();
}

void DeviceProfile::set(const DeviceProfile& profile) {
    std::lock_guard lock(profileMutex());
    overrideProfile() = profile;
}

void DeviceProfile::reset() {
    std::lock_guard lock(profileMutex());
    overrideProfile().reset();
    defaultProfile() = readDefaults();
}
