#include "app/tools/NetReachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

// 169.254.0.0, the link-local network number.
constexpr uint32_t kLinkLocalNetwork = 0xA9FE0000;

std::shared_ptr<NetReachability> forIPv4(uint32_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return NetReachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address));
}

bool has(SCNetworkReachabilityFlags flags, SCNetworkReachabilityFlags bit) {
    return (flags & bit) != 0;
}

}  // namespace

std::shared_ptr<NetReachability> NetReachability::reachabilityWithHostname(const std::string& hostname) {
    return create(SCNetworkReachabilityCreateWithName(hostname));
}

std::shared_ptr<NetReachability> NetReachability::reachabilityWithHostName(const std::string& hostname) {
    return reachabilityWithHostname(hostname);
}

std::shared_ptr<NetReachability> NetReachability::reachabilityWithAddress(const sockaddr* address) {
    return create(SCNetworkReachabilityCreateWithAddress(address));
}

std::shared_ptr<NetReachability> NetReachability::reachabilityForInternetConnection() {
    return forIPv4(INADDR_ANY);
}

std::shared_ptr<NetReachability> NetReachability::reachabilityForLocalWiFi() {
    return forIPv4(kLinkLocalNetwork);
}

std::shared_ptr<NetReachability> NetReachability::create(SCNetworkReachabilityPtr reachabilityRef) {
    if (!reachabilityRef) return nullptr;
    return std::shared_ptr<NetReachability>(new NetReachability(std::move(reachabilityRef)));
}

NetReachability::NetReachability(SCNetworkReachabilityPtr reachabilityRef)
    : reachabilityRef_(std::move(reachabilityRef)),
      reachabilitySerialQueue_(DispatchQueue::serial(kNetReachabilityQueueLabel)) {}

NetReachability::~NetReachability() {
    // A started notifier holds itself, so it has been stopped by now; make sure nothing more is delivered.
    reachabilityRef_->setCallback({});
    reachabilityRef_->setDispatchQueue(nullptr);
}

bool NetReachability::startNotifier() {
    auto self = std::static_pointer_cast<NetReachability>(shared_from_this());
    {
        std::lock_guard lock(mutex_);
        if (reachabilityObject_ == self) return true;
    }
    std::weak_ptr<NetReachability> weak = self;
    bool registered = reachabilityRef_->setCallback([weak](SCNetworkReachabilityFlags flags) {
        // Held for the whole report, so that a block that stops the notifier does not pull the object
        // out from under it.
        if (auto strong = weak.lock()) strong->reachabilityChanged(flags);
    });
    if (registered && !reachabilityRef_->setDispatchQueue(reachabilitySerialQueue_)) {
        reachabilityRef_->setCallback({});
        registered = false;
    }
    std::lock_guard lock(mutex_);
    if (registered)
        reachabilityObject_ = self;
    else
        reachabilityObject_.reset();
    return registered;
}

void NetReachability::stopNotifier() {
    reachabilityRef_->setCallback({});
    reachabilityRef_->setDispatchQueue(nullptr);
    std::shared_ptr<NetReachability> released;
    {
        std::lock_guard lock(mutex_);
        released = std::move(reachabilityObject_);
    }
    // `released` may be the last reference: nothing of this object is touched after it goes.
}

void NetReachability::reachabilityChanged(SCNetworkReachabilityFlags flags) {
    auto self = std::static_pointer_cast<NetReachability>(shared_from_this());
    Block block = isReachableWithFlags(flags) ? reachableBlock() : unreachableBlock();
    if (block) block(*this);
    DispatchQueue::main()->async(
        [self] { NSNotificationCenter::defaultCenter().post(kNetReachabilityChangedNotification, self); });
}

bool NetReachability::readFlags(SCNetworkReachabilityFlags* flags) const {
    *flags = 0;
    if (reachabilityRef_->getFlags(flags)) return true;
    *flags = 0;
    return false;
}

bool NetReachability::isReachableWithFlags(SCNetworkReachabilityFlags flags) const {
    if (!has(flags, kSCNetworkReachabilityFlagsReachable)) return false;
    if (has(flags, kSCNetworkReachabilityFlagsConnectionRequired) &&
        has(flags, kSCNetworkReachabilityFlagsTransientConnection)) {
        return false;
    }
    if (has(flags, kSCNetworkReachabilityFlagsIsWWAN) && !reachableOnWWAN()) return false;
    return true;
}

bool NetReachability::isReachable() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && isReachableWithFlags(flags);
}

