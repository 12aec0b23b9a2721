#include "httpclient/HCImageDownloader.h"

#include <algorithm>

#include "httpclient/HCDecodingResponseSerializers.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSURL.h"

namespace {

constexpr long kURLErrorBadURL = -1000;
constexpr long kURLErrorCancelled = -999;

// The image in a serialized response: an image object, or body bytes that decode as one (for a session
// manager given a serializer that does not decode).
UIImagePtr imageFromResponseObject(const std::optional<Value>& responseObject) {
    if (!responseObject) return nullptr;
    if (auto image = responseObject->isObject() ? responseObject->asObjectOf<UIImage>() : nullptr)
        return image;
    if (const Data* data = responseObject->asData()) return hc_safeImageWithData(*data);
    return nullptr;
}

bool policyAllowsCache(NSURLRequestCachePolicy policy) {
    return policy == NSURLRequestCachePolicy::UseProtocolCachePolicy ||
           policy == NSURLRequestCachePolicy::ReturnCacheDataElseLoad ||
           policy == NSURLRequestCachePolicy::ReturnCacheDataDontLoad;
}

}  // namespace

// ---- Small records

std::shared_ptr<HCImageDownloaderResponseHandler> HCImageDownloaderResponseHandler::create(
    NSUUIDPtr uuid, HCImageDownloadSuccessBlock success, HCImageDownloadFailureBlock failure) {
    std::shared_ptr<HCImageDownloaderResponseHandler> handler(new HCImageDownloaderResponseHandler());
    handler->uuid_ = std::move(uuid);
    handler->successBlock_ = std::move(success);
    handler->failureBlock_ = std::move(failure);
    return handler;
}

std::string HCImageDownloaderResponseHandler::description() const {
    return NSString::format("<HCImageDownloaderResponseHandler>UUID: %@", {uuid_ ? uuid_->UUIDString() : ""});
}

std::shared_ptr<HCImageDownloaderMergedTask> HCImageDownloaderMergedTask::create(std::string URLIdentifier,
                                                                                 NSUUIDPtr identifier) {
    std::shared_ptr<HCImageDownloaderMergedTask> mergedTask(new HCImageDownloaderMergedTask());
    mergedTask->URLIdentifier_ = std::move(URLIdentifier);
    mergedTask->identifier_ = std::move(identifier);
    return mergedTask;
}

void HCImageDownloaderMergedTask::addResponseHandler(HCImageDownloaderResponseHandlerPtr handler) {
    responseHandlers_.push_back(std::move(handler));
}

void HCImageDownloaderMergedTask::removeResponseHandler(const HCImageDownloaderResponseHandlerPtr& handler) {
    std::erase(responseHandlers_, handler);
}

std::shared_ptr<HCImageDownloadReceipt> HCImageDownloadReceipt::create(NSURLSessionDataTaskPtr task,
                                                                       NSUUIDPtr receiptID) {
    std::shared_ptr<HCImageDownloadReceipt> receipt(new HCImageDownloadReceipt());
    receipt->task_ = std::move(task);
    receipt->receiptID_ = std::move(receiptID);
    return receipt;
}

// ---- Construction

std::shared_ptr<NSURLCache> HCImageDownloader::defaultURLCache() {
    return NSURLCache::create(kDefaultURLCacheMemoryCapacity, kDefaultURLCacheDiskCapacity);
}

NSURLSessionConfigurationPtr HCImageDownloader::defaultURLSessionConfiguration() {
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPShouldSetCookies(true);
    configuration->setHTTPShouldUsePipelining(false);
    configuration->setRequestCachePolicy(NSURLRequestCachePolicy::UseProtocolCachePolicy);
    configuration->setAllowsCellularAccess(true);
    configuration->setTimeoutIntervalForRequest(60.0);
    configuration->setURLCache(defaultURLCache());
    return configuration;
}

std::shared_ptr<HCImageDownloader> HCImageDownloader::create() {
    auto sessionManager = HCHTTPSessionManager::create(nullptr, defaultURLSessionConfiguration());
    sessionManager->setResponseSerializer(HCImageResponseSerializer::serializer());
    return create(std::move(sessionManager), HCImageDownloadPrioritization::FIFO,
                  kDefaultMaximumActiveDownloads, HCAutoPurgingImageCache::create());
}

std::shared_ptr<HCImageDownloader> HCImageDownloader::create(
    HCHTTPSessionManagerPtr sessionManager, HCImageDownloadPrioritization downloadPrioritization,
    long maximumActiveDownloads, std::shared_ptr<HCImageRequestCache> imageCache) {
    std::shared_ptr<HCImageDownloader> downloader(new HCImageDownloader());
    downloader->sessionManager_ = std::move(sessionManager);
    downloader->downloadPrioritizaton_ = downloadPrioritization;
    // With no slot at all every download would wait forever.
    downloader->maximumActiveDownloads_ = std::max(maximumActiveDownloads, 1L);
    downloader->imageCache_ = std::move(imageCache);
    downloader->synchronizationQueue_ = DispatchQueue::serial(NSString::format(
        "com.hcnet.imagedownloader.synchronizationqueue-%@", {NSUUID::create()->UUIDString()}));
    downloader->responseQueue_ = DispatchQueue::concurrent(
        NSString::format("com.hcnet.imagedownloader.responsequeue-%@", {NSUUID::create()->UUIDString()}));
    return downloader;
}

