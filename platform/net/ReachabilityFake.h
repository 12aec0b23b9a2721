// A reachability provider for tests: flags are whatever the test sets, and setting them reports the change
// to every scheduled target whose flags it changes, exactly as the system provider would.
//
//     auto fake = FakeReachabilityProvider::install();   // process-wide until uninstall()
//     fake->setFlags(kSCNetworkReachabilityFlagsReachable);
//
// A target's key is its host name, or its address in numeric form ("0.0.0.0", "::1"). Flags set for a key
// win over the default flags set for all.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/net/Reachability.h"

class FakeReachabilityProvider final : public ReachabilityProvider,
                                       public std::enable_shared_from_this<FakeReachabilityProvider> {
  public:
    static std::shared_ptr<FakeReachabilityProvider> create();
    // Creates one and makes it the current provider.
    static std::shared_ptr<FakeReachabilityProvider> install();
    // Restores the system provider.
    static void uninstall();

    SCNetworkReachabilityPtr createWithName(const std::string& name) override;
    SCNetworkReachabilityPtr createWithAddress(const sockaddr* address) override;

    void setFlags(SCNetworkReachabilityFlags flags);
    void setFlags(const std::string& key, SCNetworkReachabilityFlags flags);
    void clearFlags(const std::string& key);
    // Failures to imitate: creation returning null, `getFlags` returning false.
    void setCreationFails(bool fails);
    void setGetFlagsFails(bool fails);

    // Targets still alive, and how many of them are scheduled.
    size_t targetCount() const;
    size_t scheduledCount() const;
    // The key a target of this address gets; "" for an address that is not IPv4 or IPv6.
    static std::string keyFor(const sockaddr* address);

    class Target;
    SCNetworkReachabilityFlags flagsFor(const std::string& key) const;
    bool getFlagsFails() const;

  private:
    FakeReachabilityProvider() = default;
    SCNetworkReachabilityPtr make(const std::string& key);
    void reportAll();

    mutable std::mutex mutex_;
    SCNetworkReachabilityFlags defaultFlags_ = 0;
    std::map<std::string, SCNetworkReachabilityFlags> flags_;
    bool creationFails_ = false;
    bool getFlagsFails_ = false;
    std::vector<std::weak_ptr<Target>> targets_;
};
