// NSNotificationCenter: named notifications with a sender and a user-info dictionary.
//
// Observers are blocks registered by name (empty name: every name) and optionally by sender; a block runs
// on the posting thread, or asynchronously on the given queue. Removing an observer's token stops further
// deliveries. Observers tied to an owner (a weak_ptr) are skipped and dropped once the owner is gone.
#pragma once

#include <functional>
#include <memory>
#include <string>

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

    // `sender` null: any sender. `queue` null: the posting thread.
    Token addObserver(const std::string& name, const std::shared_ptr<Object>& sender, DispatchQueuePtr queue,
                      Block block);
    // As above, but delivery stops once `owner` is destroyed.
    Token addObserver(std::weak_ptr<void> owner, const std::string& name, const std::shared_ptr<Object>& sender,
                      Block block);
    void removeObserver(Token token);

    void post(const std::string& name, const std::shared_ptr<Object>& sender = nullptr,
              Value::Dictionary userInfo = {});
    void post(const NSNotification& notification);
};

// The application's will-terminate notification, posted once at normal exit and on SIGTERM.
inline constexpr const char* UIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
// Installs the exit and SIGTERM hooks that post it (idempotent).
void installTerminationNotification();