std::shared_ptr<HCImageDownloader> HCImageDownloader::defaultInstance() {
    // Never destroyed: the downloader lives until the process ends.
    static auto* shared = new std::shared_ptr<HCImageDownloader>(create());
    return *shared;
}

long HCImageDownloader::activeRequestCount() const {
    long count = 0;
    synchronizationQueue_->sync([&] { count = activeRequestCount_; });
    return count;
}

// ---- Downloads

HCImageDownloadReceiptPtr HCImageDownloader::downloadImageForURLRequest(const NSURLRequest& request,
                                                                        HCImageDownloadSuccessBlock success,
                                                                        HCImageDownloadFailureBlock failure) {
    return downloadImageForURLRequest(request, NSUUID::create(), std::move(success), std::move(failure));
}

HCImageDownloadReceiptPtr HCImageDownloader::downloadImageForURLRequest(const NSURLRequest& request,
                                                                        NSUUIDPtr receiptID,
                                                                        HCImageDownloadSuccessBlock success,
                                                                        HCImageDownloadFailureBlock failure) {
    if (!receiptID) receiptID = NSUUID::create();
    auto self = std::static_pointer_cast<HCImageDownloader>(shared_from_this());
    NSURLSessionDataTaskPtr servingTask;
    synchronizationQueue_->sync([&] {
        if (!request.URL() || request.URL()->absoluteString().empty()) {
            if (failure) {
                DispatchQueue::main()->async([failure, request] {
                    failure(request, nullptr, NSError::create(NSURLErrorDomain, kURLErrorBadURL));
                });
            }
            return;
        }
        const std::string URLIdentifier = request.URL()->absoluteString();

        // Somebody already waits for this URL: join them.
        if (auto it = mergedTasks_.find(URLIdentifier); it != mergedTasks_.end()) {
            it->second->addResponseHandler(
                HCImageDownloaderResponseHandler::create(receiptID, success, failure));
            servingTask = it->second->task();
            return;
        }

        if (imageCache_ && policyAllowsCache(request.cachePolicy())) {
            if (auto image = imageCache_->imageforRequest(request, std::nullopt)) {
                if (success) {
                    DispatchQueue::main()->async(
                        [success, request, image] { success(request, nullptr, image); });
                }
                return;
            }
        }

        auto mergedTask = HCImageDownloaderMergedTask::create(URLIdentifier, NSUUID::create());
        auto task = sessionManager_->dataTaskWithRequest(
            request,
            [self, mergedTask, request](const NSURLResponsePtr& response,
                                        const std::optional<Value>& responseObject, const NSErrorPtr& error) {
                self->responseQueue_->async([self, mergedTask, request, response, responseObject, error] {
                    self->finishMergedTask(mergedTask, request, response, responseObject, error);
                });
            });
        mergedTask->setTask(task);
        mergedTask->addResponseHandler(HCImageDownloaderResponseHandler::create(receiptID, success, failure));
        mergedTasks_[URLIdentifier] = mergedTask;
        // Without a task the manager reports the failure through the completion, which answers the callers.
        if (!task) return;
        if (isActiveRequestCountBelowMaximumLimit()) {
            startMergedTask(mergedTask);
        } else {
            enqueueMergedTask(mergedTask);
        }
        servingTask = task;
    });
    return servingTask ? HCImageDownloadReceipt::create(servingTask, receiptID) : nullptr;
}

void HCImageDownloader::finishMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask,
                                         const NSURLRequest& request, const NSURLResponsePtr& response,
                                         const std::optional<Value>& responseObject, NSErrorPtr error) {
    // Only the merged task still registered for its URL answers its callers; one that was withdrawn, or
    // replaced by a newer one, has nobody left to tell. The check and the removal are one step.
    auto handlers = safelyRemoveMergedTask(mergedTask);
    if (handlers) {
        auto HTTPResponse = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
        UIImagePtr image;
        if (!error) {
            image = imageFromResponseObject(responseObject);
            if (!image) {
                error = NSError::withDescription(NSURLErrorDomain, HCImageErrorCannotDecodeContentData,
                                                 "The reply is not an image that can be decoded.");
            }
        }
        if (error) {
            for (const auto& handler : *handlers) {
                if (!handler->failureBlock()) continue;
                DispatchQueue::main()->async([block = handler->failureBlock(), request, HTTPResponse, error] {
                    block(request, HTTPResponse, error);
                });
            }
        } else {
            if (imageCache_) imageCache_->addImage(image, request, std::nullopt);
            for (const auto& handler : *handlers) {
                if (!handler->successBlock()) continue;
                DispatchQueue::main()->async([block = handler->successBlock(), request, HTTPResponse, image] {
                    block(request, HTTPResponse, image);
                });
            }
        }
    }

    safelyDecrementActiveTaskCount(mergedTask);
    safelyStartNextTaskIfNecessary();
}

