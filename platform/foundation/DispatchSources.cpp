// Threading: a source's state sits behind its own mutex; handlers are queued onto the source's queue and
// look at that state again before they start, so nothing starts after `cancel`. Timer sources wake through
// clock deadlines (the clock's timer thread, or whoever advances the manual clock). File sources share one
// inotify descriptor and one watcher thread, started with the first source and kept for the process; the
// registry of watches has its own mutex, which the watcher holds while it hands events to sources, so a
// source that has left the registry never hears from it again.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"

namespace {

// ---- Timer source

class TimerSource final : public DispatchTimerSource, public std::enable_shared_from_this<TimerSource> {
  public:
    explicit TimerSource(DispatchQueuePtr queue) : queue_(std::move(queue)) {}
    ~TimerSource() override {
        if (deadline_) Clock::cancelDeadline(deadline_);
    }

    void setTimer(double startDelay, double interval, double /*leeway*/) override {
        bool due;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            configured_ = true;
            nextFire_ = Clock::monotonic() + std::max(startDelay, 0.0);
            interval_ = interval;
            due = arm();
        }
        if (due) fire();
    }
    void setEventHandler(std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) handler_ = std::move(handler);
    }
    void setCancelHandler(std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) cancelHandler_ = std::move(handler);
    }
    void resume() override {
        bool due;
        {
            std::lock_guard lock(mutex_);
            if (suspendCount_ == 0) {
                std::fprintf(stderr, "DispatchTimerSource: resume without a matching suspend; ignored\n");
                return;
            }
            --suspendCount_;
            due = arm();
        }
        if (due) fire();
    }
    void suspend() override {
        std::lock_guard lock(mutex_);
        ++suspendCount_;
        disarm();
    }
    void cancel() override {
        std::function<void()> handler, cancelHandler;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            disarm();
            handler.swap(handler_);
            cancelHandler.swap(cancelHandler_);
        }
        if (cancelHandler) queue_->async(std::move(cancelHandler));
    }
    bool isCancelled() const override {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

  private:
    // Caller holds mutex_.
    void disarm() {
        ++generation_;
        if (deadline_) Clock::cancelDeadline(deadline_);
        deadline_ = 0;
    }
    // Caller holds mutex_. Schedules the next fire; true when it is already due (the caller then fires).
    bool arm() {
        disarm();
        if (!configured_ || cancelled_ || suspendCount_ > 0) return false;
        if (nextFire_ <= Clock::monotonic()) return true;
        deadline_ = Clock::scheduleDeadline(nextFire_, [weak = weak_from_this(), generation = generation_] {
            if (auto self = weak.lock()) self->deadlineReached(generation);
        });
        return false;
    }

    void deadlineReached(uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (generation != generation_) return;  // disarmed after the clock had picked the deadline
            deadline_ = 0;
        }
        fire();
    }

    // Queues one handler call and schedules the next, as long as the next is already due.
    void fire() {
        for (bool due = true; due;) {
            {
                std::lock_guard lock(mutex_);
                if (!configured_ || cancelled_ || suspendCount_ > 0) return;
                if (interval_ > 0) {
                    // Stay on the timer's grid, skipping fires that were missed.
                    const double now = Clock::monotonic();
                    double next = nextFire_ + interval_;
                    if (next <= now)
                        next = nextFire_ + interval_ * (std::floor((now - nextFire_) / interval_) + 1);
                    nextFire_ = next;
                    due = arm();
                } else {
                    configured_ = false;
                    due = false;
                }
            }
            queue_->async([weak = weak_from_this()] {
                if (auto self = weak.lock()) self->runHandler();
            });
        }
    }

    void runHandler() {
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || suspendCount_ > 0) return;
            handler = handler_;
        }
        if (handler) handler();
    }

    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    std::function<void()> handler_;
    std::function<void()> cancelHandler_;
    bool configured_ = false;
    double nextFire_ = 0;
    double interval_ = 0;
    int suspendCount_ = 1;  // created suspended
    bool cancelled_ = false;
    Clock::DeadlineId deadline_ = 0;
    uint64_t generation_ = 0;
};

// ---- File source

class FileSource;

// The inotify events behind the events a source asks for, so that a watch on a busy file stays quiet unless
// writes were asked for.
uint32_t inotifyMask(unsigned events) {
    uint32_t mask = 0;
    if (events & DispatchFileSource::Delete) mask |= IN_ATTRIB | IN_DELETE_SELF;
    if (events & DispatchFileSource::Rename) mask |= IN_MOVE_SELF;
    if (events & DispatchFileSource::Write) mask |= IN_MODIFY;
    return mask;
}

struct WatchRegistry {
    std::mutex mutex;
    int inotifyFd = -1;
    std::map<int, std::vector<FileSource*>> sourcesByWatch;
};

WatchRegistry& registry() {
    static auto* r = new WatchRegistry;  // the watcher thread uses it until exit
    return *r;
}

void watcherMain();

class FileSource final : public DispatchFileSource, public std::enable_shared_from_this<FileSource> {
  public:
    FileSource(unsigned mask, DispatchQueuePtr queue) : mask_(mask), queue_(std::move(queue)) {}
    ~FileSource() override { unwatch(); }

