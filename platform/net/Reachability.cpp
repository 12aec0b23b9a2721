#include "platform/net/Reachability.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/foundation/UniqueFd.h"

// --- delivery ---------------------------------------------------------------------------------------------

struct SCNetworkReachability::Delivery {
    std::mutex mutex;
    Callback callback;
    DispatchQueuePtr queue;
    NSRunLoop* loop = nullptr;
    uint64_t generation = 0;  // bumped by every unschedule, callback change and destruction
    SCNetworkReachabilityFlags last = 0;

    bool scheduled() const { return queue || loop; }
};

SCNetworkReachability::SCNetworkReachability() : delivery_(std::make_shared<Delivery>()) {}

SCNetworkReachability::~SCNetworkReachability() {
    std::lock_guard lock(delivery_->mutex);
    delivery_->generation++;
    delivery_->callback = nullptr;
    delivery_->queue.reset();
    delivery_->loop = nullptr;
}

bool SCNetworkReachability::setCallback(Callback callback) {
    std::lock_guard lock(delivery_->mutex);
    delivery_->generation++;
    delivery_->callback = std::move(callback);
    return true;
}

bool SCNetworkReachability::isScheduled() const {
    std::lock_guard lock(delivery_->mutex);
    return delivery_->scheduled();
}

bool SCNetworkReachability::setDispatchQueue(DispatchQueuePtr queue) {
    if (!queue) {
        bool wasScheduled = false;
        {
            std::lock_guard lock(delivery_->mutex);
            if (delivery_->loop) return false;  // scheduled on a run loop: unschedule from it instead
            wasScheduled = delivery_->queue != nullptr;
            delivery_->queue.reset();
            delivery_->generation++;
        }
        if (wasScheduled) stopWatching();
        return true;
    }
    return schedule(std::move(queue), nullptr);
}

bool SCNetworkReachability::scheduleWithRunLoop(NSRunLoop& loop, const std::string&) {
    return schedule(nullptr, &loop);
}

bool SCNetworkReachability::unscheduleFromRunLoop(NSRunLoop& loop, const std::string&) {
    {
        std::lock_guard lock(delivery_->mutex);
        if (delivery_->loop != &loop) return false;
        delivery_->loop = nullptr;
        delivery_->generation++;
    }
    stopWatching();
    return true;
}

bool SCNetworkReachability::schedule(DispatchQueuePtr queue, NSRunLoop* loop) {
    {
        std::lock_guard lock(delivery_->mutex);
        if (delivery_->scheduled()) {
            // Already on this very queue or loop: nothing to do. On the other kind, or another one: refuse.
            return (queue && delivery_->queue == queue) || (loop && delivery_->loop == loop);
        }
    }
    // The baseline that later changes are measured against.
    SCNetworkReachabilityFlags baseline = 0;
    if (!getFlags(&baseline)) baseline = 0;
    if (!startWatching()) return false;
    std::lock_guard lock(delivery_->mutex);
    delivery_->last = baseline;
    delivery_->queue = std::move(queue);
    delivery_->loop = loop;
    delivery_->generation++;
    return true;
}

void SCNetworkReachability::reportFlags(SCNetworkReachabilityFlags flags) {
    std::lock_guard lock(delivery_->mutex);
    if (!delivery_->scheduled() || flags == delivery_->last) return;
    delivery_->last = flags;
    if (!delivery_->callback) return;
    auto run = [delivery = delivery_, generation = delivery_->generation, flags] {
        Callback callback;
        {
            std::lock_guard lock(delivery->mutex);
            if (delivery->generation != generation) return;
            callback = delivery->callback;
        }
        if (callback) callback(flags);
    };
    if (delivery_->queue) {
        delivery_->queue->async(std::move(run));
    } else {
        delivery_->loop->perform(std::move(run));
    }
}

// --- flags from routes ------------------------------------------------------------------------------------

namespace {

constexpr int kNetlinkTimeoutMs = 1000;

struct Address {
    int family = AF_UNSPEC;
    unsigned char bytes[16] = {};

