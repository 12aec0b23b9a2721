#include "httpclient/HCNetworkReachabilityManager.h"

#include <netinet/in.h>

#include <atomic>

#include "httpclient/HCNetworkingStrings.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"

namespace {

constexpr const char* kStatusKey = "networkReachabilityStatus";

}  // namespace

HCNetworkReachabilityStatus HCNetworkReachabilityStatusForFlags(SCNetworkReachabilityFlags flags) {
    const bool reachable = flags & kSCNetworkReachabilityFlagsReachable;
    const bool needsConnection = flags & kSCNetworkReachabilityFlagsConnectionRequired;
    const bool connectsAutomatically = flags & (kSCNetworkReachabilityFlagsConnectionOnDemand |
                                                kSCNetworkReachabilityFlagsConnectionOnTraffic);
    const bool connectsWithoutUser =
        connectsAutomatically && !(flags & kSCNetworkReachabilityFlagsInterventionRequired);
    if (!reachable || (needsConnection && !connectsWithoutUser))
        return HCNetworkReachabilityStatus::NotReachable;
    return (flags & kSCNetworkReachabilityFlagsIsWWAN) ? HCNetworkReachabilityStatus::ReachableViaWWAN
                                                       : HCNetworkReachabilityStatus::ReachableViaWiFi;
}

// One run of monitoring, shared by its platform callback and its first query.
struct HCNetworkReachabilityManager::Session {
    std::atomic<bool> current{true};          // cleared when monitoring stops
    std::atomic<bool> changeReported{false};  // the platform has reported a change since the start
};

// ---- construction ----

std::shared_ptr<HCNetworkReachabilityManager> HCNetworkReachabilityManager::sharedManager() {
    static const auto* shared = new std::shared_ptr<HCNetworkReachabilityManager>(manager());
    return *shared;
}

std::shared_ptr<HCNetworkReachabilityManager> HCNetworkReachabilityManager::manager() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    return managerForAddress(reinterpret_cast<const sockaddr*>(&address));
}

std::shared_ptr<HCNetworkReachabilityManager> HCNetworkReachabilityManager::managerForDomain(
    const std::string& domain) {
    return create(SCNetworkReachabilityCreateWithName(domain));
}

std::shared_ptr<HCNetworkReachabilityManager> HCNetworkReachabilityManager::managerForAddress(
    const sockaddr* address) {
    return create(SCNetworkReachabilityCreateWithAddress(address));
}

std::shared_ptr<HCNetworkReachabilityManager> HCNetworkReachabilityManager::create(
    SCNetworkReachabilityPtr reachability) {
    return std::shared_ptr<HCNetworkReachabilityManager>(
        new HCNetworkReachabilityManager(std::move(reachability)));
}

HCNetworkReachabilityManager::HCNetworkReachabilityManager(SCNetworkReachabilityPtr reachability)
    : networkReachability_(std::move(reachability)) {}

HCNetworkReachabilityManager::~HCNetworkReachabilityManager() {
    stopMonitoring();
}

// ---- status ----

bool HCNetworkReachabilityManager::isReachable() const {
    return isReachableViaWWAN() || isReachableViaWiFi();
}

bool HCNetworkReachabilityManager::isReachableViaWWAN() const {
    return networkReachabilityStatus_ == HCNetworkReachabilityStatus::ReachableViaWWAN;
}

bool HCNetworkReachabilityManager::isReachableViaWiFi() const {
    return networkReachabilityStatus_ == HCNetworkReachabilityStatus::ReachableViaWiFi;
}

void HCNetworkReachabilityManager::setNetworkReachabilityStatus(HCNetworkReachabilityStatus status) {
    willChangeValueForKey(kStatusKey);
    networkReachabilityStatus_ = status;
    didChangeValueForKey(kStatusKey);
}

void HCNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
    networkReachabilityStatusBlock_ = std::move(block);
}

std::string HCNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
    switch (networkReachabilityStatus_) {
        case HCNetworkReachabilityStatus::NotReachable:
            return HCNetworkingLocalizedString("Not Reachable");
        case HCNetworkReachabilityStatus::ReachableViaWWAN:
            return HCNetworkingLocalizedString("Reachable via WWAN");
        case HCNetworkReachabilityStatus::ReachableViaWiFi:
            return HCNetworkingLocalizedString("Reachable via WiFi");
        default:
            return HCNetworkingLocalizedString("Unknown");
    }
}

// ---- monitoring ----

void HCNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    if (!networkReachability_) return;

    auto session = std::make_shared<Session>();
    session_ = session;
    std::weak_ptr<HCNetworkReachabilityManager> weak =
        std::static_pointer_cast<HCNetworkReachabilityManager>(shared_from_this());

    // Replaces the callback of an earlier start.
    networkReachability_->setCallback([weak, session](SCNetworkReachabilityFlags flags) {
        session->changeReported = true;
        HCNetworkReachabilityStatus status = HCNetworkReachabilityStatusForFlags(flags);
        DispatchQueue::main()->async([weak, status] { deliver(weak, status); });
    });
    networkReachability_->scheduleWithRunLoop(NSRunLoop::main(), NSRunLoopCommonModes);

    DispatchQueue::global(DispatchQueue::Priority::Background)
        ->async([reachability = networkReachability_, weak, session] {
            SCNetworkReachabilityFlags flags = 0;
            if (!reachability->getFlags(&flags)) return;  // nothing until the first change
            HCNetworkReachabilityStatus status = HCNetworkReachabilityStatusForFlags(flags);
            DispatchQueue::main()->async([weak, session, status] {
                // Flags read before a change the platform has reported since are out of date.
                if (!session->current || session->changeReported) return;
                deliver(weak, status);
            });
        });
}

void HCNetworkReachabilityManager::stopMonitoring() {
    if (session_) {
        session_->current = false;
        session_.reset();
    }
    if (networkReachability_)
        networkReachability_->unscheduleFromRunLoop(NSRunLoop::main(), NSRunLoopCommonModes);
}

void HCNetworkReachabilityManager::deliver(const std::weak_ptr<HCNetworkReachabilityManager>& weak,
                                           HCNetworkReachabilityStatus status) {
    if (auto manager = weak.lock()) {
        manager->setNetworkReachabilityStatus(status);
        // A copy, so that a block may replace itself.
        if (StatusBlock block = manager->networkReachabilityStatusBlock_) block(status);
    }
    NSNotificationCenter::defaultCenter().post(
        HCNetworkingReachabilityDidChangeNotification, nullptr,
        {{HCNetworkingReachabilityNotificationStatusItem, Value(static_cast<long>(status))}});
}

// ---- observation ----

Value HCNetworkReachabilityManager::valueForKey(const std::string& key) const {
    if (key == kStatusKey) return Value(static_cast<long>(networkReachabilityStatus_));
    if (key == "reachable") return isReachable();
    if (key == "reachableViaWWAN") return isReachableViaWWAN();
    if (key == "reachableViaWiFi") return isReachableViaWiFi();
    return KVOObservable::valueForKey(key);
}

std::vector<std::string> HCNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey(
    const std::string& key) const {
    if (key == "reachable" || key == "reachableViaWWAN" || key == "reachableViaWiFi") return {kStatusKey};
    return KVOObservable::keyPathsForValuesAffectingValueForKey(key);
}
