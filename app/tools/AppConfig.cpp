#include "app/tools/AppConfig.h"

#include <mutex>
#include <optional>

#include "platform/foundation/Console.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/TextUtil.h"

namespace {

struct Settings {
    std::mutex mutex;
    std::optional<std::string> baseURL;  // unset: read the environment / build-time host on next use
};

Settings& settings() {
    static Settings* shared = new Settings();  // never destroyed: read until the process ends
    return *shared;
}

std::string buildTimeBaseURL() {
    return std::string("http://") + kAppBackendHost + ":" + kAppBackendPort;
}

// The base URL that `text` names, or nullopt (with the reason in `why`).
std::optional<std::string> checkedBaseURL(std::string text, std::string* why) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    auto url = NSURL::URLWithString(text);
    if (!url) {
        *why = "it is not a URL";
        return std::nullopt;
    }
    const std::string scheme = TextUtil::toLowerASCII(url->scheme());
    if (scheme != "http" && scheme != "https") {
        *why = "its scheme is not http or https";
        return std::nullopt;
    }
    if (url->host().empty()) {
        *why = "it has no host";
        return std::nullopt;
    }
    return text;
}

std::string fromEnvironment() {
    const std::string value = ProcessInfo::environment(kAppBackendEnvironmentVariable);
    if (value.empty()) return buildTimeBaseURL();
    std::string candidate = value;
    if (value.find("://") == std::string::npos) {
        candidate = "http://" + value + ":" + kAppBackendPort;
    }
    std::string why;
    if (auto checked = checkedBaseURL(candidate, &why)) return *checked;
    NSLog(std::string("AppConfig: ") + kAppBackendEnvironmentVariable + "=\"" + value + "\" ignored (" + why +
          "); using " + buildTimeBaseURL());
    return buildTimeBaseURL();
}

int effectivePort(const NSURL& url) {
    if (auto port = url.port()) return *port;
    return TextUtil::toLowerASCII(url.scheme()) == "https" ? 443 : 80;
}

}  // namespace

namespace AppConfig {

std::string baseURL() {
    Settings& s = settings();
    std::lock_guard lock(s.mutex);
    if (!s.baseURL) s.baseURL = fromEnvironment();
    return *s.baseURL;
}

std::string startPageURL() {
    return baseURL() + kAppStartPagePath;
}

bool setBaseURL(const std::string& url, std::string* why) {
    std::string reason;
    auto checked = checkedBaseURL(url, &reason);
    if (!checked) {
        if (why)
            *why = reason;
        else
            NSLog("AppConfig: base URL \"" + url + "\" refused (" + reason + "); keeping " + baseURL());
        return false;
    }
    Settings& s = settings();
    std::lock_guard lock(s.mutex);
    s.baseURL = *checked;
    return true;
}

void resetBaseURL() {
    Settings& s = settings();
    std::lock_guard lock(s.mutex);
    s.baseURL.reset();
}

bool isBackendOrigin(const std::string& url) {
    auto page = NSURL::URLWithString(url);
    auto base = NSURL::URLWithString(baseURL());
    if (!page || !base || page->host().empty()) return false;
    return TextUtil::toLowerASCII(page->scheme()) == TextUtil::toLowerASCII(base->scheme()) &&
           TextUtil::toLowerASCII(page->host()) == TextUtil::toLowerASCII(base->host()) &&
           effectivePort(*page) == effectivePort(*base);
}

}  // namespace AppConfig
