// The push client's facade: class methods only, backed by one hidden shared state that lives until the
// process ends. Every call logs its "Action - <selector>" line through PUSHLog (with file, function and line)
// and returns at once; the client's own work runs later, in call order, on its thread (PUSHThread).
//
// Order of use, as the application does it at launch:
//   registerForRemoteNotificationTypes(7, nil)      platform registration; needs no set-up
//   setupWithOption(options, key, channel, YES)     starts the client once
//   registerDeviceToken(token)                      when the platform delivers the token
//   handleRemoteNotification(payload)               for every remote notification
//   setTags(tags, alias, completion)                after sign-in
//
// The client builds its loggers (PUSHLogSetup) on its first call. Calls of the last three before a
// successful set-up are logged and ignored (setTags still answers its completion, see below).
//
// The push servers' protocol is not part of this system, so the client never registers with them: the
// device token is kept and logged, a notification's arrival is logged instead of reported, and every
// tag-and-alias request is given up.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Value.h"

// Notification types for registerForRemoteNotificationTypes (the application passes all three, 7).
inline constexpr unsigned long kPUSHNotificationTypeBadge = 1;
inline constexpr unsigned long kPUSHNotificationTypeSound = 2;
inline constexpr unsigned long kPUSHNotificationTypeAlert = 4;

// Result code of a tag-and-alias request that was given up because the application is not registered with
// the push servers. It is the only code the client gives (0 would mean success): the client never registers,
// since the push servers' protocol is not part of this system.
inline constexpr int kPUSHTagsAliasResultNotRegistered = 1;

// Gets the result code and the tags and alias of the request, on the main queue, once.
using PUSHTagsAliasCompletion = std::function<void(int resultCode, const Value& tags, const Value& alias)>;

class PUSHService {
  public:
    // Registers the application for remote notifications with the platform: on system version 8.0 and
    // later (DeviceProfile) it asks for remote notifications and registers user-notification settings
    // made from `types` and `categories` (a set, or null); earlier systems only ask for remote
    // notifications. Runs on the main thread (handed to the main queue when called elsewhere). Failure
    // shows only through the application delegate's registration callbacks.
    static void registerForRemoteNotificationTypes(unsigned long types, const Value& categories);

    // Starts the push client once: checks the application key (24 hexadecimal characters), then hands
    // the configuration to the client's thread. An invalid key is logged and refused (a later call may
    // still set the client up); once set up, further calls are logged and ignored. `launchOptions` may be
    // null.
    static void setupWithOption(const Value& launchOptions, const std::string& appKey,
                                const std::string& channel, bool apsForProduction);

    // Hands the device token to the client's thread, which keeps it and logs it as hex. An empty token is
    // logged and ignored.
    static void registerDeviceToken(const Data& deviceToken);

    // Hands the payload to the client's thread, which logs it together with its "_p_msgid" and the
    // application state code (0 active, 1 inactive, 2 background; read when the call is made on the main
    // thread, -1 when it is made elsewhere). A payload that is not a dictionary is logged and ignored.
    static void handleRemoteNotification(const Value& payload);

    // Hands a tag-and-alias request to the client's thread, which gives it up with the line
    // "app not registed, give up set tag:%@ alias:%@" and then calls `completion` (may be empty) on the
    // main queue with kPUSHTagsAliasResultNotRegistered. Before set-up nothing reaches the client's thread:
    // the call is logged as ignored and given up with the same line, and the completion is still called.
    static void setTags(const Value& tags, const Value& alias, PUSHTagsAliasCompletion completion);

    // Whether the client has been set up.
    static bool isSetUp();
    // Tests: waits for the client's thread to be idle (false on timeout), then forgets the set-up and
    // everything the client kept, so that the next setupWithOption starts it again.
    static bool resetForTesting(double timeoutSeconds = 10);
    // Tests: waits until every piece of work handed to the client's thread so far has finished.
    static bool waitUntilIdleForTesting(double timeoutSeconds = 10);

    PUSHService() = delete;
};
