// HCImageDownloader: fetches images by URL request, merging concurrent requests for one URL into one task.
//
// A download is answered, in this order of preference:
//   1. by joining the task already in flight (or queued) for the same URL: no cache look-up then;
//   2. from the image cache, when the request's cache policy allows it (UseProtocolCachePolicy,
//      ReturnCacheDataElseLoad, ReturnCacheDataDontLoad): the success block gets a nil response;
//   3. by a new data task, started at once while fewer than `maximumActiveDownloads` run, else queued
//      (first in, first out, or last in, first out).
// A receipt is returned exactly when a task now serves the caller; it is nullptr for a cache hit and for a
// request that failed at once (no URL: NSURLErrorDomain -1000).
//
// Every success and failure block runs on the main queue, asynchronously, never inside the call that
// registered it; the callers of one task are answered in the order they asked. A successful image goes
// into the cache once, before any caller hears of it. A reply that is not a decodable image fails with the
// serializer's error (or NSURLErrorDomain -1016 when it gave none).
//
// Cancelling a receipt withdraws that caller only: its failure block gets NSURLErrorDomain -999 with the
// failure reason "ImageDownloader cancelled URL request: <URL>", and it hears nothing else. A queued task
// whose last caller withdraws is cancelled and never starts; a running task runs to its end (its image
// still reaches the cache). A receipt whose download has finished cancels nothing.
//
// Threads: any caller thread; the bookkeeping runs on a private serial queue that callers wait on briefly,
// finished downloads are processed on a private concurrent queue. Downloads count against the maximum only
// while they really run: a queued task cancelled before it started frees no slot it never held.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpclient/HCHTTPSessionManager.h"
#include "httpclient/HCImageCache.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSUUID.h"
#include "platform/foundation/URLResponse.h"
#include "platform/graphics/UIImage.h"
#include "platform/net/URLCache.h"

enum class HCImageDownloadPrioritization : long {
    FIFO = 0,
    LIFO = 1,
};

using HCImageDownloadSuccessBlock = std::function<void(
    const NSURLRequest& request, const NSHTTPURLResponsePtr& response, const UIImagePtr& image)>;
using HCImageDownloadFailureBlock = std::function<void(
    const NSURLRequest& request, const NSHTTPURLResponsePtr& response, const NSErrorPtr& error)>;

// One caller's interest in a download.
class HCImageDownloaderResponseHandler final : public Object {
  public:
    static std::shared_ptr<HCImageDownloaderResponseHandler> create(NSUUIDPtr uuid,
                                                                    HCImageDownloadSuccessBlock success,
                                                                    HCImageDownloadFailureBlock failure);
    const NSUUIDPtr& uuid() const { return uuid_; }
    const HCImageDownloadSuccessBlock& successBlock() const { return successBlock_; }
    const HCImageDownloadFailureBlock& failureBlock() const { return failureBlock_; }
    // "<HCImageDownloaderResponseHandler>UUID: <uuid>"
    std::string description() const override;

  private:
    HCImageDownloaderResponseHandler() = default;
    NSUUIDPtr uuid_;
    HCImageDownloadSuccessBlock successBlock_;
    HCImageDownloadFailureBlock failureBlock_;
};

using HCImageDownloaderResponseHandlerPtr = std::shared_ptr<HCImageDownloaderResponseHandler>;

// One network task and everybody waiting for it. Changed on the downloader's synchronization queue only.
class HCImageDownloaderMergedTask final : public Object {
  public:
    static std::shared_ptr<HCImageDownloaderMergedTask> create(std::string URLIdentifier,
                                                               NSUUIDPtr identifier);

    const std::string& URLIdentifier() const { return URLIdentifier_; }
    const NSUUIDPtr& identifier() const { return identifier_; }
    const NSURLSessionDataTaskPtr& task() const { return task_; }
    void setTask(NSURLSessionDataTaskPtr task) { task_ = std::move(task); }
    const std::vector<HCImageDownloaderResponseHandlerPtr>& responseHandlers() const {
        return responseHandlers_;
    }
    void addResponseHandler(HCImageDownloaderResponseHandlerPtr handler);
    void removeResponseHandler(const HCImageDownloaderResponseHandlerPtr& handler);
    // Whether the task was started (and so holds one of the downloader's active slots).
    bool isStarted() const { return started_; }
    void setStarted() { started_ = true; }

  private:
    HCImageDownloaderMergedTask() = default;
    std::string URLIdentifier_;
    NSUUIDPtr identifier_;
    NSURLSessionDataTaskPtr task_;
    std::vector<HCImageDownloaderResponseHandlerPtr> responseHandlers_;
    bool started_ = false;
};

using HCImageDownloaderMergedTaskPtr = std::shared_ptr<HCImageDownloaderMergedTask>;

