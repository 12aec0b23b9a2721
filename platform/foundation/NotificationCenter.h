// NSNotificationCenter: named notifications with a sender and a user-info dictionary.
//
// Observers are blocks registered by name (empty name: every name) and optionally by sender; a block runs
// on the posting thread, or asynchronously on the given queue. Removing an observer's token stops further
// deliveries. Observers tied to an owner (a weak_ptr) are skipped and dropped once the owner is gone.
//
// Observers are called in registration order, with no lock of the centre held, so a block may post, add or
// remove observers (itself included). Once `removeObserver` returns, the block is never started again; if
// it is running on another thread at that moment, `removeObserver` first waits for it to return (at most
// a few seconds). The sender filter does not keep the sender alive.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"

struct NSNotification {
    std::string name;
    std::shared_ptr<Object> object;  // the sender, may be null
    Value::Dictionary userInfo;
};

class NSNotificationCenter {
  public:
    using Token = uint64_t;
    using Block = std::function<void(const NSNotification&)>;

    static NSNotificationCenter& defaultCenter();

    // A private centre (the default one lives until the process ends).
    NSNotificationCenter();
    ~NSNotificationCenter();
    NSNotificationCenter(const NSNotificationCenter&) = delete;
    NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

    // `sender` null: any sender. `queue` null: the posting thread.
    // Names are taken as views and copied once, where they are kept: constants need no string of their own.
    Token addObserver(std::string_view name, const std::shared_ptr<Object>& sender, DispatchQueuePtr queue,
                      Block block);
    // As above, but delivery stops once `owner` is destroyed.
    Token addObserver(std::weak_ptr<void> owner, std::string_view name, const std::shared_ptr<Object>& sender,
                      Block block);
    void removeObserver(Token token);

    // Whether a notification posted now with `name` and `sender` would reach an observer.
    bool hasObservers(std::string_view name, const std::shared_ptr<Object>& sender = nullptr) const;

    void post(std::string_view name, const std::shared_ptr<Object>& sender = nullptr,
              Value::Dictionary userInfo = {});
    void post(const NSNotification& notification);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The application's will-terminate notification, posted once at normal exit and on SIGTERM.
inline constexpr const char* UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";
// Installs the exit and SIGTERM hooks that post it (idempotent). At normal exit (std::exit or returning from
// main) it is posted from an exit handler. On SIGTERM a watcher thread, woken through a self-pipe by the
// signal handler, posts it on the default centre and then ends the process with std::exit(0), which runs
// the exit handlers (flushing user defaults, for one); it is never posted twice.
void installTerminationNotification();