    size_t size() const { return family == AF_INET ? 4 : 16; }
    bool isZero() const {
        return std::all_of(bytes, bytes + size(), [](unsigned char b) { return b == 0; });
    }
};

std::optional<Address> addressFrom(const sockaddr* sa) {
    if (!sa) return std::nullopt;
    Address address;
    address.family = sa->sa_family;
    if (sa->sa_family == AF_INET) {
        std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
    } else {
        return std::nullopt;
    }
    return address;
}

std::optional<Address> addressFromText(const std::string& text) {
    Address address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
        address.family = AF_INET;
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
        address.family = AF_INET6;
        return address;
    }
    return std::nullopt;
}

// What a route look-up found.
struct Route {
    bool found = false;
    bool local = false;  // the destination is this machine
    int interfaceIndex = 0;
    bool gateway = false;
};

// One request to the kernel's routing socket; calls `onMessage` for every answer until the request is done.
// False when the socket cannot be used or the kernel does not answer in time.
bool netlinkRequest(nlmsghdr* request, const std::function<bool(const nlmsghdr*)>& onMessage) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) return false;
    timeval timeout{kNetlinkTimeoutMs / 1000, (kNetlinkTimeoutMs % 1000) * 1000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    static std::atomic<uint32_t> sequence{1};
    request->nlmsg_seq = sequence++;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return false;
    std::vector<char> buffer(32768);
    for (;;) {
        ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;  // timed out or failed
        }
        long remaining = static_cast<long>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, remaining);
             h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != request->nlmsg_seq) continue;
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (!onMessage(h)) return true;
        }
    }
}

Route parseRoute(const nlmsghdr* h) {
    Route route;
    auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
    if (rt->rtm_type == RTN_LOCAL) {
        route.found = true;
        route.local = true;
    } else if (rt->rtm_type == RTN_UNICAST) {
        route.found = true;
    } else {
        return route;  // unreachable, blackhole, prohibit, throw: no way out
    }
    int length = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(rt); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
            std::memcpy(&route.interfaceIndex, RTA_DATA(a), sizeof(int));
        } else if (a->rta_type == RTA_GATEWAY || a->rta_type == RTA_VIA) {
            route.gateway = true;
        } else if (a->rta_type == RTA_MULTIPATH && RTA_PAYLOAD(a) >= sizeof(rtnexthop)) {
            auto* hop = static_cast<const rtnexthop*>(RTA_DATA(a));
            route.interfaceIndex = hop->rtnh_ifindex;
            route.gateway = true;
        }
    }
    return route;
}

struct Request {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
};

// The route the kernel would take to `address`; nullopt when the kernel cannot be asked.
std::optional<Route> routeTo(const Address& address) {
    Request request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = static_cast<unsigned char>(address.family);
    request.route.rtm_dst_len = static_cast<unsigned char>(address.size() * 8);
    auto* attribute =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(address.size()));
    std::memcpy(RTA_DATA(attribute), address.bytes, address.size());
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);

    Route route;
    bool answered = netlinkRequest(&request.header, [&](const nlmsghdr* h) {
        if (h->nlmsg_type == RTM_NEWROUTE) route = parseRoute(h);
        return false;  // one answer: a route, or an error such as "network unreachable"
    });
    if (!answered) return std::nullopt;
    return route;
}

// The default route of the main table for `family` (the network at large).
std::optional<Route> defaultRoute(int family) {
    Request request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.route.rtm_family = static_cast<unsigned char>(family);
    Route best;
    bool answered = netlinkRequest(&request.header, [&](const nlmsghdr* h) {
        if (h->nlmsg_type == NLMSG_ERROR) return false;
        if (h->nlmsg_type != RTM_NEWROUTE) return true;
        auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
        if (rt->rtm_dst_len != 0 || rt->rtm_table != RT_TABLE_MAIN || best.found) return true;
        best = parseRoute(h);
        return true;
    });
    if (!answered) return std::nullopt;
    return best;
}

struct Interface {
    bool up = false;
    bool loopback = false;
    bool cellular = false;
};