// What a caller gets back: the task serving it and its own identifier.
class HCImageDownloadReceipt final : public Object {
  public:
    static std::shared_ptr<HCImageDownloadReceipt> create(NSURLSessionDataTaskPtr task, NSUUIDPtr receiptID);
    const NSURLSessionDataTaskPtr& task() const { return task_; }
    const NSUUIDPtr& receiptID() const { return receiptID_; }

  private:
    HCImageDownloadReceipt() = default;
    NSURLSessionDataTaskPtr task_;
    NSUUIDPtr receiptID_;
};

using HCImageDownloadReceiptPtr = std::shared_ptr<HCImageDownloadReceipt>;

class HCImageDownloader final : public Object {
  public:
    static constexpr long kDefaultMaximumActiveDownloads = 4;
    static constexpr size_t kDefaultURLCacheMemoryCapacity = 20 * 1024 * 1024;
    static constexpr size_t kDefaultURLCacheDiskCapacity = 150 * 1024 * 1024;

    // A new URL cache of 20 MiB in memory and 150 MiB on disk on each call.
    static std::shared_ptr<NSURLCache> defaultURLCache();
    // A new default configuration on each call: cookies set, no pipelining, the protocol's cache policy,
    // cellular access, 60-second request timeout, `defaultURLCache`.
    static NSURLSessionConfigurationPtr defaultURLSessionConfiguration();

    // A session manager on `defaultURLSessionConfiguration` decoding images, an auto-purging cache with
    // its defaults, first in first out, at most 4 downloads at once.
    static std::shared_ptr<HCImageDownloader> create();
    // `imageCache` may be null: nothing is then looked up or stored.
    static std::shared_ptr<HCImageDownloader> create(HCHTTPSessionManagerPtr sessionManager,
                                                     HCImageDownloadPrioritization downloadPrioritization,
                                                     long maximumActiveDownloads,
                                                     std::shared_ptr<HCImageRequestCache> imageCache);
    // The process-wide downloader; it lives until the process ends.
    static std::shared_ptr<HCImageDownloader> defaultInstance();

    const std::shared_ptr<HCImageRequestCache>& imageCache() const { return imageCache_; }
    const HCHTTPSessionManagerPtr& sessionManager() const { return sessionManager_; }
    HCImageDownloadPrioritization downloadPrioritizaton() const { return downloadPrioritizaton_; }
    long maximumActiveDownloads() const { return maximumActiveDownloads_; }
    // Downloads started and not yet finished.
    long activeRequestCount() const;

    // With a new receipt identifier.
    HCImageDownloadReceiptPtr downloadImageForURLRequest(const NSURLRequest& request,
                                                         HCImageDownloadSuccessBlock success,
                                                         HCImageDownloadFailureBlock failure);
    HCImageDownloadReceiptPtr downloadImageForURLRequest(const NSURLRequest& request, NSUUIDPtr receiptID,
                                                         HCImageDownloadSuccessBlock success,
                                                         HCImageDownloadFailureBlock failure);
    void cancelTaskForImageDownloadReceipt(const HCImageDownloadReceiptPtr& receipt);

  private:
    HCImageDownloader() = default;

    // On the synchronization queue.
    void startMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask);
    void enqueueMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask);
    HCImageDownloaderMergedTaskPtr dequeueMergedTask();
    bool isActiveRequestCountBelowMaximumLimit() const;
    HCImageDownloaderMergedTaskPtr removeMergedTaskWithURLIdentifier(const std::string& URLIdentifier);
    // Each submits itself synchronously to the synchronization queue.
    // Removes the merged task registered for the URL only when it is `mergedTask` itself, and returns the
    // callers it had then; nullopt when another one (or none) is registered.
    std::optional<std::vector<HCImageDownloaderResponseHandlerPtr>> safelyRemoveMergedTask(
        const HCImageDownloaderMergedTaskPtr& mergedTask);
    void safelyDecrementActiveTaskCount(const HCImageDownloaderMergedTaskPtr& mergedTask);
    void safelyStartNextTaskIfNecessary();

    // The data task's completion, handed over to the response queue.
    void finishMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask, const NSURLRequest& request,
                          const NSURLResponsePtr& response, const std::optional<Value>& responseObject,
                          NSErrorPtr error);

    std::shared_ptr<HCImageRequestCache> imageCache_;
    HCHTTPSessionManagerPtr sessionManager_;
    HCImageDownloadPrioritization downloadPrioritizaton_ = HCImageDownloadPrioritization::FIFO;
    DispatchQueuePtr synchronizationQueue_;
    DispatchQueuePtr responseQueue_;
    long maximumActiveDownloads_ = kDefaultMaximumActiveDownloads;
    // On synchronizationQueue_ only.
    long activeRequestCount_ = 0;
    std::vector<HCImageDownloaderMergedTaskPtr> queuedMergedTasks_;
    std::map<std::string, HCImageDownloaderMergedTaskPtr> mergedTasks_;
};

using HCImageDownloaderPtr = std::shared_ptr<HCImageDownloader>;