    // Registers the watch; false (with a message) when the descriptor cannot be watched.
    bool watch(int fd) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        WatchRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.inotifyFd < 0) {
            r.inotifyFd = inotify_init1(IN_CLOEXEC);
            if (r.inotifyFd < 0) {
                std::fprintf(stderr, "DispatchFileSource: inotify_init1: %s\n", std::strerror(errno));
                return false;
            }
            std::thread(watcherMain).detach();
        }
        if (inotifyMask(mask_) == 0) return true;  // asks for nothing: stays silent
        // Our own handle on the inode, to read its link count even after the caller closes theirs.
        inode_ = open(path.c_str(), O_PATH | O_CLOEXEC);
        // Sources on one inode share its watch, which carries the events any of them asks for.
        watch_ =
            inode_ < 0 ? -1 : inotify_add_watch(r.inotifyFd, path.c_str(), inotifyMask(mask_) | IN_MASK_ADD);
        if (watch_ < 0) {
            std::fprintf(stderr, "DispatchFileSource: cannot watch descriptor %d: %s\n", fd,
                         std::strerror(errno));
            if (inode_ >= 0) close(inode_);
            inode_ = -1;
            return false;
        }
        r.sourcesByWatch[watch_].push_back(this);
        return true;
    }

    // Watcher thread, registry mutex held.
    void noteInotify(uint32_t inotifyMask) {
        unsigned events = 0;
        if (inotifyMask & IN_ATTRIB) {
            struct stat st {};
            if (fstat(inode_, &st) == 0 && st.st_nlink == 0) events |= Delete;
        }
        if (inotifyMask & IN_DELETE_SELF) events |= Delete;
        if (inotifyMask & IN_MOVE_SELF) events |= Rename;
        if (inotifyMask & IN_MODIFY) events |= Write;
        events &= mask_;
        if (!events) return;
        std::lock_guard lock(mutex_);
        pending_ |= events;
        scheduleDelivery();
    }

    void setEventHandler(std::function<void(unsigned)> handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) handler_ = std::move(handler);
    }
    void setCancelHandler(std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) cancelHandler_ = std::move(handler);
    }
    void resume() override {
        std::lock_guard lock(mutex_);
        suspended_ = false;
        scheduleDelivery();
    }
    void cancel() override {
        unwatch();
        std::function<void(unsigned)> handler;
        std::function<void()> cancelHandler;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            handler.swap(handler_);
            cancelHandler.swap(cancelHandler_);
        }
        if (cancelHandler) queue_->async(std::move(cancelHandler));
    }

    unsigned pendingEvents() const override {
        std::lock_guard lock(mutex_);
        return cancelled_ ? 0 : pending_;
    }

  private:
    // Caller holds mutex_.
    void scheduleDelivery() {
        if (!pending_ || suspended_ || cancelled_ || deliveryQueued_) return;
        deliveryQueued_ = true;
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->deliver();
        });
    }

    void deliver() {
        std::function<void(unsigned)> handler;
        unsigned events;
        {
            std::lock_guard lock(mutex_);
            deliveryQueued_ = false;
            if (cancelled_ || suspended_) return;
            events = pending_;
            pending_ = 0;
            handler = handler_;
        }
        if (events && handler) handler(events);
    }

    void unwatch() {
        WatchRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        if (watch_ >= 0) {
            auto it = r.sourcesByWatch.find(watch_);
            if (it != r.sourcesByWatch.end()) {
                std::erase(it->second, this);
                if (it->second.empty()) {
                    inotify_rm_watch(r.inotifyFd, watch_);
                    r.sourcesByWatch.erase(it);
                } else {
                    // The shared watch narrows to what the remaining sources ask for.
                    unsigned events = 0;
                    for (FileSource* other : it->second) events |= other->mask_;
                    const std::string path = "/proc/self/fd/" + std::to_string(it->second.front()->inode_);
                    inotify_add_watch(r.inotifyFd, path.c_str(), inotifyMask(events));
                }
            }
            watch_ = -1;
        }
        if (inode_ >= 0) close(inode_);
        inode_ = -1;
    }

    const unsigned mask_;
    const DispatchQueuePtr queue_;
    int watch_ = -1;  // guarded by the registry mutex
    int inode_ = -1;  // guarded by the registry mutex
    mutable std::mutex mutex_;
    std::function<void(unsigned)> handler_;
    std::function<void()> cancelHandler_;
    unsigned pending_ = 0;
    bool suspended_ = true;
    bool cancelled_ = false;
    bool deliveryQueued_ = false;
};

void watcherMain() {
    WatchRegistry& r = registry();
    int fd;
    {
        std::lock_guard lock(r.mutex);
        fd = r.inotifyFd;
    }
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "DispatchFileSource: reading inotify: %s; file sources stop\n",
                         std::strerror(errno));
            return;
        }
        std::lock_guard lock(r.mutex);
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += ssize_t(sizeof(inotify_event) + event->len);
            auto it = r.sourcesByWatch.find(event->wd);
            if (it == r.sourcesByWatch.end()) continue;
            for (FileSource* source : it->second) source->noteInotify(event->mask);
            if (event->mask & IN_IGNORED) r.sourcesByWatch.erase(it);  // the kernel dropped the watch
        }
    }
}

}  // namespace

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::create(DispatchQueuePtr queue) {
    return std::make_shared<TimerSource>(std::move(queue));
}

std::shared_ptr<DispatchFileSource> DispatchFileSource::create(int fd, unsigned eventMask,
                                                               DispatchQueuePtr queue) {
    auto source = std::make_shared<FileSource>(eventMask, std::move(queue));
    source->watch(fd);  // a source that cannot watch stays silent but can still be cancelled
    return source;
}