Interface interfaceState(int index) {
    Interface state;
    char name[IF_NAMESIZE] = {};
    if (index <= 0 || !if_indextoname(static_cast<unsigned>(index), name)) return state;
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return state;
    ifreq request{};
    std::memcpy(request.ifr_name, name, std::min(std::strlen(name), sizeof request.ifr_name - 1));
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) < 0) return state;
    state.up = (request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING);
    state.loopback = request.ifr_flags & IFF_LOOPBACK;
    std::string text(name);
    state.cellular = text.rfind("wwan", 0) == 0 || text.rfind("rmnet", 0) == 0;
    return state;
}

SCNetworkReachabilityFlags flagsForRoute(const Route& route) {
    if (!route.found) return 0;
    constexpr auto kLocal = kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
                            kSCNetworkReachabilityFlagsIsDirect;
    if (route.local) return kLocal;
    Interface interface = interfaceState(route.interfaceIndex);
    if (!interface.up) return 0;
    if (interface.loopback) return kLocal;
    SCNetworkReachabilityFlags flags = kSCNetworkReachabilityFlagsReachable;
    if (!route.gateway) flags |= kSCNetworkReachabilityFlagsIsDirect;
    if (interface.cellular) flags |= kSCNetworkReachabilityFlagsIsWWAN;
    return flags;
}

std::optional<SCNetworkReachabilityFlags> flagsForAddress(const Address& address) {
    auto route = address.isZero() ? defaultRoute(address.family) : routeTo(address);
    if (!route) return std::nullopt;
    return flagsForRoute(*route);
}

// --- the change monitor -----------------------------------------------------------------------------------

struct MonitorSettings {
    std::mutex mutex;
    ReachabilityMonitor::Mode mode = ReachabilityMonitor::Mode::Netlink;
    double pollInterval = 2.0;
};

MonitorSettings& monitorSettings() {
    static auto* settings = new MonitorSettings;
    return *settings;
}

class SystemReachability;

// One thread for all scheduled system targets. It lives while at least one target is scheduled.
class RouteMonitor {
  public:
    static std::shared_ptr<RouteMonitor> acquire();
    ~RouteMonitor();

    void add(const std::shared_ptr<SystemReachability>& target);
    void remove(const SystemReachability* target);

