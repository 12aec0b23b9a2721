// Network reachability: whether a host, an address or the network at large can be reached, and over which
// kind of link.
//
// A manager watches one platform reachability target. Once monitoring starts, the current flags are asked
// for once on a background queue, and every change the platform reports after that is turned into a
// status. Each report then runs, in order, on the main queue:
//
//   1. `networkReachabilityStatus` takes the new status (observers of it, and of "reachable",
//      "reachableViaWWAN" and "reachableViaWiFi", are told);
//   2. the status block, when one is set, is called with the status;
//   3. "com.hcnet.networking.reachability.change" is posted on the default centre with no sender and
//      {"HCNetworkingReachabilityNotificationStatusItem": status}.
//
// The first answer is dropped when it comes back after a change the platform already reported, so an old
// answer never overwrites a newer status. Reports already queued when monitoring stops or the manager is
// destroyed still post their notification; a destroyed manager is left alone.
//
// A target the platform cannot make (a refused name or address) gives a manager that never monitors: its
// status stays unknown. Properties are meant for the main thread; nothing here takes a lock.
#pragma once

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"
#include "platform/net/Reachability.h"

enum class HCNetworkReachabilityStatus : long {
    Unknown = -1,
    NotReachable = 0,
    ReachableViaWWAN = 1,
    ReachableViaWiFi = 2,
};

inline constexpr const char* HCNetworkingReachabilityDidChangeNotification =
    "com.hcnet.networking.reachability.change";
inline constexpr const char* HCNetworkingReachabilityNotificationStatusItem =
    "HCNetworkingReachabilityNotificationStatusItem";

// The status the platform's flags stand for; never Unknown.
HCNetworkReachabilityStatus HCNetworkReachabilityStatusForFlags(SCNetworkReachabilityFlags flags);

class HCNetworkReachabilityManager : public Object, public KVOObservable {
  public:
    using StatusBlock = std::function<void(HCNetworkReachabilityStatus status)>;

    // The process-wide manager for the network at large, made on first use and never destroyed.
    static std::shared_ptr<HCNetworkReachabilityManager> sharedManager();
    // A new manager for the network at large (the IPv4 address 0.0.0.0).
    static std::shared_ptr<HCNetworkReachabilityManager> manager();
    static std::shared_ptr<HCNetworkReachabilityManager> managerForDomain(const std::string& domain);
    static std::shared_ptr<HCNetworkReachabilityManager> managerForAddress(const sockaddr* address);
    // A manager for `reachability` (which may be null: such a manager never monitors). Status unknown.
    static std::shared_ptr<HCNetworkReachabilityManager> create(SCNetworkReachabilityPtr reachability);

    // Stops monitoring.
    ~HCNetworkReachabilityManager() override;

    const SCNetworkReachabilityPtr& networkReachability() const { return networkReachability_; }
    HCNetworkReachabilityStatus networkReachabilityStatus() const { return networkReachabilityStatus_; }
    const StatusBlock& networkReachabilityStatusBlock() const { return networkReachabilityStatusBlock_; }
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;

    // Starting always stops first, so starting twice leaves one watch.
    void startMonitoring();
    // The status keeps its last value.
    void stopMonitoring();
    // An empty block clears it. Called from the next report on.
    void setReachabilityStatusChangeBlock(StatusBlock block);

    // The text of the current status from the "HCNetworking" string table ("Unknown", "Not Reachable",
    // "Reachable via WWAN", "Reachable via WiFi" when the table has no entry).
    std::string localizedNetworkReachabilityStatusString() const;

    // Observation: "reachable", "reachableViaWWAN" and "reachableViaWiFi" follow
    // "networkReachabilityStatus".
    Value valueForKey(const std::string& key) const override;
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override;

  private:
    struct Session;
    explicit HCNetworkReachabilityManager(SCNetworkReachabilityPtr reachability);
    void setNetworkReachabilityStatus(HCNetworkReachabilityStatus status);
    // Runs on the main queue: the manager's update (when it still exists), then the notification.
    static void deliver(const std::weak_ptr<HCNetworkReachabilityManager>& manager,
                        HCNetworkReachabilityStatus status);

    SCNetworkReachabilityPtr networkReachability_;
    HCNetworkReachabilityStatus networkReachabilityStatus_ = HCNetworkReachabilityStatus::Unknown;
    StatusBlock networkReachabilityStatusBlock_;
    std::shared_ptr<Session> session_;  // the current monitoring, or null
};
