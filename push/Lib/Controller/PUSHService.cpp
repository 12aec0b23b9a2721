#include "push/Lib/Controller/PUSHService.h"

#include <mutex>
#include <optional>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIApplication.h"
#include "push/Lib/Controller/PUSHClientLog.h"
#include "push/Lib/Controller/PUSHThread.h"
#include "pushlog/PUSHLogSetup.h"

namespace {

constexpr size_t kAppKeyLength = 24;
constexpr double kUserNotificationSettingsVersion = 8.0;
constexpr int kUnknownApplicationState = -1;

// The set-up flag, shared by every caller.
struct ServiceState {
    std::mutex mutex;
    bool setUp = false;
};

ServiceState& serviceState() {
    static ServiceState* state = new ServiceState();  // never destroyed: the client lives until exit
    return *state;
}

// What the client keeps; read and written on the push thread only.
struct ClientState {
    std::string appKey;
    std::string channel;
    bool apsForProduction = false;
    Value launchOptions;
    std::optional<Data> deviceToken;
};

ClientState& clientState() {
    static ClientState* state = new ClientState();
    return *state;
}

bool isValidAppKey(const std::string& key) {
    if (key.size() != kAppKeyLength) return false;
    for (char c : key) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

std::string hexString(const Data& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(data.length() * 2);
    for (uint8_t byte : data.span()) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0f]);
    }
    return hex;
}

// Logs the ignored call and answers false when the client is not set up yet.
bool requireSetUp(const char* selector) {
    if (PUSHService::isSetUp()) return true;
    PUSHClientLogWarn("push client not set up, %@ ignored", selector);
    return false;
}

}  // namespace

void PUSHService::registerForRemoteNotificationTypes(unsigned long types, const Value& categories) {
    PUSHLogSetup();
    PUSHClientLogInfo("Action - registerForRemoteNotificationTypes:categories:");
    const double systemVersion = valuetext::parseDouble(DeviceProfile::current().systemVersion);
    PUSHClientLogDebug("notification types %lu, categories %@, system version %@", types, categories,
                       DeviceProfile::current().systemVersion);
    auto work = [types, categories, systemVersion] {
        auto application = UIApplication::sharedApplication();
        application->registerForRemoteNotifications();
        if (systemVersion >= kUserNotificationSettingsVersion) {
            application->registerUserNotificationSettings(
                UIUserNotificationSettings::settingsForTypes(types, categories));
        }
    };
    if (NSRunLoop::isMainThread()) {
        work();
    } else {
        DispatchQueue::main()->async(work);
    }
}

void PUSHService::setupWithOption(const Value& launchOptions, const std::string& appKey,
                                  const std::string& channel, bool apsForProduction) {
    PUSHLogSetup();
    PUSHClientLogInfo("Action - setupWithOption:appKey:channel:apsForProduction:");
    const bool validKey = isValidAppKey(appKey);
    bool alreadySetUp;
    {
        ServiceState& state = serviceState();
        std::lock_guard lock(state.mutex);
        alreadySetUp = state.setUp;
        if (!alreadySetUp && validKey) state.setUp = true;
    }
    if (alreadySetUp) {
        PUSHClientLogWarn("push client already set up, setupWithOption ignored");
        return;
    }
    if (!validKey) {
        PUSHClientLogError("invalid appKey:%@, expected 24 hexadecimal characters; push client not started",
                           appKey);
        return;
    }
    PUSHThread::shared().perform([launchOptions, appKey, channel, apsForProduction] {
        ClientState& client = clientState();
        client.appKey = appKey;
        client.channel = channel;
        client.apsForProduction = apsForProduction;
        client.launchOptions = launchOptions;
        PUSHClientLogInfo("push client started, appKey:%@ channel:%@ apsForProduction:%@", appKey, channel,
                          apsForProduction ? "YES" : "NO");
    });
}

void PUSHService::registerDeviceToken(const Data& deviceToken) {
    PUSHLogSetup();
    PUSHClientLogInfo("Action - registerDeviceToken:");
    if (!requireSetUp("registerDeviceToken:")) return;
    PUSHThread::shared().perform([deviceToken] {
        if (deviceToken.empty()) {
            PUSHClientLogError("empty device token ignored");
            return;
        }
        clientState().deviceToken = deviceToken;
        PUSHClientLogInfo("device token:%@", hexString(deviceToken));
    });
}

void PUSHService::handleRemoteNotification(const Value& payload) {
    PUSHLogSetup();
    PUSHClientLogInfo("Action - handleRemoteNotification:");
    if (!requireSetUp("handleRemoteNotification:")) return;
    // The state when the notification arrived; the application object belongs to the main thread.
    const int applicationState = NSRunLoop::isMainThread()
                                     ? int(UIApplication::sharedApplication()->applicationState())
                                     : kUnknownApplicationState;
    PUSHThread::shared().perform([payload, applicationState] {
        if (!payload.isDictionary()) {
            PUSHClientLogError("remote notification is not a dictionary, ignored: %@", payload);
            return;
        }
        PUSHClientLogInfo("remote notification:%@", payload);
        const Value* messageId = payload.find("_p_msgid");
        if (!messageId || messageId->isNull()) {
            PUSHClientLogWarn("remote notification without _p_msgid, application state:%d", applicationState);
            return;
        }
        PUSHClientLogInfo("message _p_msgid:%@ arrived, application state:%d", *messageId, applicationState);
    });
}

void PUSHService::setTags(const Value& tags, const Value& alias, PUSHTagsAliasCompletion completion) {
    PUSHLogSetup();
    PUSHClientLogInfo("Action - setTags:alias:fetchCompletionHandle:");
    // The client never registers with the push servers (their protocol is not part of this system), so
    // every request ends as "not registered"; the caller still gets its one answer.
    auto giveUp = [tags, alias, completion = std::move(completion)] {
        PUSHClientLogWarn("app not registed, give up set tag:%@ alias:%@", tags, alias);
        if (!completion) return;
        DispatchQueue::main()->async(
            [tags, alias, completion] { completion(kPUSHTagsAliasResultNotRegistered, tags, alias); });
    };
    if (!requireSetUp("setTags:alias:fetchCompletionHandle:")) {
        giveUp();
        return;
    }
    PUSHThread::shared().perform(std::move(giveUp));
}

bool PUSHService::isSetUp() {
    ServiceState& state = serviceState();
    std::lock_guard lock(state.mutex);
    return state.setUp;
}

bool PUSHService::waitUntilIdleForTesting(double timeoutSeconds) {
    return PUSHThread::shared().waitUntilIdle(timeoutSeconds);
}

bool PUSHService::resetForTesting(double timeoutSeconds) {
    if (!waitUntilIdleForTesting(timeoutSeconds)) return false;
    {
        ServiceState& state = serviceState();
        std::lock_guard lock(state.mutex);
        state.setUp = false;
    }
    PUSHThread::shared().perform([] { clientState() = ClientState(); });
    return waitUntilIdleForTesting(timeoutSeconds);
}