// ---- Cancellation

void HCImageDownloader::cancelTaskForImageDownloadReceipt(const HCImageDownloadReceiptPtr& receipt) {
    if (!receipt || !receipt->task()) return;
    synchronizationQueue_->sync([&] {
        const NSURLRequest& originalRequest = receipt->task()->originalRequest();
        if (!originalRequest.URL()) return;
        const std::string URLIdentifier = originalRequest.URL()->absoluteString();
        auto it = mergedTasks_.find(URLIdentifier);
        if (it == mergedTasks_.end()) return;
        auto mergedTask = it->second;

        const auto& handlers = mergedTask->responseHandlers();
        auto found = std::find_if(handlers.begin(), handlers.end(), [&](const auto& handler) {
            return handler->uuid() == receipt->receiptID();
        });
        if (found == handlers.end()) return;
        auto handler = *found;
        mergedTask->removeResponseHandler(handler);

        if (auto failure = handler->failureBlock()) {
            auto error = NSError::create(
                NSURLErrorDomain, kURLErrorCancelled,
                {{NSLocalizedFailureReasonErrorKey,
                  Value(NSString::format("ImageDownloader cancelled URL request: %@", {URLIdentifier}))}});
            DispatchQueue::main()->async(
                [failure, originalRequest, error] { failure(originalRequest, nullptr, error); });
        }

        // A download nobody waits for any more is dropped while it is still queued; once running it finishes
        // (and fills the cache).
        const auto& task = mergedTask->task();
        if (mergedTask->responseHandlers().empty() && task &&
            task->state() == NSURLSessionTaskState::Suspended) {
            task->cancel();
            mergedTasks_.erase(URLIdentifier);
        }
    });
}

// ---- Queueing (on the synchronization queue unless named "safely")

void HCImageDownloader::startMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask) {
    mergedTask->task()->resume();
    mergedTask->setStarted();
    ++activeRequestCount_;
}

void HCImageDownloader::enqueueMergedTask(const HCImageDownloaderMergedTaskPtr& mergedTask) {
    if (downloadPrioritizaton_ == HCImageDownloadPrioritization::LIFO) {
        queuedMergedTasks_.insert(queuedMergedTasks_.begin(), mergedTask);
    } else {
        queuedMergedTasks_.push_back(mergedTask);
    }
}

HCImageDownloaderMergedTaskPtr HCImageDownloader::dequeueMergedTask() {
    if (queuedMergedTasks_.empty()) return nullptr;
    auto mergedTask = queuedMergedTasks_.front();
    queuedMergedTasks_.erase(queuedMergedTasks_.begin());
    return mergedTask;
}

bool HCImageDownloader::isActiveRequestCountBelowMaximumLimit() const {
    return activeRequestCount_ < maximumActiveDownloads_;
}

HCImageDownloaderMergedTaskPtr HCImageDownloader::removeMergedTaskWithURLIdentifier(
    const std::string& URLIdentifier) {
    auto it = mergedTasks_.find(URLIdentifier);
    if (it == mergedTasks_.end()) return nullptr;
    auto mergedTask = it->second;
    mergedTasks_.erase(it);
    return mergedTask;
}

std::optional<std::vector<HCImageDownloaderResponseHandlerPtr>> HCImageDownloader::safelyRemoveMergedTask(
    const HCImageDownloaderMergedTaskPtr& mergedTask) {
    std::optional<std::vector<HCImageDownloaderResponseHandlerPtr>> handlers;
    synchronizationQueue_->sync([&] {
        auto it = mergedTasks_.find(mergedTask->URLIdentifier());
        if (it == mergedTasks_.end() || !it->second->identifier()->isEqual(*mergedTask->identifier())) return;
        removeMergedTaskWithURLIdentifier(mergedTask->URLIdentifier());
        handlers = mergedTask->responseHandlers();
    });
    return handlers;
}

void HCImageDownloader::safelyDecrementActiveTaskCount(const HCImageDownloaderMergedTaskPtr& mergedTask) {
    synchronizationQueue_->sync([&] {
        // A task cancelled while queued never held a slot.
        if (mergedTask->isStarted() && activeRequestCount_ > 0) --activeRequestCount_;
    });
}

void HCImageDownloader::safelyStartNextTaskIfNecessary() {
    synchronizationQueue_->sync([&] {
        if (!isActiveRequestCountBelowMaximumLimit()) return;
        while (auto mergedTask = dequeueMergedTask()) {
            if (mergedTask->task()->state() == NSURLSessionTaskState::Suspended) {
                startMergedTask(mergedTask);
                break;
            }
        }
    });
}
