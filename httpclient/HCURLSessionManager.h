// HCURLSessionManager: one URL session, the delegate of that session, and a per-task delegate for each task.
//
// The manager makes data, upload and download tasks on its session (it never resumes them: the caller does),
// tags each with `taskDescriptionForSessionTasks`, and keeps a per-task delegate for each in a table under
// the lock "com.hcnet.networking.session.manager.lock" until the session reports the task's end. The per-task
// delegate tracks progress, collects the body and runs the completion (HCURLSessionManagerTaskDelegate.h
// has the order of callbacks).
//
// Threads:
//   - the session calls the manager on `operationQueue` (width 1), one callback at a time;
//   - the table lock is held only to read or change the table, never while calling anything else;
//   - replies are decoded on the process-wide concurrent queue
//     "com.hcnet.networking.session.manager.processing";
//   - completion handlers run on `completionQueue` (main queue when none) in `completionGroup`;
//   - progress blocks run on the thread where the session changes the task's byte counts;
//   - task.resume and task.suspend are posted on the main queue for this manager's tasks only.
//
// Ownership: the session holds its manager until it has been invalidated (`invalidateSessionCancelingTasks`),
// and the manager holds the session. A manager that is never invalidated lives, with its session and
// queue, until the process ends, but idle it holds no thread, and its connections go once a few later
// sessions have idled; once invalidated and let go, it leaves no thread and no descriptor behind.
//
// Hooks: each optional block takes over one session event; none is set by default. They run on the delegate
// queue, except `didFinishEventsForBackgroundURLSession`, which runs on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "httpclient/HCNetworkReachabilityManager.h"
#include "httpclient/HCSecurityPolicy.h"
#include "httpclient/HCTaskNotifications.h"
#include "httpclient/HCURLResponseSerialization.h"
#include "httpclient/HCURLSessionManagerTaskDelegate.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/net/URLSession.h"

class HCURLSessionManager : public Object, public NSURLSessionDelegate, public NSCoding, public NSCopying {
  public:
    using ProgressBlock = HCURLSessionManagerTaskDelegate::ProgressBlock;
    using CompletionHandler = HCURLSessionManagerTaskDelegate::CompletionHandler;
    // (temporary location, response) -> where to move the downloaded file.
    using DestinationBlock =
        std::function<NSURLPtr(const NSURLPtr& targetPath, const NSURLResponsePtr& response)>;

