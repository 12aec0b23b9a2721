#include "platform/foundation/Sandbox.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <optional>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Process.h"

namespace Sandbox {

namespace {

std::mutex& homeMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::optional<std::string>& chosenHome() {
    static auto* home = new std::optional<std::string>;
    return *home;
}

std::string userHome() {
    std::string home = ProcessInfo::environment("HOME");
    if (!home.empty()) return home;
    struct passwd pw;
    struct passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/tmp";
}

std::string defaultHome() {
    std::string explicitHome = ProcessInfo::environment("QUORVANE_HOME");
    if (!explicitHome.empty()) return explicitHome;
    std::string xdg = ProcessInfo::environment("XDG_DATA_HOME");
    // The XDG rules ignore a relative path.
    if (!xdg.empty() && xdg.front() == '/') return xdg + "/quorvane";
    return userHome() + "/.local/share/quorvane";
}

std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Made on first use; a failure shows later as a clear error from whatever uses the directory.
std::string ensured(const std::string& path) {
    NSFileManager::defaultManager()->createDirectoryAtPath(path, NSFileManager::Intermediates::Yes);
    return path;
}

}  // namespace

std::string home() {
    std::lock_guard lock(homeMutex());
    if (!chosenHome()) chosenHome() = trimmed(defaultHome());
    return ensured(*chosenHome());
}

void setHome(const std::string& path) {
    {
        std::lock_guard lock(homeMutex());
        chosenHome() = trimmed(path);
    }
    documentsDirectory();
    cachesDirectory();
    preferencesDirectory();
    temporaryDirectory();
}

void resetHome() {
    std::lock_guard lock(homeMutex());
    chosenHome().reset();
}

std::string documentsDirectory() {
    return ensured(home() + "/Documents");
}
std::string cachesDirectory() {
    return ensured(home() + "/Library/Caches");
}
std::string preferencesDirectory() {
    return ensured(home() + "/Library/Preferences");
}
std::string temporaryDirectory() {
    return ensured(home() + "/tmp");
}

}  // namespace Sandbox