bool NetReachability::isReachableViaWWAN() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && has(flags, kSCNetworkReachabilityFlagsReachable) &&
           has(flags, kSCNetworkReachabilityFlagsIsWWAN);
}

bool NetReachability::isReachableViaWiFi() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && has(flags, kSCNetworkReachabilityFlagsReachable) &&
           !has(flags, kSCNetworkReachabilityFlagsIsWWAN);
}

bool NetReachability::isConnectionRequired() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && has(flags, kSCNetworkReachabilityFlagsConnectionRequired);
}

bool NetReachability::isConnectionOnDemand() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && has(flags, kSCNetworkReachabilityFlagsConnectionRequired) &&
           (has(flags, kSCNetworkReachabilityFlagsConnectionOnTraffic) ||
            has(flags, kSCNetworkReachabilityFlagsConnectionOnDemand));
}

bool NetReachability::isInterventionRequired() const {
    SCNetworkReachabilityFlags flags;
    return readFlags(&flags) && has(flags, kSCNetworkReachabilityFlagsConnectionRequired) &&
           has(flags, kSCNetworkReachabilityFlagsInterventionRequired);
}

NetReachabilityStatus NetReachability::currentReachabilityStatus() const {
    // One reading of the flags for the whole answer, so that a change in between cannot mix two states.
    SCNetworkReachabilityFlags flags;
    if (!readFlags(&flags) || !isReachableWithFlags(flags)) return NetReachabilityStatus::NotReachable;
    if (!has(flags, kSCNetworkReachabilityFlagsIsWWAN)) return NetReachabilityStatus::ReachableViaWiFi;
    return NetReachabilityStatus::ReachableViaWWAN;
}

SCNetworkReachabilityFlags NetReachability::reachabilityFlags() const {
    SCNetworkReachabilityFlags flags;
    readFlags(&flags);
    return flags;
}

std::string NetReachability::currentReachabilityString() const {
    const char* key = "No Connection";
    switch (currentReachabilityStatus()) {
        case NetReachabilityStatus::ReachableViaWWAN:
            key = "Cellular";
            break;
        case NetReachabilityStatus::ReachableViaWiFi:
            key = "WiFi";
            break;
        case NetReachabilityStatus::NotReachable:
            break;
    }
    return NSBundle::mainBundle()->localizedStringForKey(key, "", "");
}

std::string NetReachability::currentReachabilityFlags() const {
    SCNetworkReachabilityFlags flags = reachabilityFlags();
    auto mark = [flags](SCNetworkReachabilityFlags bit, char letter) {
        return has(flags, bit) ? letter : '-';
    };
    std::string text;
    text += mark(kSCNetworkReachabilityFlagsIsWWAN, 'W');
    text += mark(kSCNetworkReachabilityFlagsReachable, 'R');
    text += ' ';
    text += mark(kSCNetworkReachabilityFlagsConnectionRequired, 'c');
    text += mark(kSCNetworkReachabilityFlagsTransientConnection, 't');
    text += mark(kSCNetworkReachabilityFlagsInterventionRequired, 'i');
    text += mark(kSCNetworkReachabilityFlagsConnectionOnTraffic, 'C');
    text += mark(kSCNetworkReachabilityFlagsConnectionOnDemand, 'D');
    text += mark(kSCNetworkReachabilityFlagsIsLocalAddress, 'l');
    text += mark(kSCNetworkReachabilityFlagsIsDirect, 'd');
    return text;
}

std::string NetReachability::description() const {
    auto address = uint64_t(reinterpret_cast<uintptr_t>(this));
    return NSString::format("<%@: %#lx (%@)>",
                            {Value("NetReachability"), Value(address), Value(currentReachabilityFlags())});
}

bool NetReachability::reachableOnWWAN() const {
    std::lock_guard lock(mutex_);
    return reachableOnWWAN_;
}

void NetReachability::setReachableOnWWAN(bool reachableOnWWAN) {
    std::lock_guard lock(mutex_);
    reachableOnWWAN_ = reachableOnWWAN;
}

NetReachability::Block NetReachability::reachableBlock() const {
    std::lock_guard lock(mutex_);
    return reachableBlock_;
}

void NetReachability::setReachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    reachableBlock_ = std::move(block);
}

NetReachability::Block NetReachability::unreachableBlock() const {
    std::lock_guard lock(mutex_);
    return unreachableBlock_;
}

void NetReachability::setUnreachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    unreachableBlock_ = std::move(block);
}

std::shared_ptr<NetReachability> NetReachability::reachabilityObject() const {
    std::lock_guard lock(mutex_);
    return reachabilityObject_;
}