  private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::pair<const SystemReachability*, std::weak_ptr<SystemReachability>>> targets;
        std::atomic<bool> stop{false};
        int wake = -1;
        int netlink = -1;
        double pollInterval = 2.0;
        // Closed by the last owner (the handle or the thread, whichever lets go last).
        ~Shared() {
            if (netlink >= 0) ::close(netlink);
            if (wake >= 0) ::close(wake);
        }
    };
    RouteMonitor();
    static void run(std::shared_ptr<Shared> shared);
    static void refreshAll(Shared& shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// A system target for an address or a host name.
class SystemReachability final : public SCNetworkReachability,
                                 public std::enable_shared_from_this<SystemReachability> {
  public:
    static std::shared_ptr<SystemReachability> forAddress(const Address& address) {
        auto target = std::shared_ptr<SystemReachability>(new SystemReachability);
        target->address_ = address;
        return target;
    }
    static std::shared_ptr<SystemReachability> forName(const std::string& name) {
        auto target = std::shared_ptr<SystemReachability>(new SystemReachability);
        target->name_ = name;
        target->resolve();
        return target;
    }
    ~SystemReachability() override {
        if (auto monitor = std::move(monitor_)) monitor->remove(this);
    }

    bool getFlags(SCNetworkReachabilityFlags* flags) override {
        if (!flags) return false;
        if (address_) {
            auto computed = flagsForAddress(*address_);
            if (!computed) return false;
            *flags = *computed;
            return true;
        }
        std::vector<Address> addresses;
        {
            std::lock_guard lock(mutex_);
            if (!resolved_) {
                *flags = 0;  // reported as a change once the worker has resolved the name
                return true;
            }
            addresses = addresses_;
        }
        *flags = flagsForAddresses(addresses);
        return true;
    }

    // Called by the monitor when the network changed.
    void refresh() {
        if (address_) {
            if (auto flags = flagsForAddress(*address_)) reportFlags(*flags);
        } else {
            resolve();  // the answer may differ on the new network
        }
    }

  protected:
    bool startWatching() override {
        auto monitor = RouteMonitor::acquire();
        if (!monitor) return false;
        monitor->add(shared_from_this());
        std::lock_guard lock(mutex_);
        monitor_ = std::move(monitor);
        return true;
    }
    void stopWatching() override {
        std::shared_ptr<RouteMonitor> monitor;
        {
            std::lock_guard lock(mutex_);
            monitor = std::move(monitor_);
        }
        if (monitor) monitor->remove(this);
    }

  private:
    SystemReachability() = default;

    static SCNetworkReachabilityFlags flagsForAddresses(const std::vector<Address>& addresses) {
        for (const auto& address : addresses) {
            auto flags = flagsForAddress(address);
            if (flags && (*flags & kSCNetworkReachabilityFlagsReachable)) return *flags;
        }
        return 0;
    }

    // Resolves the name on a background worker; the system resolver bounds the wait (resolv.conf timeouts).
    void resolve() {
        {
            std::lock_guard lock(mutex_);
            if (resolving_) return;
            resolving_ = true;
        }
        std::weak_ptr<SystemReachability> weak = weak_from_this();
        std::string name = name_;
        DispatchQueue::global(DispatchQueue::Priority::Background)->async([weak, name] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* result = nullptr;
            std::vector<Address> addresses;
            if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0) {
                for (addrinfo* info = result; info; info = info->ai_next) {
                    if (auto address = addressFrom(info->ai_addr)) addresses.push_back(*address);
                }
                ::freeaddrinfo(result);
            }
            auto self = weak.lock();
            if (!self) return;
            SCNetworkReachabilityFlags flags = flagsForAddresses(addresses);
            {
                std::lock_guard lock(self->mutex_);
                self->addresses_ = std::move(addresses);
                self->resolved_ = true;
                self->resolving_ = false;
            }
            self->reportFlags(flags);
        });
    }

    std::optional<Address> address_;
    std::string name_;
    std::mutex mutex_;
    bool resolving_ = false;
    bool resolved_ = false;
    std::vector<Address> addresses_;
    std::shared_ptr<RouteMonitor> monitor_;
};

std::shared_ptr<RouteMonitor> RouteMonitor::acquire() {
    static std::mutex mutex;
    static std::weak_ptr<RouteMonitor>* current = new std::weak_ptr<RouteMonitor>;
    std::lock_guard lock(mutex);
    if (auto monitor = current->lock()) return monitor;
    auto monitor = std::shared_ptr<RouteMonitor>(new RouteMonitor);
    if (monitor->shared_->wake < 0) return nullptr;
    *current = monitor;
    return monitor;
}

RouteMonitor::RouteMonitor() : shared_(std::make_shared<Shared>()) {
    ReachabilityMonitor::Mode mode;
    {
        auto& settings = monitorSettings();
        std::lock_guard lock(settings.mutex);
        mode = settings.mode;
        shared_->pollInterval = settings.pollInterval;
    }
    shared_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared_->wake < 0) return;
    if (mode == ReachabilityMonitor::Mode::Netlink) {
        int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups =
            RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            shared_->netlink = fd;
        } else if (fd >= 0) {
            ::close(fd);  // refused: poll instead
        }
    }
    thread_ = std::thread(&RouteMonitor::run, shared_);
}

RouteMonitor::~RouteMonitor() {
    if (!thread_.joinable()) return;
    shared_->stop = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(shared_->wake, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the last target went away inside a refresh: the thread ends by itself
    } else {
        thread_.join();
    }
}

void RouteMonitor::add(const std::shared_ptr<SystemReachability>& target) {
    std::lock_guard lock(shared_->mutex);
    shared_->targets.emplace_back(target.get(), target);
}

void RouteMonitor::remove(const SystemReachability* target) {
    std::lock_guard lock(shared_->mutex);
    std::erase_if(shared_->targets, [&](const auto& entry) { return entry.first == target; });
}

void RouteMonitor::refreshAll(Shared& shared) {
    std::vector<std::shared_ptr<SystemReachability>> targets;
    {
        std::lock_guard lock(shared.mutex);
        for (const auto& entry : shared.targets) {
            if (auto target = entry.second.lock()) targets.push_back(std::move(target));
        }
    }
    for (const auto& target : targets) {
        if (shared.stop) break;
        target->refresh();
    }
}

