// The per-task delegate: what a session manager keeps for each of its tasks.
//
// It follows the task's byte counters into two progress objects (and from there into the caller's progress
// blocks, on the thread where the counters change), collects a data task's body, moves a finished download
// to its destination, and runs the completion: the reply is decoded on the shared processing queue, the
// completion handler runs on the manager's completion queue inside its completion group, and then
// "com.hcnet.networking.task.complete" is posted on the main queue.
//
// Order for one task with the defaults (no completion queue or group set):
//   delegate queue      didReceiveData*, didFinishDownloading, didCompleteWithError
//   processing queue    the response serializer (skipped after a transport error)
//   main queue          the completion handler, then the task.complete notification
//
// The manager creates and attaches it (HCURLSessionManager); nothing else should.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Progress.h"
#include "platform/foundation/URLResponse.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"

class HCURLSessionManager;

// The process-wide queue on which replies are decoded ("com.hcnet.networking.session.manager.processing").
DispatchQueuePtr HCURLSessionManagerProcessingQueue();
// The group completion handlers run in when the manager names none.
std::shared_ptr<DispatchGroup> HCURLSessionManagerCompletionGroup();

class HCURLSessionManagerTaskDelegate final : public Object {
  public:
    using ProgressBlock = std::function<void(const NSProgressPtr& progress)>;
    // (response, response object or nullopt, error)
    using CompletionHandler =
        std::function<void(const NSURLResponsePtr& response, const std::optional<Value>& responseObject,
                           const NSErrorPtr& error)>;
    // (session, download task, temporary location) -> where to move the file; nullptr: leave it.
    using DownloadDestinationBlock =
        std::function<NSURLPtr(const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
                               const NSURLPtr& location)>;

    static std::shared_ptr<HCURLSessionManagerTaskDelegate> create();
    // A delegate about to be set up for `task`: its progress starts at the task's byte totals, which
    // setting it up for that task then has no need to announce again.
    static std::shared_ptr<HCURLSessionManagerTaskDelegate> createForTask(const NSURLSessionTaskPtr& task);

    std::shared_ptr<HCURLSessionManager> manager() const { return manager_.lock(); }
    void setManager(const std::shared_ptr<HCURLSessionManager>& manager) { manager_ = manager; }

    const NSProgressPtr& uploadProgress() const { return uploadProgress_; }
    const NSProgressPtr& downloadProgress() const { return downloadProgress_; }

    NSURLPtr downloadFileURL() const;
    // The error of a failed move of the download to its destination (nullptr when it moved or none was made).
    NSErrorPtr downloadFileError() const;

    void setUploadProgressBlock(ProgressBlock block);
    void setDownloadProgressBlock(ProgressBlock block);
    void setCompletionHandler(CompletionHandler handler);
    void setDownloadTaskDidFinishDownloading(DownloadDestinationBlock block);
    bool hasDownloadTaskDidFinishDownloading() const;

    // Attached and detached by the manager. Set-up observes the task's four byte counters and both progress
    // objects and ties the progress objects' cancel, pause and resume to the task; clean-up undoes it.
    void setupProgressForTask(const NSURLSessionTaskPtr& task);
    void cleanUpProgressForTask(const NSURLSessionTaskPtr& task);

    // Forwarded by the manager on its delegate queue.
    void didReceiveData(const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
                        const Data& data);
    void didFinishDownloadingToURL(const std::shared_ptr<NSURLSession>& session,
                                   const NSURLSessionTaskPtr& task, const NSURLPtr& location);
    // The hook of the manager moved the file itself; the completion reports `fileURL` (and `moveError`).
    void setMovedDownload(const NSURLPtr& fileURL, const NSErrorPtr& moveError);
    void didCompleteWithError(const std::shared_ptr<NSURLSession>& session, const NSURLSessionTaskPtr& task,
                              const NSErrorPtr& error);

  private:
    // Made only through the factories (the key is theirs), in one allocation with its count.
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    HCURLSessionManagerTaskDelegate(ConstructionKey, int64_t totalToSend, int64_t totalToReceive);

  private:
    void counterChanged(const KVOChange& change);
    void progressChanged(const NSProgress* progress);

    std::weak_ptr<HCURLSessionManager> manager_;
    const NSProgressPtr uploadProgress_;
    const NSProgressPtr downloadProgress_;

    mutable std::mutex mutex_;
    std::optional<std::vector<uint8_t>> mutableData_;
    NSURLPtr downloadFileURL_;
    NSErrorPtr downloadFileError_;
    ProgressBlock uploadProgressBlock_;
    ProgressBlock downloadProgressBlock_;
    CompletionHandler completionHandler_;
    DownloadDestinationBlock downloadTaskDidFinishDownloading_;
    std::weak_ptr<NSURLSessionTask> observedTask_;
    const NSURLSessionTask* totalsTakenFrom_ = nullptr;  // until the first set-up
    std::vector<KVOObservable::Token> taskTokens_;
    std::vector<std::pair<NSProgress*, KVOObservable::Token>> progressTokens_;
};

using HCURLSessionManagerTaskDelegatePtr = std::shared_ptr<HCURLSessionManagerTaskDelegate>;
