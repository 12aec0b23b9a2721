#include "platform/foundation/NotificationCenter.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/Console.h"
#include "platform/foundation/ObserverGate.h"

namespace {

struct Observer {
    NSNotificationCenter::Token token = 0;
    std::string name;  // empty: every name
    bool anySender = true;
    std::weak_ptr<Object> sender;  // compared by owner, so a dead sender never matches a new object
    DispatchQueuePtr queue;
    bool ownerTied = false;
    std::weak_ptr<void> owner;
    NSNotificationCenter::Block block;
    ObserverGate gate;

    bool matches(std::string_view noteName, const std::shared_ptr<Object>& noteSender) const {
        if (!name.empty() && name != noteName) return false;
        if (anySender) return true;
        if (!noteSender) return false;
        return !sender.owner_before(noteSender) && !noteSender.owner_before(sender);
    }
    // True when the observer can never be called again.
    bool isDead() const { return (ownerTied && owner.expired()) || (!anySender && sender.expired()); }
};

void deliver(Observer& observer, const NSNotification& note) {
    std::shared_ptr<void> ownerAlive;
    if (observer.ownerTied) {
        ownerAlive = observer.owner.lock();
        if (!ownerAlive) return;
    }
    ObserverGate::Pass pass(observer.gate);
    if (pass.admitted()) observer.block(note);
}

}  // namespace

struct NSNotificationCenter::State {
    std::mutex mutex;
    Token nextToken = 1;
    std::vector<std::shared_ptr<Observer>> observers;  // registration order

    Token add(std::shared_ptr<Observer> observer) {
        std::lock_guard lock(mutex);
        observer->token = nextToken++;
        observers.push_back(observer);
        return observer->token;
    }
};

NSNotificationCenter::NSNotificationCenter() : state_(std::make_unique<State>()) {}

NSNotificationCenter::~NSNotificationCenter() {
    // Deliveries already queued elsewhere hold their observer, not the centre; close them all.
    for (auto& observer : state_->observers) observer->gate.close();
}

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
    static NSNotificationCenter* center = new NSNotificationCenter();
    return *center;
}

NSNotificationCenter::Token NSNotificationCenter::addObserver(std::string_view name,
                                                              const std::shared_ptr<Object>& sender,
                                                              DispatchQueuePtr queue, Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name.assign(name);
    observer->anySender = sender == nullptr;
    observer->sender = sender;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    return state_->add(std::move(observer));
}

NSNotificationCenter::Token NSNotificationCenter::addObserver(std::weak_ptr<void> owner,
                                                              std::string_view name,
                                                              const std::shared_ptr<Object>& sender,
                                                              Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name.assign(name);
    observer->anySender = sender == nullptr;
    observer->sender = sender;
    observer->ownerTied = true;
    observer->owner = std::move(owner);
    observer->block = std::move(block);
    return state_->add(std::move(observer));
}

void NSNotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Observer> removed;
    {
        std::lock_guard lock(state_->mutex);
        auto& list = state_->observers;
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& o) { return o->token == token; });
        if (it == list.end()) return;
        removed = std::move(*it);
        list.erase(it);
    }
    if (!removed->gate.close()) {
        NSLog("NSNotificationCenter: an observer block of \"" + removed->name +
              "\" was still running on another thread when its observer was removed");
    }
}

bool NSNotificationCenter::hasObservers(std::string_view name, const std::shared_ptr<Object>& sender) const {
    std::lock_guard lock(state_->mutex);
    return std::any_of(state_->observers.begin(), state_->observers.end(),
                       [&](const auto& o) { return !o->isDead() && o->matches(name, sender); });
}

void NSNotificationCenter::post(std::string_view name, const std::shared_ptr<Object>& sender,
                                Value::Dictionary userInfo) {
    post(NSNotification{std::string(name), sender, std::move(userInfo)});
}

void NSNotificationCenter::post(const NSNotification& notification) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(state_->mutex);
        auto& list = state_->observers;
        std::erase_if(list, [](const auto& o) { return o->isDead(); });
        for (const auto& observer : list) {
            if (observer->matches(notification.name, notification.object)) targets.push_back(observer);
        }
    }
    for (const auto& observer : targets) {
        if (observer->queue) {
            observer->queue->async([observer, notification] { deliver(*observer, notification); });
        } else {
            deliver(*observer, notification);
        }
    }
}

// Termination: an exit handler for normal exits, and a SIGTERM handler that only writes one byte to a pipe;
// a watcher thread reads it, posts the notification and exits the process.
namespace {

std::atomic<bool> terminationPosted{false};
int terminationPipe[2] = {-1, -1};

void postTerminationOnce() {
    if (terminationPosted.exchange(true)) return;
    NSNotificationCenter::defaultCenter().post(UIApplicationWillTerminateNotification);
}

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(terminationPipe[1], &byte, 1);
    errno = savedErrno;
}

void watchForTerminationSignal() {
    char byte = 0;
    for (;;) {
        ssize_t n = read(terminationPipe[0], &byte, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        return;  // the pipe is gone: nothing more to watch
    }
    postTerminationOnce();
    std::exit(0);
}

}  // namespace

void installTerminationNotification() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(postTerminationOnce);
        if (pipe2(terminationPipe, O_CLOEXEC) != 0) {
            NSLog(std::string("installTerminationNotification: cannot create the signal pipe: ") +
                  std::strerror(errno));
            return;
        }
        fcntl(terminationPipe[1], F_SETFL, fcntl(terminationPipe[1], F_GETFL) | O_NONBLOCK);
        std::thread(watchForTerminationSignal).detach();

        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (sigaction(SIGTERM, &action, nullptr) != 0) {
            NSLog(std::string("installTerminationNotification: cannot install the SIGTERM handler: ") +
                  std::strerror(errno));
        }
    });
}