    using SessionDidBecomeInvalidBlock =
        std::function<void(const std::shared_ptr<NSURLSession>& session, const NSErrorPtr& error)>;
    using DidFinishEventsForBackgroundURLSessionBlock =
        std::function<void(const std::shared_ptr<NSURLSession>& session)>;
    // Returns the request to follow; nullopt stops at the redirect.
    using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<NSURLRequest>(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
        const NSHTTPURLResponsePtr& response, const NSURLRequest& request)>;
    using TaskNeedNewBodyStreamBlock = std::function<NSInputStreamPtr(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task)>;
    using TaskDidSendBodyDataBlock =
        std::function<void(const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
                           int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>;
    using TaskDidCompleteBlock =
        std::function<void(const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
                           const NSErrorPtr& error)>;
    using DataTaskDidReceiveResponseBlock = std::function<NSURLSessionResponseDisposition(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionDataTaskPtr& dataTask,
        const NSURLResponsePtr& response)>;
    using DataTaskDidReceiveDataBlock =
        std::function<void(const std::shared_ptr<NSURLSession>& session,
                           const NSURLSessionDataTaskPtr& dataTask, const Data& data)>;
    using DataTaskDidBecomeDownloadTaskBlock = std::function<void(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionDataTaskPtr& dataTask,
        const NSURLSessionDownloadTaskPtr& downloadTask)>;
    // Returns the response to cache; nullptr caches nothing.
    using DataTaskWillCacheResponseBlock = std::function<std::shared_ptr<NSCachedURLResponse>(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionDataTaskPtr& dataTask,
        const std::shared_ptr<NSCachedURLResponse>& proposedResponse)>;

    // Challenge hooks fill `*credential` (it starts null) and return the disposition.
    using SessionDidReceiveAuthenticationChallengeBlock = std::function<NSURLSessionAuthChallengeDisposition(
        const std::shared_ptr<NSURLSession>& session, const NSURLAuthenticationChallengePtr& challenge,
        NSURLCredentialPtr* credential)>;
    using TaskDidReceiveAuthenticationChallengeBlock = std::function<NSURLSessionAuthChallengeDisposition(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
        const NSURLAuthenticationChallengePtr& challenge, NSURLCredentialPtr* credential)>;
    // Returns where to move the finished download; nullptr leaves it to the task's own destination.
    using DownloadTaskDidFinishDownloadingBlock =
        std::function<NSURLPtr(const std::shared_ptr<NSURLSession>& session,
                               const NSURLSessionDownloadTaskPtr& downloadTask, const NSURLPtr& location)>;
    using DownloadTaskDidWriteDataBlock = std::function<void(
        const std::shared_ptr<NSURLSession>& session, const NSURLSessionDownloadTaskPtr& downloadTask,
        int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite)>;
    using DownloadTaskDidResumeBlock = std::function<void(const std::shared_ptr<NSURLSession>& session,
                                                          const NSURLSessionDownloadTaskPtr& downloadTask,
                                                          int64_t fileOffset, int64_t expectedTotalBytes)>;

    // A nil configuration means the default one.
    static std::shared_ptr<HCURLSessionManager> create(NSURLSessionConfigurationPtr configuration = nullptr);
    static bool supportsSecureCoding() { return true; }
    static std::string archiveClassName() { return "HCURLSessionManager"; }
    // Registers the manager classes (and what their archives hold) for unarchiving; idempotent.
    static void registerArchivableClasses();

    ~HCURLSessionManager() override;

    const std::shared_ptr<NSURLSession>& session() const { return session_; }
    const std::shared_ptr<NSOperationQueue>& operationQueue() const { return operationQueue_; }
    const NSURLSessionConfigurationPtr& sessionConfiguration() const { return sessionConfiguration_; }

    std::shared_ptr<HCURLResponseSerialization> responseSerializer() const;
    virtual void setResponseSerializer(std::shared_ptr<HCURLResponseSerialization> serializer);
    std::shared_ptr<HCSecurityPolicy> securityPolicy() const;
    // A connection is reused only under the decision that accepted it: setting a policy (or a challenge hook)
    // sends later requests over new connections.
    void setSecurityPolicy(std::shared_ptr<HCSecurityPolicy> policy);
    std::shared_ptr<HCNetworkReachabilityManager> reachabilityManager() const;
    void setReachabilityManager(std::shared_ptr<HCNetworkReachabilityManager> manager);
    // nullptr: the main queue / the shared completion group.
    DispatchQueuePtr completionQueue() const;
    void setCompletionQueue(DispatchQueuePtr queue);
    std::shared_ptr<DispatchGroup> completionGroup() const;
    void setCompletionGroup(std::shared_ptr<DispatchGroup> group);
    bool attemptsToRecreateUploadTasksForBackgroundSessions() const;
    void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts);

