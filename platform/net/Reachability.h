// Network reachability (the platform's SystemConfiguration reachability service).
//
// A reachability target is a host name, a socket address (IPv4 or IPv6), the all-zeros address (the
// network at large: is there a default route?) or any other address such as the link-local network
// 169.254.0.0. Its flags say whether a packet for it would leave this machine now, and how:
//
//   no route, or the route's interface is down          0
//   the destination is this machine (loopback, own)    reachable | is local | is direct
//   a route on an interface that is up                  reachable, + is direct when there is no gateway
//
// On Linux the flags come from an rtnetlink route look-up (RTM_GETROUTE) and the interface's state. A host
// name is resolved on a background worker, never on the caller's thread: until it is resolved its flags are
// 0, and once scheduled the resolution is reported as a change.
//
// Changes: once a callback is set and the target is scheduled on a dispatch queue or a run loop, a
// NETLINK_ROUTE socket watching links, addresses and routes wakes the shared monitor; events are coalesced
// for 100 ms, then every scheduled target recomputes its flags and its callback runs on its queue or loop,
// only when its flags differ from the last ones it reported (or had when it was scheduled). Where netlink is
// refused the monitor polls every 2 s instead. No callback starts after unscheduling, after the callback is
// removed, or after the target is destroyed.
//
// Targets come from the current `ReachabilityProvider`: the system's by default, a fake one in tests
// (see ReachabilityFake.h). Creation may fail (null); callers must cope.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"

using SCNetworkReachabilityFlags = uint32_t;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsReachable = 1u << 1;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsDirect = 1u << 17;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsWWAN = 1u << 18;

class SCNetworkReachability {
  public:
    using Callback = std::function<void(SCNetworkReachabilityFlags flags)>;

    virtual ~SCNetworkReachability();

    // The current flags, read on the caller's thread; false when they cannot be read.
    virtual bool getFlags(SCNetworkReachabilityFlags* flags) = 0;

    // The change callback; an empty one removes it. Always succeeds.
    bool setCallback(Callback callback);
    // Delivery of changes on a queue, or on a run loop (a target is on one of them at a time: scheduling on
    // the other fails). A null queue, or unscheduling, stops delivery. False on failure.
    bool setDispatchQueue(DispatchQueuePtr queue);
    bool scheduleWithRunLoop(NSRunLoop& loop, const std::string& mode);
    bool unscheduleFromRunLoop(NSRunLoop& loop, const std::string& mode);

    bool isScheduled() const;

  protected:
    SCNetworkReachability();
    // Delivers `flags` to a scheduled target with a callback when they differ from the last ones; any
    // thread. Implementations call it when they learn new flags.
    void reportFlags(SCNetworkReachabilityFlags flags);
    // Hooks run when delivery starts and stops (outside the target's lock). `startWatching` returns false
    // when the target cannot be watched.
    virtual bool startWatching() { return true; }
    virtual void stopWatching() {}

  private:
    struct Delivery;
    bool schedule(DispatchQueuePtr queue, NSRunLoop* loop);
    // Posted deliveries hold the state, not the target, and check its generation before calling.
    std::shared_ptr<Delivery> delivery_;
};
using SCNetworkReachabilityPtr = std::shared_ptr<SCNetworkReachability>;

class ReachabilityProvider {
  public:
    virtual ~ReachabilityProvider() = default;
    // Null for an empty name (a numeric name is treated as an address).
    virtual SCNetworkReachabilityPtr createWithName(const std::string& name) = 0;
    // Null for a null address or one that is neither IPv4 nor IPv6.
    virtual SCNetworkReachabilityPtr createWithAddress(const sockaddr* address) = 0;

    // The system's provider, and the one in force (the system's unless a test injected another).
    static std::shared_ptr<ReachabilityProvider> system();
    static std::shared_ptr<ReachabilityProvider> current();
    // Injects a provider process-wide; null restores the system's.
    static void setCurrent(std::shared_ptr<ReachabilityProvider> provider);
};

SCNetworkReachabilityPtr SCNetworkReachabilityCreateWithName(const std::string& name);
SCNetworkReachabilityPtr SCNetworkReachabilityCreateWithAddress(const sockaddr* address);

// How the system provider's monitor learns of changes. Tests force polling (with a short interval) to
// check the fallback; the setting applies to monitors started afterwards.
namespace ReachabilityMonitor {
enum class Mode { Netlink, Polling };
void setModeForTesting(Mode mode, double pollIntervalSeconds = 2.0);
}  // namespace ReachabilityMonitor
