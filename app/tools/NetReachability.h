// Whether a host, an address or the network at large can be reached, over the platform's reachability
// service, with change reports once started.
//
//   auto reach = NetReachability::reachabilityForInternetConnection();
//   reach->setReachableBlock([](NetReachability& r) { ... });   // on the notifier's own queue
//   reach->startNotifier();
//
// On every change of the flags after `startNotifier`, in this order: `reachableBlock` or
// `unreachableBlock` (whichever fits the new flags; only when set) on the serial queue
// "com.quellisanto.reachability", then kNetReachabilityChangedNotification on the default notification
// centre, posted from the main queue with the object as sender. A started notifier keeps itself alive until
// `stopNotifier`; after `stopNotifier` returns no further report starts. The questions read the current
// flags on the caller's thread; where the flags cannot be read the answer is no (0).
#pragma once

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "platform/net/Reachability.h"

inline constexpr const char* kNetReachabilityChangedNotification = "kNetReachabilityChangedNotification";
inline constexpr const char* kNetReachabilityQueueLabel = "com.quellisanto.reachability";

enum class NetReachabilityStatus { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

class NetReachability final : public Object {
  public:
    using Block = std::function<void(NetReachability& reachability)>;

    // Null when the platform cannot make a target (an empty name, an address that is neither IPv4 nor
    // IPv6).
    static std::shared_ptr<NetReachability> reachabilityWithHostname(const std::string& hostname);
    static std::shared_ptr<NetReachability> reachabilityWithHostName(const std::string& hostname);
    static std::shared_ptr<NetReachability> reachabilityWithAddress(const sockaddr* address);
    // The all-zeros IPv4 address: the network at large.
    static std::shared_ptr<NetReachability> reachabilityForInternetConnection();
    // The IPv4 link-local network, 169.254.0.0.
    static std::shared_ptr<NetReachability> reachabilityForLocalWiFi();
    // Takes the target over; null for a null target.
    static std::shared_ptr<NetReachability> create(SCNetworkReachabilityPtr reachabilityRef);
    ~NetReachability() override;

    // True once started (also when already started); false when the target cannot be watched.
    bool startNotifier();
    void stopNotifier();
    // Reports a change of the flags, as the notifier does; any thread.
    void reachabilityChanged(SCNetworkReachabilityFlags flags);

    bool isReachableWithFlags(SCNetworkReachabilityFlags flags) const;
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool isConnectionRequired() const;
    bool connectionRequired() const { return isConnectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    NetReachabilityStatus currentReachabilityStatus() const;
    SCNetworkReachabilityFlags reachabilityFlags() const;
    // "Cellular", "WiFi" or "No Connection", through the main bundle's default string table.
    std::string currentReachabilityString() const;
    // "WR ctiCDld" with "-" for every clear flag.
    std::string currentReachabilityFlags() const;
    std::string description() const override;

    // Whether a cellular connection counts as reachable; true after creation.
    bool reachableOnWWAN() const;
    void setReachableOnWWAN(bool reachableOnWWAN);
    Block reachableBlock() const;
    void setReachableBlock(Block block);
    Block unreachableBlock() const;
    void setUnreachableBlock(Block block);
    const SCNetworkReachabilityPtr& reachabilityRef() const { return reachabilityRef_; }
    const DispatchQueuePtr& reachabilitySerialQueue() const { return reachabilitySerialQueue_; }
    // The object itself while started, null otherwise.
    std::shared_ptr<NetReachability> reachabilityObject() const;

  private:
    explicit NetReachability(SCNetworkReachabilityPtr reachabilityRef);
    // The current flags; false (and 0) when they cannot be read.
    bool readFlags(SCNetworkReachabilityFlags* flags) const;

    mutable std::mutex mutex_;  // guards the fields below that change after creation
    bool reachableOnWWAN_ = true;
    Block reachableBlock_;
    Block unreachableBlock_;
    SCNetworkReachabilityPtr reachabilityRef_;
    DispatchQueuePtr reachabilitySerialQueue_;
    std::shared_ptr<NetReachability> reachabilityObject_;
};

using NetReachabilityPtr = std::shared_ptr<NetReachability>;
