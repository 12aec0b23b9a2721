#include "httpclient/HCTaskNotifications.h"

#include <mutex>

#include "platform/foundation/NotificationCenter.h"

const char* HCSessionTaskStateNotificationName(NSURLSessionTask::StateCall call,
                                               NSURLSessionTaskState oldState,
                                               NSURLSessionTaskState newState) {
    if (call == NSURLSessionTask::StateCall::Suspend)
        return oldState == NSURLSessionTaskState::Suspended ? nullptr
                                                            : HCNSURLSessionTaskDidSuspendNotification;
    if (oldState == NSURLSessionTaskState::Running) return nullptr;
    // A suspended task that this very call completed had lost its session: nothing will follow it.
    if (oldState == NSURLSessionTaskState::Suspended && newState == NSURLSessionTaskState::Completed)
        return nullptr;
    return HCNSURLSessionTaskDidResumeNotification;
}

void HCInstallSessionTaskStateNotifications() {
    static std::once_flag once;
    std::call_once(once, [] {
        NSURLSessionTask::setStateChangeHook([](NSURLSessionTask& task, NSURLSessionTask::StateCall call,
                                                NSURLSessionTaskState oldState,
                                                NSURLSessionTaskState newState) {
            const char* name = HCSessionTaskStateNotificationName(call, oldState, newState);
            if (!name) return;
            auto object = task.weak_from_this().lock();
            if (!object) return;
            NSNotificationCenter::defaultCenter().post(name, object);
        });
    });
}
