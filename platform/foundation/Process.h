// Facts about the running process and the device it stands on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ProcessInfo {
std::string processName();  // the executable's file name
int processIdentifier();
uint64_t threadId();  // the kernel's id of the calling thread
void setThreadName(const std::string& name);
std::string threadName();  // "" when none was set
unsigned processorCount();
// The environment variable, or "" when unset.
std::string environment(const std::string& name);
}  // namespace ProcessInfo

// What the phone would report about itself. Tests may replace it with `DeviceProfile::set`.
struct DeviceProfile {
    std::string model = "iPhone";
    std::string systemName = "iOS";
    std::string systemVersion = "9.3";
    double screenWidth = 375;
    double screenHeight = 667;
    double screenScale = 2;
    // Preferred languages in order, e.g. {"en-US", "zh-Hans-CN"}; by default from LANGUAGE / LC_ALL /
    // LC_MESSAGES / LANG ("en_US.UTF-8" becomes "en-US"), else {"en"}.
    std::vector<std::string> preferredLanguages;

    // The language list the locale variables give, as found in the environment ("" when unset).
    static std::vector<std::string> languagesFromLocale(const std::string& language, const std::string& lcAll,
                                                        const std::string& lcMessages,
                                                        const std::string& lang);

    static DeviceProfile current();
    static void set(const DeviceProfile& profile);
    static void reset();  // back to the defaults read from the environment
};