    // The manager's address in "%p" notation; every task of the manager carries it as its description.
    const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }
    const NSLock& lock() const { return lock_; }

    // ---- Task creation. The task is returned suspended; nullptr when the session made none, in which case
    // the completion handler (when given) is called asynchronously on the completion queue with an error.
    NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request,
                                                CompletionHandler completionHandler);
    NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request, ProgressBlock uploadProgress,
                                                ProgressBlock downloadProgress,
                                                CompletionHandler completionHandler);
    // The same, taking the request over instead of copying it.
    NSURLSessionDataTaskPtr dataTaskWithRequest(NSURLRequest&& request, ProgressBlock uploadProgress,
                                                ProgressBlock downloadProgress,
                                                CompletionHandler completionHandler);
    NSURLSessionUploadTaskPtr uploadTaskWithRequest(const NSURLRequest& request, const NSURLPtr& fileURL,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    NSURLSessionUploadTaskPtr uploadTaskWithRequest(const NSURLRequest& request, const Data& bodyData,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    NSURLSessionUploadTaskPtr uploadTaskWithStreamedRequest(const NSURLRequest& request,
                                                            ProgressBlock uploadProgress,
                                                            CompletionHandler completionHandler);
    // Downloads. The file is moved to the URL `destination` returns; the completion then gets that URL as
    // its response object. A file that cannot be moved there (the destination exists, the directory is
    // missing or read-only) makes the task fail with the file manager's error: nothing is overwritten.
    NSURLSessionDownloadTaskPtr downloadTaskWithRequest(const NSURLRequest& request,
                                                        ProgressBlock downloadProgress,
                                                        DestinationBlock destination,
                                                        CompletionHandler completionHandler);
    NSURLSessionDownloadTaskPtr downloadTaskWithResumeData(const Data& resumeData,
                                                           ProgressBlock downloadProgress,
                                                           DestinationBlock destination,
                                                           CompletionHandler completionHandler);

    // ---- Per-task delegates.
    void addDelegateForDataTask(const NSURLSessionDataTaskPtr& task, ProgressBlock uploadProgress,
                                ProgressBlock downloadProgress, CompletionHandler completionHandler);
    void addDelegateForUploadTask(const NSURLSessionUploadTaskPtr& task, ProgressBlock uploadProgress,
                                  CompletionHandler completionHandler);
    void addDelegateForDownloadTask(const NSURLSessionDownloadTaskPtr& task, ProgressBlock downloadProgress,
                                    DestinationBlock destination, CompletionHandler completionHandler);
    void setDelegate(const HCURLSessionManagerTaskDelegatePtr& delegate, const NSURLSessionTaskPtr& task);
    HCURLSessionManagerTaskDelegatePtr delegateForTask(const NSURLSessionTaskPtr& task) const;
    void removeDelegateForTask(const NSURLSessionTaskPtr& task);

    // The per-task delegate's progress; nullptr for a task without one.
    NSProgressPtr uploadProgressForTask(const NSURLSessionTaskPtr& task) const;
    NSProgressPtr downloadProgressForTask(const NSURLSessionTaskPtr& task) const;

    // ---- The session's unfinished tasks ("tasks" lists data, then upload, then download tasks); nullopt for
    // an unknown key path. Called on the delegate queue itself, where the session cannot answer in time, they
    // answer from the manager's own table (the tasks it made that have not ended).
    std::optional<std::vector<NSURLSessionTaskPtr>> tasksForKeyPath(const std::string& keyPath) const;
    std::vector<NSURLSessionTaskPtr> tasks() const { return *tasksForKeyPath("tasks"); }
    std::vector<NSURLSessionTaskPtr> dataTasks() const { return *tasksForKeyPath("dataTasks"); }
    std::vector<NSURLSessionTaskPtr> uploadTasks() const { return *tasksForKeyPath("uploadTasks"); }
    std::vector<NSURLSessionTaskPtr> downloadTasks() const { return *tasksForKeyPath("downloadTasks"); }

    // Asks the session, from the main queue, to invalidate: cancelling its tasks (true) or letting them
    // finish (false). Once the session reports that it has become invalid it lets the manager go.
    void invalidateSessionCancelingTasks(bool cancelPendingTasks);

    // ---- Hooks.
    void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
    void setDidFinishEventsForBackgroundURLSessionBlock(DidFinishEventsForBackgroundURLSessionBlock block);
    void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);
    void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
    void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
    void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
    void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
    void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
    void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
    void setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block);
    void setSessionDidReceiveAuthenticationChallengeBlock(
        SessionDidReceiveAuthenticationChallengeBlock block);
    void setTaskDidReceiveAuthenticationChallengeBlock(TaskDidReceiveAuthenticationChallengeBlock block);
    void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
    void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
    void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);

    // ---- The session's delegate (called by the session on the delegate queue).
    // Methods that only run a hook count as implemented while it is set; the session's end while its hook is
    // set or someone observes HCURLSessionDidInvalidateNotification from this session.
    bool respondsTo(Method method) const override;
    void didBecomeInvalidWithError(const SessionPtr& session, const NSErrorPtr& error) override;
    void willPerformHTTPRedirection(
        const SessionPtr& session, const NSURLSessionTaskPtr& task, const NSHTTPURLResponsePtr& response,
        const NSURLRequest& newRequest,
        std::function<void(std::optional<NSURLRequest>)> completionHandler) override;
    void needNewBodyStream(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                           std::function<void(NSInputStreamPtr)> completionHandler) override;
    void didSendBodyData(const SessionPtr& session, const NSURLSessionTaskPtr& task, int64_t bytesSent,
                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override;
    void didCompleteWithError(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                              const NSErrorPtr& error) override;
    void didReceiveResponse(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                            const NSURLResponsePtr& response,
                            std::function<void(NSURLSessionResponseDisposition)> completionHandler) override;
    void didReceiveData(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                        const Data& data) override;
    // The data task's per-task delegate moves to the download task (progress, completion handler and
    // collected data carry over); then the hook.
    void didBecomeDownloadTask(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                               const NSURLSessionDownloadTaskPtr& downloadTask) override;
    void willCacheResponse(
        const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
        const std::shared_ptr<NSCachedURLResponse>& proposedResponse,
        std::function<void(std::shared_ptr<NSCachedURLResponse>)> completionHandler) override;
    void didFinishEventsForBackgroundURLSession(const SessionPtr& session) override;
    // Server trust goes to `securityPolicy` for the challenge's host; other methods get default handling.
    void didReceiveChallenge(const SessionPtr& session, const NSURLAuthenticationChallengePtr& challenge,
                             NSURLChallengeCompletionHandler completionHandler) override;
    void taskDidReceiveChallenge(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                 const NSURLAuthenticationChallengePtr& challenge,
                                 NSURLChallengeCompletionHandler completionHandler) override;
    void didFinishDownloadingToURL(const SessionPtr& session, const NSURLSessionDownloadTaskPtr& downloadTask,
                                   const std::shared_ptr<NSURL>& location) override;
    void didWriteData(const SessionPtr& session, const NSURLSessionDownloadTaskPtr& downloadTask,
                      int64_t bytesWritten, int64_t totalBytesWritten,
                      int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(const SessionPtr& session, const NSURLSessionDownloadTaskPtr& downloadTask,
                           int64_t fileOffset, int64_t expectedTotalBytes) override;

    // ---- Coding and copying. The archive holds the session configuration (the platform's is not archivable)
    // as keys of its own: "identifier" (background sessions only), "HTTPAdditionalHeaders", the two timeouts,
    // "HTTPMaximumConnectionsPerHost", "requestCachePolicy" and the three flags, under their property names.
    // A copy has the same configuration and nothing else.
    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;
    // "<HCURLSessionManager: 0x..., session: <NSURLSession: 0x...>, operationQueue: NSOperationQueue 0x...>"
    std::string description() const override;
    virtual std::string className() const { return archiveClassName(); }

  protected:
    HCURLSessionManager() = default;
    // The designated initialisation, run once right after construction.
    void initWithSessionConfiguration(NSURLSessionConfigurationPtr configuration);
    // A new, initialised manager of the receiver's class on `configuration`.
    virtual std::shared_ptr<HCURLSessionManager> newManager(NSURLSessionConfigurationPtr configuration) const;
    static NSURLSessionConfigurationPtr decodeConfiguration(NSKeyedUnarchiver& coder);

    // Calls `completionHandler` with `error` asynchronously on the completion queue (no task exists).
    void failCreation(const CompletionHandler& completionHandler, const NSURLRequest& request) const;
    DispatchQueuePtr effectiveCompletionQueue() const;

  private:
    struct Entry {
        HCURLSessionManagerTaskDelegatePtr delegate;
        std::weak_ptr<NSURLSessionTask> task;
    };
    struct Observers {
        NSNotificationCenter::Token resume = 0;
        NSNotificationCenter::Token suspend = 0;
    };

    void addNotificationObserverForTask(const NSURLSessionTaskPtr& task);
    void removeNotificationObserverForTask(const NSURLSessionTaskPtr& task);
    void taskDidResume(const NSNotification& notification);
    void taskDidSuspend(const NSNotification& notification);
    // Posts `name` (a string that lives until the process ends) for the task on the main queue.
    void relay(const NSNotification& notification, const char* name);
    void attachDelegate(const NSURLSessionTaskPtr& task, ProgressBlock uploadProgress,
                        ProgressBlock downloadProgress, CompletionHandler completionHandler,
                        DestinationBlock destination = nullptr);
    // The policy or a challenge hook changed: later requests go on new connections.
    void trustDecisionChanged();
    // The policy's answer for a server-trust challenge: the disposition and, when trusted, the credential.
    NSURLSessionAuthChallengeDisposition evaluateServerTrust(const NSURLAuthenticationChallengePtr& challenge,
                                                             NSURLCredentialPtr* credential,
                                                             bool taskLevel) const;
    // The hooks, made when the first one is set: most managers set none, and with every block inline a
    // manager would be a large allocation.
    struct Hooks {
        SessionDidBecomeInvalidBlock sessionDidBecomeInvalid;
        DidFinishEventsForBackgroundURLSessionBlock didFinishEventsForBackgroundURLSession;
        TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection;
        TaskNeedNewBodyStreamBlock taskNeedNewBodyStream;
        TaskDidSendBodyDataBlock taskDidSendBodyData;
        TaskDidCompleteBlock taskDidComplete;
        DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse;
        DataTaskDidReceiveDataBlock dataTaskDidReceiveData;
        DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask;
        DataTaskWillCacheResponseBlock dataTaskWillCacheResponse;
        SessionDidReceiveAuthenticationChallengeBlock sessionDidReceiveAuthenticationChallenge;
        TaskDidReceiveAuthenticationChallengeBlock taskDidReceiveAuthenticationChallenge;
        DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading;
        DownloadTaskDidWriteDataBlock downloadTaskDidWriteData;
        DownloadTaskDidResumeBlock downloadTaskDidResume;
    };
    template <class Block>
    Block hook(Block Hooks::*slot) const {
        std::lock_guard lock(settingsMutex_);
        return hooks_ ? (*hooks_).*slot : Block();
    }
    template <class Block>
    void setHook(Block Hooks::*slot, Block block);
    std::vector<NSURLSessionTaskPtr> tableTasks() const;
    // Gives a task found in the session at start-up a bare per-task delegate, unless it has one already.
    void adoptTask(const NSURLSessionTaskPtr& task);

    std::shared_ptr<NSURLSession> session_;
    std::shared_ptr<NSOperationQueue> operationQueue_;
    NSURLSessionConfigurationPtr sessionConfiguration_;
    std::string taskDescription_;

    mutable NSLock lock_;
    std::map<uint64_t, Entry> mutableTaskDelegatesKeyedByTaskIdentifier_;  // under lock_

    // Settings and hooks: read from the delegate queue, the I/O thread and the processing queue.
    mutable std::mutex settingsMutex_;
    std::shared_ptr<HCURLResponseSerialization> responseSerializer_;
    std::shared_ptr<HCSecurityPolicy> securityPolicy_;
    std::shared_ptr<HCNetworkReachabilityManager> reachabilityManager_;
    DispatchQueuePtr completionQueue_;
    std::shared_ptr<DispatchGroup> completionGroup_;
    bool attemptsToRecreateUploadTasksForBackgroundSessions_ = false;
    std::unique_ptr<Hooks> hooks_;

    // Relay registrations per task identifier.
    std::mutex observersMutex_;
    std::map<uint64_t, Observers> observers_;
};

using HCURLSessionManagerPtr = std::shared_ptr<HCURLSessionManager>;