void RouteMonitor::run(std::shared_ptr<Shared> shared) {
    using Steady = std::chrono::steady_clock;
    constexpr auto kCoalesce = std::chrono::milliseconds(100);
    const auto pollEvery =
        std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(shared->pollInterval));
    const bool polling = shared->netlink < 0;
    // When a burst of changes is to be acted on; time_point::max() while nothing is pending.
    Steady::time_point pending = Steady::time_point::max();
    auto nextPoll = Steady::now() + pollEvery;
    std::vector<char> buffer(65536);

    while (!shared->stop) {
        auto now = Steady::now();
        auto until = now + std::chrono::seconds(1);  // every wait is bounded
        until = std::min(until, pending);
        if (polling) until = std::min(until, nextPoll);
        int timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        pollfd fds[2] = {{shared->wake, POLLIN, 0}, {shared->netlink, POLLIN, 0}};
        int ready = ::poll(fds, polling ? 1 : 2, std::max(timeoutMs, 0));
        if (shared->stop) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(shared->wake, &value, sizeof value);
        }
        if (ready > 0 && !polling && (fds[1].revents & (POLLIN | POLLERR))) {
            bool changed = false;
            for (;;) {
                ssize_t n = ::recv(shared->netlink, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    if (errno == ENOBUFS) changed = true;  // events were lost: recompute anyway
                    break;
                }
                if (n == 0) break;
                changed = true;
            }
            if (changed && pending == Steady::time_point::max()) pending = Steady::now() + kCoalesce;
        }
        now = Steady::now();
        if (now >= pending) {
            pending = Steady::time_point::max();
            refreshAll(*shared);
        }
        if (polling && now >= nextPoll) {
            nextPoll = now + pollEvery;
            refreshAll(*shared);
        }
    }
}

// --- providers --------------------------------------------------------------------------------------------

class SystemProvider final : public ReachabilityProvider {
  public:
    SCNetworkReachabilityPtr createWithName(const std::string& name) override {
        if (name.empty() || name.find('\0') != std::string::npos) return nullptr;
        if (auto address = addressFromText(name)) return SystemReachability::forAddress(*address);
        return SystemReachability::forName(name);
    }
    SCNetworkReachabilityPtr createWithAddress(const sockaddr* sa) override {
        auto address = addressFrom(sa);
        if (!address) return nullptr;
        return SystemReachability::forAddress(*address);
    }
};

struct ProviderSlot {
    std::mutex mutex;
    std::shared_ptr<ReachabilityProvider> injected;
};

ProviderSlot& providerSlot() {
    static auto* slot = new ProviderSlot;
    return *slot;
}

}  // namespace

std::shared_ptr<ReachabilityProvider> ReachabilityProvider::system() {
    static auto* provider = new std::shared_ptr<ReachabilityProvider>(std::make_shared<SystemProvider>());
    return *provider;
}

std::shared_ptr<ReachabilityProvider> ReachabilityProvider::current() {
    {
        auto& slot = providerSlot();
        std::lock_guard lock(slot.mutex);
        if (slot.injected) return slot.injected;
    }
    return system();
}

void ReachabilityProvider::setCurrent(std::shared_ptr<ReachabilityProvider> provider) {
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    slot.injected = std::move(provider);
}

SCNetworkReachabilityPtr SCNetworkReachabilityCreateWithName(const std::string& name) {
    return ReachabilityProvider::current()->createWithName(name);
}

SCNetworkReachabilityPtr SCNetworkReachabilityCreateWithAddress(const sockaddr* address) {
    return ReachabilityProvider::current()->createWithAddress(address);
}

void ReachabilityMonitor::setModeForTesting(Mode mode, double pollIntervalSeconds) {
    auto& settings = monitorSettings();
    std::lock_guard lock(settings.mutex);
    settings.mode = mode;
    settings.pollInterval = pollIntervalSeconds > 0 ? pollIntervalSeconds : 2.0;
}
