#include "httpclient/HCTaskNotifications.h"

#include <mutex>

#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"

void HCInstallSessionTaskStateNotifications() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The task reports every call that finds it in another state. Only `resume` reports a suspended
        // task and only `suspend` a running one, and in both cases the call really changed the state, so the
        // state before the call alone tells what happened; a call on a canceling or completed task changed
        // nothing and is not announced, so that observers counting resumes against completions (the activity
        // indicator) stay balanced. The state after the call matters once: a resume that finds the task's
        // session gone completes the task at once, and no completion will ever be announced for it. (A task
        // that really started and already completed on another thread is left out too: its completion
        // then finds nothing counted.)
        NSURLSessionTask::setStateChangeHook(
            [](NSURLSessionTask& task, NSURLSessionTaskState oldState, NSURLSessionTaskState newState) {
                const char* name = nullptr;
                if (oldState == NSURLSessionTaskState::Suspended) {
                    if (newState == NSURLSessionTaskState::Completed) return;
                    name = HCNSURLSessionTaskDidResumeNotification;
                } else if (oldState == NSURLSessionTaskState::Running) {
                    name = HCNSURLSessionTaskDidSuspendNotification;
                }
                if (!name) return;
                auto object = task.weak_from_this().lock();
                if (!object) return;
                NSNotificationCenter::defaultCenter().post(name, object);
            });
    });
}
