#include "platform/net/ReachabilityFake.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

class FakeReachabilityProvider::Target final : public SCNetworkReachability {
  public:
    Target(std::weak_ptr<FakeReachabilityProvider> provider, std::string key)
        : provider_(std::move(provider)), key_(std::move(key)) {}

    bool getFlags(SCNetworkReachabilityFlags* flags) override {
        auto provider = provider_.lock();
        if (!flags || !provider || provider->getFlagsFails()) return false;
        *flags = provider->flagsFor(key_);
        return true;
    }
    void report(SCNetworkReachabilityFlags flags) { reportFlags(flags); }
    const std::string& key() const { return key_; }

  private:
    std::weak_ptr<FakeReachabilityProvider> provider_;
    std::string key_;
};

std::shared_ptr<FakeReachabilityProvider> FakeReachabilityProvider::create() {
    return std::shared_ptr<FakeReachabilityProvider>(new FakeReachabilityProvider);
}

std::shared_ptr<FakeReachabilityProvider> FakeReachabilityProvider::install() {
    auto provider = create();
    ReachabilityProvider::setCurrent(provider);
    return provider;
}

void FakeReachabilityProvider::uninstall() {
    ReachabilityProvider::setCurrent(nullptr);
}

std::string FakeReachabilityProvider::keyFor(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address && address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address && address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

SCNetworkReachabilityPtr FakeReachabilityProvider::createWithName(const std::string& name) {
    if (name.empty()) return nullptr;
    return make(name);
}

SCNetworkReachabilityPtr FakeReachabilityProvider::createWithAddress(const sockaddr* address) {
    std::string key = keyFor(address);
    if (key.empty()) return nullptr;
    return make(key);
}

SCNetworkReachabilityPtr FakeReachabilityProvider::make(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (creationFails_) return nullptr;
    auto target = std::make_shared<Target>(weak_from_this(), key);
    std::erase_if(targets_, [](const auto& weak) { return weak.expired(); });
    targets_.push_back(target);
    return target;
}

void FakeReachabilityProvider::setFlags(SCNetworkReachabilityFlags flags) {
    {
        std::lock_guard lock(mutex_);
        defaultFlags_ = flags;
    }
    reportAll();
}

void FakeReachabilityProvider::setFlags(const std::string& key, SCNetworkReachabilityFlags flags) {
    {
        std::lock_guard lock(mutex_);
        flags_[key] = flags;
    }
    reportAll();
}

void FakeReachabilityProvider::clearFlags(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        flags_.erase(key);
    }
    reportAll();
}

void FakeReachabilityProvider::setCreationFails(bool fails) {
    std::lock_guard lock(mutex_);
    creationFails_ = fails;
}

void FakeReachabilityProvider::setGetFlagsFails(bool fails) {
    std::lock_guard lock(mutex_);
    getFlagsFails_ = fails;
}

SCNetworkReachabilityFlags FakeReachabilityProvider::flagsFor(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = flags_.find(key);
    return found != flags_.end() ? found->second : defaultFlags_;
}

bool FakeReachabilityProvider::getFlagsFails() const {
    std::lock_guard lock(mutex_);
    return getFlagsFails_;
}

size_t FakeReachabilityProvider::targetCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(targets_.begin(), targets_.end(), [](const auto& w) { return !w.expired(); }));
}

size_t FakeReachabilityProvider::scheduledCount() const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& weak : targets_) {
        if (auto target = weak.lock(); target && target->isScheduled()) ++count;
    }
    return count;
}

void FakeReachabilityProvider::reportAll() {
    std::vector<std::shared_ptr<Target>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : targets_) {
            if (auto target = weak.lock()) targets.push_back(std::move(target));
        }
    }
    for (const auto& target : targets) target->report(flagsFor(target->key()));
}
