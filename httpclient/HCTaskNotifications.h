// Notifications of the HTTP client's session managers and of every session task in the process.
//
// Task-class notifications. `HCInstallSessionTaskStateNotifications` hooks the task class once per process
// so that every session task posts, synchronously on the thread that called `resume` or `suspend`:
//   HCNSURLSessionTaskDidResumeNotification   when `resume` finds the task in any state but running;
//   HCNSURLSessionTaskDidSuspendNotification  when `suspend` finds it in any state but suspended.
// One post per such call, also when threads race: resuming a running task or suspending a suspended one
// posts nothing, while a call on a canceling or completed task posts though it changes nothing. The one
// exception is a resume that finds the task's session gone: the call itself completes the task, no
// completion will ever be announced for it, and so neither is the resume.
// The installer runs where the HTTP client is first used (the session managers) and at the application's
// start, before its delegate runs, so that tasks no manager made post as well; nothing installs it
// behind the program's back.
//
// Manager notifications, each with its task or session as object:
//   task.resume, task.suspend   main queue, for the manager's own tasks (relayed from the two above);
//   task.complete               main queue, after the completion handler has returned, with user info;
//   session.invalidate          the delegate queue, when the session has become invalid;
//   download.file-manager-error the delegate queue, when a finished download could not be moved.
#pragma once

#include "platform/net/URLSession.h"

inline constexpr const char* HCNSURLSessionTaskDidResumeNotification =
    "com.hcnet.networking.nsurlsessiontask.resume";
inline constexpr const char* HCNSURLSessionTaskDidSuspendNotification =
    "com.hcnet.networking.nsurlsessiontask.suspend";

inline constexpr const char* HCNetworkingTaskDidResumeNotification = "com.hcnet.networking.task.resume";
inline constexpr const char* HCNetworkingTaskDidSuspendNotification = "com.hcnet.networking.task.suspend";
inline constexpr const char* HCNetworkingTaskDidCompleteNotification = "com.hcnet.networking.task.complete";
inline constexpr const char* HCURLSessionDidInvalidateNotification =
    "com.hcnet.networking.session.invalidate";
inline constexpr const char* HCURLSessionDownloadTaskDidFailToMoveFileNotification =
    "com.hcnet.networking.session.download.file-manager-error";

// User-info keys of task.complete. Note the response-data key has no "task." after "networking.".
inline constexpr const char* HCNetworkingTaskDidCompleteResponseSerializerKey =
    "com.hcnet.networking.task.complete.responseserializer";
inline constexpr const char* HCNetworkingTaskDidCompleteAssetPathKey =
    "com.hcnet.networking.task.complete.assetpath";
inline constexpr const char* HCNetworkingTaskDidCompleteResponseDataKey =
    "com.hcnet.networking.complete.finish.responsedata";
inline constexpr const char* HCNetworkingTaskDidCompleteSerializedResponseKey =
    "com.hcnet.networking.task.complete.serializedresponse";
inline constexpr const char* HCNetworkingTaskDidCompleteErrorKey = "com.hcnet.networking.task.complete.error";

// Installs the task-class hook (above). Idempotent and thread-safe.
void HCInstallSessionTaskStateNotifications();

// The notification a task's `resume` or `suspend` posts when it finds the task in `oldState` and leaves it
// in `newState`, or nullptr for none (the rule above).
const char* HCSessionTaskStateNotificationName(NSURLSessionTask::StateCall call,
                                               NSURLSessionTaskState oldState,
                                               NSURLSessionTaskState newState);
